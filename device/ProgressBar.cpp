#include "ProgressBar.h"
#include "app/PageChain.h"
#include "pages/EndDlg.h"
#include "pages/PagePainter.h"
#include "WinApp.h"
#include "resource.h"

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

void CProgressBar::OnStartTransfer()
{
    CString status;
    status.Format(L"Initialing....");
    m_Progress.SetWindowText(status);

    m_USBUpdate.OpenImage(m_strImagePath);
    int sent = 0;
    const int blockCount = m_USBUpdate.m_nBlockCount;
    m_Progress.SetPos(0);
    m_Progress.SetRange(0, kBarRange);
    m_Progress.SetStep(1);

    // The bar steps once every ticks + 1 blocks, so it never fills or wraps.
    const int ticks = blockCount / kBarRange + 1;
    int countdown = ticks;

    // Nothing goes to the handheld unless the image was staged: no header, no block.
    const bool staged = m_USBUpdate.m_pImageFile != nullptr;
    if (staged) {
        m_USBUpdate.SendHeader();
        while (m_USBUpdate.SendBlock() == 1) {
            ++sent;
            status.Format(L"Processing completed %d/%d block", sent, blockCount);
            m_Progress.SetWindowText(status);
            if (countdown != 0) {
                --countdown;
            } else {
                m_Progress.StepIt();
                countdown = ticks;
            }
            DrainMessageQueue();
        }
    }
    m_USBUpdate.Close();

    if (staged && sent == blockCount + 1) {
        CEndDlg end;
        OpenPage(*this, end, Ending::EndOK);
    } else {
        ShowError(L"image transfer Fail!");
        CDialog::OnOK();
    }
    m_Progress.SetPos(0);
}

void CProgressBar::ShowError(CString text) { MessageBox(text, L"Error", MB_OK); }

BOOL CProgressBar::OnPaint() { PaintPage(m_hWnd, kProgressRow); return TRUE; }
HBRUSH CProgressBar::OnCtlColor(HDC dc, HWND control, UINT nCtlColor) { return CDialog::OnCtlColor(dc, control, nCtlColor); }
HCURSOR CProgressBar::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }
