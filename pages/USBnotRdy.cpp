#include "pages/USBnotRdy.h"
#include "pages/PagePainter.h"
#include "framework/WinApp.h"
#include "res/resource.h"

// Exit, Esc and the close box keep the framework's endings: this page is the main window,
// so its end posts the quit and ends the run.
CUSBnotRdy::CUSBnotRdy(CWnd* pParent) : CDialog(IDD_USBNOTRDY, pParent), m_hIcon(AfxGetApp()->LoadIcon(IDI_APP)) {}
CUSBnotRdy::~CUSBnotRdy() = default;

void CUSBnotRdy::DoDataExchange(CDataExchange* pDX) { CDialog::DoDataExchange(pDX); }

BOOL CUSBnotRdy::OnInitDialog()
{
    CDialog::OnInitDialog();
    ExposePageText(m_hWnd, kUSBnotRdyRow);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    return TRUE;
}

BOOL CUSBnotRdy::OnPaint()
{
    PaintPage(m_hWnd, kUSBnotRdyRow);
    return TRUE;
}
HBRUSH CUSBnotRdy::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    return CDialog::OnCtlColor(dc, control, nCtlColor);
}
