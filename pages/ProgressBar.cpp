#include "pages/ProgressBar.h"
#include "device/UpgradeLog.h"
#include "app/PageChain.h"
#include "pages/EndDlg.h"
#include "pages/PagePainter.h"
#include "device/KeepAwake.h"
#include "framework/WinApp.h"
#include "res/resource.h"

namespace {
constexpr UINT kStartDelayMs = 1000;
// Often enough for the bar, which steps at most a hundred times; each refresh wakes the page's
// thread and takes its turn from the transfer's (measured: every 25 ms cost the transfer 4 %).
constexpr UINT kShowEveryMs = 250;
constexpr DWORD kStallMs = 10000;  // no block taken for this long: the stall line shows
constexpr int kBarRange = 100;

const wchar_t kSessionReason[] =
    L"A ROM upgrade is in progress. Shutting down now could leave the handheld unusable.";
}  // namespace

CProgressBar::CProgressBar(CWnd* pParent)
    : CDialog(IDD_PROGRESS, pParent), m_hIcon(AfxGetApp()->LoadIcon(IDI_APP)),
      m_noteBrush(::CreateSolidBrush(kStatusBackground))
{
}

CProgressBar::~CProgressBar()
{
    // Only a run that is being torn down gets here with the transfer still going: it stops
    // between two blocks rather than write on through a page that is gone.
    m_bStopping.store(true);
    ::SetEvent(m_stop.get());
    m_transfer.Wait();
}

void CProgressBar::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_Progress);
}

BOOL CProgressBar::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    SetTimer(IDT_START_TRANSFER, kStartDelayMs);
    return TRUE;
}

void CProgressBar::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == IDT_SHOW_PROGRESS) {
        ShowProgress();
        return;
    }
    if (nIDEvent != IDT_START_TRANSFER) return;
    KillTimer(IDT_START_TRANSFER);
    PostMessage(WM_COMMAND, IDC_START_TRANSFER, 0);
    CDialog::OnTimer(nIDEvent);
}

BOOL CProgressBar::OnButtonClicked(UINT nID)
{
    switch (nID) {
    case IDC_START_TRANSFER: OnStartTransfer(); return TRUE;
    case IDC_TRANSFER_DONE: OnTransferDone(); return TRUE;
    default: return FALSE;
    }
}

void CProgressBar::OnStartTransfer()
{
    if (m_bTransferring) return;
    m_strStatus.Format(L"Initialing....");
    m_Progress.SetWindowText(m_strStatus);
    m_Progress.SetPos(0);
    m_Progress.SetRange(0, kBarRange);
    m_Progress.SetStep(1);

    // From here to the transfer's end the page stays: no close box, and no end of session.
    m_bTransferring = true;
    ::EnableMenuItem(::GetSystemMenu(m_hWnd, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    HoldSession(true);

    m_USBUpdate.SetReporter(this);
    m_USBUpdate.SetStopEvent(m_stop.get());
    SetTimer(IDT_SHOW_PROGRESS, kShowEveryMs);
    m_transfer.Start([this] { m_outcome = RunTransfer(m_USBUpdate, m_strImagePath, *this); }, m_hWnd,
                     IDC_TRANSFER_DONE);
}

void CProgressBar::OnTransferDone()
{
    if (!m_bTransferring) return;
    m_transfer.Wait();
    KillTimer(IDT_SHOW_PROGRESS);
    m_USBUpdate.SetReporter(nullptr);
    m_USBUpdate.SetStopEvent(nullptr);
    m_bTransferring = false;
    ShowProgress();
    HoldSession(false);
    ::EnableMenuItem(::GetSystemMenu(m_hWnd, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_ENABLED);

    // The engine's own boxes (a file that could not be staged), owned by no window, as ever.
    for (const CString& text : m_errors) m_USBUpdate.ShowError(text);
    m_errors.clear();

    UpgradeAttempt attempt(L"RomUpgradeWizard", m_USBUpdate);
    attempt.imagePath = m_strImagePath.str();
    attempt.handshake = CUSBUpdate::kReady;  // the device check let the link through
    attempt.transfer = m_outcome;
    LogUpgrade(attempt);  // a log that cannot be written changes nothing here
    if (m_outcome.Succeeded()) {
        CEndDlg end;
        OpenPage(*this, end, Ending::EndOK);
    } else {
        ShowError(L"image transfer Fail!");
        CDialog::OnOK();
    }
    m_Progress.SetPos(0);
}

void CProgressBar::OnStaged(int blockCount)
{
    m_nBlockCount.store(blockCount);
    m_dwLastTaken.store(::GetTickCount());
}

void CProgressBar::OnBlockSent(int sent, int)
{
    m_dwLastTaken.store(::GetTickCount(), std::memory_order_relaxed);
    m_nSent.store(sent, std::memory_order_release);
}

void CProgressBar::ReportError(const CString& text, DWORD) { m_errors.push_back(text); }

void CProgressBar::ShowProgress()
{
    const int sent = m_nSent.load(std::memory_order_acquire);
    if (sent != m_nShown) {
        const int blockCount = m_nBlockCount.load();
        m_strStatus.Format(L"Processing completed %d/%d block", sent, blockCount);
        m_Progress.SetWindowText(m_strStatus);
        // The bar steps once every ticks + 1 blocks, ticks = blockCount / 100 + 1, so it
        // never fills or wraps.
        m_Progress.SetPos(sent / (blockCount / kBarRange + 2));
        m_nShown = sent;
    }
    // Staged, and no block taken for a while: the handheld has stopped taking data (or is
    // busy erasing). The line goes as soon as blocks flow again.
    const DWORD lastTaken = m_dwLastTaken.load();
    ShowStalled(m_bTransferring && lastTaken != 0 && ::GetTickCount() - lastTaken >= kStallMs);
}

void CProgressBar::ShowStalled(bool stalled)
{
    if (stalled == m_bStalledShown) return;
    m_bStalledShown = stalled;
    ::ShowWindow(GetDlgItem(IDC_STALL_NOTE), stalled ? SW_SHOWNA : SW_HIDE);
}

void CProgressBar::HoldSession(bool hold) { ShowShutdownReason(m_hWnd, hold ? kSessionReason : nullptr); }

BOOL CProgressBar::OnQueryEndSession() { return !m_bTransferring; }

void CProgressBar::OnOK()
{
    if (!m_bTransferring) CDialog::OnOK();
}

void CProgressBar::OnCancel()
{
    if (!m_bTransferring) CDialog::OnCancel();
}

void CProgressBar::ShowError(CString text) { MessageBox(text, L"Error", MB_OK); }

BOOL CProgressBar::OnPaint()
{
    PaintPage(m_hWnd, kProgressRow);
    return TRUE;
}
HBRUSH CProgressBar::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    // The stall line in the page's emphasis colour on its plain background.
    if (control == GetDlgItem(IDC_STALL_NOTE)) {
        ::SetTextColor(dc, kEmphasis);
        ::SetBkColor(dc, kStatusBackground);
        return m_noteBrush.get();
    }
    return CDialog::OnCtlColor(dc, control, nCtlColor);
}
HCURSOR CProgressBar::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }
