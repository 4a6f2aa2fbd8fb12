#include "pages/WelcomeDlg.h"
#include "pages/PagePainter.h"
#include "pages/checkregister.h"
#include "framework/WinApp.h"
#include "res/resource.h"

CWelcomeDlg::CWelcomeDlg(CWnd* pParent) : CDialog(IDD_WELCOME, pParent), m_hIcon(AfxGetApp()->LoadIcon(IDI_APP)) {}
CWelcomeDlg::~CWelcomeDlg() = default;

void CWelcomeDlg::DoDataExchange(CDataExchange* pDX) { CDialog::DoDataExchange(pDX); }

BOOL CWelcomeDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    ExposePageText(m_hWnd, kWelcomeRow);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    // Next comes last in the order of the screen, but the focus starts on it.
    ::SetFocus(GetDlgItem(IDOK));
    return FALSE;
}

void CWelcomeDlg::OnOK()
{
    ShowWindow(SW_HIDE);
    GuardedAdvance(*this);
}

void CWelcomeDlg::OnCancel()
{
    ::PostQuitMessage(0);
    CDialog::OnCancel();
}

BOOL CWelcomeDlg::OnPaint()
{
    PaintPage(m_hWnd, kWelcomeRow);
    return TRUE;
}
HBRUSH CWelcomeDlg::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    return CDialog::OnCtlColor(dc, control, nCtlColor);
}
HCURSOR CWelcomeDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }
