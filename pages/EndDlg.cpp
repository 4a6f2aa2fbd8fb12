#include "pages/EndDlg.h"
#include "pages/PagePainter.h"
#include "framework/WinApp.h"
#include "res/resource.h"

CEndDlg::CEndDlg(CWnd* pParent) : CDialog(IDD_END, pParent), m_hIcon(AfxGetApp()->LoadIcon(IDI_APP)) {}
CEndDlg::~CEndDlg() = default;

void CEndDlg::DoDataExchange(CDataExchange* pDX) { CDialog::DoDataExchange(pDX); }

BOOL CEndDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    ExposePageText(m_hWnd, kEndRow);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    return TRUE;
}

BOOL CEndDlg::OnPaint()
{
    PaintPage(m_hWnd, kEndRow);
    return TRUE;
}
HBRUSH CEndDlg::OnCtlColor(HDC dc, HWND control, UINT nCtlColor) { return CDialog::OnCtlColor(dc, control, nCtlColor); }

void CEndDlg::OnOK()
{
    ::PostQuitMessage(0);
    CDialog::OnOK();
}
