#include "pages/ProgressBar.h"
#include "device/Transfer.h"
#include "device/UpgradeLog.h"
#include "app/PageChain.h"
#include "pages/EndDlg.h"
#include "pages/PagePainter.h"
#include "framework/WinApp.h"
#include "res/resource.h"

namespace {
constexpr UINT kStartDelayMs = 1000;
constexpr int kBarRange = 100;

// Lets the program's windows repaint and move between two block writes.
void DrainMessageQueue()
{
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Not ours to take: the quit belongs to the modal loops around us.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}
}  // namespace

CProgressBar::CProgressBar(CWnd* pParent) : CDialog(IDD_PROGRESS, pParent), m_hIcon(AfxGetApp()->LoadIcon(IDI_APP)) {}
CProgressBar::~CProgressBar() = default;

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
    if (nIDEvent != IDT_START_TRANSFER) return;
    KillTimer(IDT_START_TRANSFER);
    PostMessage(WM_COMMAND, IDC_START_TRANSFER, 0);
    CDialog::OnTimer(nIDEvent);
}

BOOL CProgressBar::OnButtonClicked(UINT nID)
{
    if (nID != IDC_START_TRANSFER) return FALSE;
    OnStartTransfer();
    return TRUE;
}

namespace {

// What the page shows while the blocks go out: the status text and the bar.
//
// A block write takes a few dozen microseconds, and so would asking the window system to
// set a text or to look at the message queue. Both are therefore done at most once per
// refresh period (and the text once more at the end), which keeps the windows as lively as
// a per-block drain and costs the transfer next to nothing. The bar is stepped by the
// block count exactly, at most a hundred times.
class ProgressDisplay : public TransferObserver {
public:
    explicit ProgressDisplay(CProgressCtrl& bar) : m_bar(bar) {}

    void OnStaged(int blockCount) override
    {
        m_bar.SetPos(0);
        m_bar.SetRange(0, kBarRange);
        m_bar.SetStep(1);
        // The bar steps once every ticks + 1 blocks, so it never fills or wraps.
        m_ticks = blockCount / kBarRange + 1;
        m_countdown = m_ticks;
    }

    void OnBlockSent(int sent, int blockCount) override
    {
        m_sent = sent;
        m_blockCount = blockCount;
        if (m_countdown != 0) {
            --m_countdown;
        } else {
            m_bar.StepIt();
            m_countdown = m_ticks;
        }
        const DWORD now = ::GetTickCount();
        if (now - m_lastRefresh >= kRefreshMs) {
            ShowStatus();
            DrainMessageQueue();
            m_lastRefresh = now;
        }
    }

    // The status of the last block sent, whatever the refresh period left unshown.
    void ShowStatus()
    {
        if (m_sent == 0 || m_sent == m_shown) return;
        m_status.Format(L"Processing completed %d/%d block", m_sent, m_blockCount);
        m_bar.SetWindowText(m_status);
        m_shown = m_sent;
    }

private:
    static constexpr DWORD kRefreshMs = 10;

    CProgressCtrl& m_bar;
    CString m_status;
    int m_ticks = 1;
    int m_countdown = 1;
    int m_sent = 0, m_blockCount = 0, m_shown = 0;
    DWORD m_lastRefresh = 0;  // tick count: differences stay right across its wrap
};

}  // namespace

void CProgressBar::OnStartTransfer()
{
    CString status;
    status.Format(L"Initialing....");
    m_Progress.SetWindowText(status);

    ProgressDisplay display(m_Progress);
    TransferOutcome outcome = RunTransfer(m_USBUpdate, m_strImagePath, display);
    display.ShowStatus();

    UpgradeAttempt attempt(L"RomUpgradeWizard", m_USBUpdate);
    attempt.imagePath = m_strImagePath.str();
    attempt.handshake = CUSBUpdate::kReady;  // the device check let the link through
    attempt.transfer = outcome;
    LogUpgrade(attempt);  // a log that cannot be written changes nothing here
    if (outcome.Succeeded()) {
        CEndDlg end;
        OpenPage(*this, end, Ending::EndOK);
    } else {
        ShowError(L"image transfer Fail!");
        CDialog::OnOK();
    }
    m_Progress.SetPos(0);
}

void CProgressBar::ShowError(CString text) { MessageBox(text, L"Error", MB_OK); }

BOOL CProgressBar::OnPaint()
{
    PaintPage(m_hWnd, kProgressRow);
    return TRUE;
}
HBRUSH CProgressBar::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    return CDialog::OnCtlColor(dc, control, nCtlColor);
}
HCURSOR CProgressBar::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }
