#include "pages/ProgressBar.h"
#include "framework/AnswerBox.h"
#include <algorithm>
#include "power/PowerCheck.h"
#include "log/CrashRecord.h"
#include "log/UpgradeLog.h"
#include "pages/ImageQuestion.h"
#include "image/TrustPolicy.h"
#include "app/PageChain.h"
#include "pages/EndDlg.h"
#include "pages/PagePainter.h"
#include "power/KeepAwake.h"
#include "framework/WinApp.h"
#include "res/resource.h"

namespace {
constexpr UINT kStartDelayMs = 1000;
// Often enough for the bar, which steps at most a hundred times; each refresh wakes the page's
// thread and takes its turn from the transfer's (measured: every 25 ms cost the transfer 4 %).
constexpr UINT kShowEveryMs = 250;
constexpr DWORD kStallMs = 10000;  // no block taken for this long: the stall line shows
constexpr int kBarRange = 100;
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
    ExposePageText(m_hWnd, kProgressRow);
    // The bar's own name, which a screen reader reads, in the user's language.
    ::SetDlgItemTextW(m_hWnd, IDC_PROGRESS, LoadText(IDS_PROGRESS_NAME).c_str());
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
    case IDC_IMAGE_STAGED: OnImageStaged(); return TRUE;
    case IDC_TRANSFER_DONE: OnTransferDone(); return TRUE;
    default: return FALSE;
    }
}

void CProgressBar::OnStartTransfer()
{
    if (m_bTransferring) return;
    m_strStatus = LoadText(IDS_PROGRESS_STARTING);
    m_Progress.SetWindowText(m_strStatus);
    m_Progress.SetPos(0);
    m_Progress.SetRange(0, kBarRange);
    m_Progress.SetStep(1);

    m_USBUpdate.SetReporter(this);
    m_USBUpdate.SetStopEvent(m_stop.get());
    SetBusy(true);
    SetCrashImage(m_strImagePath.str());
    // Staging reads the image once: its counts, its SHA-256 and the publisher's checks.
    m_transfer.Start(
        [this] {
            m_checks = std::make_unique<PublisherChecks>(m_strImagePath.str(), ReadTrustPolicy());
            m_USBUpdate.SetStagingReader([this](const BYTE* data, size_t size) { m_checks->Add(data, size); });
            m_USBUpdate.OpenImage(m_strImagePath);
            m_USBUpdate.SetStagingReader(nullptr);
            if (m_USBUpdate.HasImage()) m_checks->Finish(m_USBUpdate.m_strImageSha256);
        },
        m_hWnd, IDC_IMAGE_STAGED);
}

void CProgressBar::OnImageStaged()
{
    if (!m_bTransferring) return;
    m_transfer.Wait();
    SetBusy(false);
    if (!m_USBUpdate.HasImage()) {
        // Not staged: the engine has said why; the transfer's outcome tells the log.
        m_outcome = SendStagedImage(m_USBUpdate, *this);
        Finish();
        return;
    }
    const char* refusedFor = nullptr;
    switch (JudgeImage(m_hWnd, m_strImagePath.str(), m_USBUpdate, *m_checks, ReadPowerState(), &refusedFor)) {
    case ImageVerdict::Refused: ChooseAnother(false, refusedFor); return;
    case ImageVerdict::Declined: ChooseAnother(true, nullptr); return;
    case ImageVerdict::Write: break;
    }
    // Yes: from here to the transfer's end the page stays, and the session is held.
    SetBusy(true);
    m_dwSendStart = ::GetTickCount();
    m_transfer.Start([this] { m_outcome = SendStagedImage(m_USBUpdate, *this); }, m_hWnd, IDC_TRANSFER_DONE);
}

void CProgressBar::SetBusy(bool busy)
{
    m_bTransferring = busy;
    ::EnableMenuItem(::GetSystemMenu(m_hWnd, FALSE), SC_CLOSE, MF_BYCOMMAND | (busy ? MF_GRAYED : MF_ENABLED));
    HoldSession(busy);
    if (busy) {
        SetTimer(IDT_SHOW_PROGRESS, kShowEveryMs);
    } else {
        KillTimer(IDT_SHOW_PROGRESS);
        ShowProgress();
    }
}

void CProgressBar::ChooseAnother(bool declined, const char* refusedFor)
{
    UpgradeAttempt attempt(L"RomUpgradeWizard", m_USBUpdate);
    attempt.imagePath = m_strImagePath.str();
    attempt.handshake = CUSBUpdate::kReady;
    attempt.transfer.staged = true;
    attempt.transfer.blockCount = m_USBUpdate.m_nBlockCount;
    attempt.checked = m_checks->Checked();
    attempt.signer = m_checks->Signature().thumbprint;
    attempt.declined = declined;
    attempt.refusedFor = refusedFor;
    LogUpgrade(Conclude(attempt));
    m_USBUpdate.CloseImage();
    m_USBUpdate.SetReporter(nullptr);
    m_USBUpdate.SetStopEvent(nullptr);
    EndDialog(static_cast<int>(kChooseAnotherImage));
}

void CProgressBar::OnTransferDone()
{
    if (!m_bTransferring) return;
    m_transfer.Wait();
    SetBusy(false);
    Finish();
}

void CProgressBar::Finish()
{
    m_USBUpdate.SetReporter(nullptr);
    m_USBUpdate.SetStopEvent(nullptr);

    // The engine's own boxes (a file that could not be staged), owned by no window, as ever.
    for (const CString& text : m_errors) m_USBUpdate.ShowError(text);
    m_errors.clear();

    UpgradeAttempt attempt(L"RomUpgradeWizard", m_USBUpdate);
    attempt.imagePath = m_strImagePath.str();
    attempt.handshake = CUSBUpdate::kReady;  // the device check let the link through
    attempt.transfer = m_outcome;
    if (m_checks && m_outcome.staged) {
        attempt.checked = m_checks->Checked();
        attempt.signer = m_checks->Signature().thumbprint;
    }
    LogUpgrade(Conclude(attempt));  // a log that cannot be written changes nothing here
    if (m_outcome.Succeeded()) {
        CEndDlg end;
        OpenPage(*this, end, Ending::EndOK);
    } else {
        // Where it stopped, why, and what now, on the page itself, before the box.
        ShowWhereItStopped();
        // A file changed after it was checked is not the handheld's fault: say what happened.
        // The box stands beside the page, whose note stays in sight.
        const std::wstring text = m_outcome.failure == CUSBUpdate::kFailImageChanged
                                      ? LoadText(IDS_IMAGE_CHANGED, {m_strImagePath.str()})
                                      : LoadText(IDS_TRANSFER_FAIL);
        ShowAnswerBox(m_hWnd, text, LoadText(IDS_ENGINE_ERROR_CAPTION), AnswerButtons::Ok, nullptr,
                      AnswerPlace::BesideOwner);
        CDialog::OnOK();
    }
    m_Progress.SetPos(0);
}

void CProgressBar::ShowWhereItStopped()
{
    const TransferOutcome& x = m_outcome;
    // Not staged: nothing was sent, and the engine's box has said why.
    if (!x.staged || (!x.headerSent && !x.headerFailed)) return;
    UINT why = IDS_STOPPED_REFUSED;
    switch (x.failure) {
    case CUSBUpdate::kFailUnplugged: why = IDS_STOPPED_UNPLUGGED; break;
    case CUSBUpdate::kFailStalled: why = IDS_STOPPED_STALLED; break;
    case CUSBUpdate::kFailImageChanged: why = IDS_STOPPED_CHANGED; break;
    case CUSBUpdate::kFailImageRead: why = IDS_STOPPED_UNREADABLE; break;
    default: break;
    }
    const uint64_t total = m_USBUpdate.m_nByteCount;
    const uint64_t written = std::min<uint64_t>(static_cast<uint64_t>(x.sent) * CUSBUpdate::kBlockSize, total);
    const std::wstring note =
        x.headerSent ? LoadText(IDS_TRANSFER_STOPPED, {std::to_wstring(x.sent + 1), std::to_wstring(x.blockCount + 1),
                                                       MiB(written), MiB(total), LoadText(why)})
                     : LoadText(IDS_TRANSFER_STOPPED_HEADER, {MiB(total), LoadText(why)});
    HWND stopped = GetDlgItem(IDC_TRANSFER_STOPPED);
    ::SetWindowTextW(stopped, note.c_str());
    ::ShowWindow(GetDlgItem(IDC_PROGRESS_FIGURES), SW_HIDE);
    ::ShowWindow(GetDlgItem(IDC_STALL_NOTE), SW_HIDE);
    ::ShowWindow(stopped, SW_SHOWNA);
    ::UpdateWindow(m_hWnd);
    // A line that appears unasked is an alert to a screen reader, which reads it out at once.
    ::NotifyWinEvent(EVENT_SYSTEM_ALERT, stopped, OBJID_CLIENT, CHILDID_SELF);
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
        // Of the writes that go out: one more than the whole blocks.
        m_strStatus = LoadText(IDS_PROGRESS_BLOCKS, {std::to_wstring(sent), std::to_wstring(blockCount + 1)});
        m_Progress.SetWindowText(m_strStatus);
        // The bar steps once every ticks + 1 blocks, ticks = blockCount / 100 + 1, so it
        // never fills or wraps.
        m_Progress.SetPos(sent / (blockCount / kBarRange + 2));
        m_nShown = sent;
    }
    // The line of figures under the page's text, from the first block on.
    if (sent > 0 && m_dwSendStart != 0) {
        const uint64_t total = m_USBUpdate.m_nByteCount;
        const uint64_t written = std::min<uint64_t>(static_cast<uint64_t>(sent) * CUSBUpdate::kBlockSize, total);
        const std::wstring figures = TransferFigures(written, total, ::GetTickCount() - m_dwSendStart);
        if (figures != m_strFigures) {
            m_strFigures = figures;
            ::SetDlgItemTextW(m_hWnd, IDC_PROGRESS_FIGURES, figures.c_str());
        }
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
    // The stall line takes the place of the figures, which stand still meanwhile.
    ::ShowWindow(GetDlgItem(IDC_PROGRESS_FIGURES), stalled ? SW_HIDE : SW_SHOWNA);
    ::ShowWindow(GetDlgItem(IDC_STALL_NOTE), stalled ? SW_SHOWNA : SW_HIDE);
    // A line that appears unasked is an alert to a screen reader, which reads it out at once.
    if (stalled) ::NotifyWinEvent(EVENT_SYSTEM_ALERT, GetDlgItem(IDC_STALL_NOTE), OBJID_CLIENT, CHILDID_SELF);
}

void CProgressBar::HoldSession(bool hold)
{
    const std::wstring reason = LoadText(IDS_SESSION_REASON);  // Windows keeps its own copy
    ShowShutdownReason(m_hWnd, hold ? reason.c_str() : nullptr);
}

BOOL CProgressBar::OnQueryEndSession() { return !m_bTransferring; }

// The page has no button, and only its transfer ends it with IDOK: Enter does nothing, before
// the question as during the transfer.
void CProgressBar::OnOK() {}

void CProgressBar::OnCancel()
{
    if (m_bTransferring) return;
    // Esc before the image was read: the run ends here, with nothing sent.
    LogCancelled(L"RomUpgradeWizard", m_USBUpdate, CUSBUpdate::kReady, m_strImagePath.str());
    CDialog::OnCancel();
}

void CProgressBar::ShowError(CString text)
{
    ShowAnswerBox(m_hWnd, text.str(), LoadText(IDS_ENGINE_ERROR_CAPTION), AnswerButtons::Ok, nullptr);
}

BOOL CProgressBar::OnPaint()
{
    PaintPage(m_hWnd, kProgressRow);
    return TRUE;
}
HBRUSH CProgressBar::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    // The stall line and the note of a failed transfer in the page's emphasis colour on its
    // plain background, the figures in the page's text colour.
    const bool stallNote = control == GetDlgItem(IDC_STALL_NOTE) || control == GetDlgItem(IDC_TRANSFER_STOPPED);
    if (stallNote || control == GetDlgItem(IDC_PROGRESS_FIGURES)) {
        if (HighContrast()) {
            ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
            ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
            return ::GetSysColorBrush(COLOR_WINDOW);
        }
        ::SetTextColor(dc, stallNote ? kEmphasis : kTextBlack);
        ::SetBkColor(dc, kStatusBackground);
        return m_noteBrush.get();
    }
    return CDialog::OnCtlColor(dc, control, nCtlColor);
}
HCURSOR CProgressBar::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }
