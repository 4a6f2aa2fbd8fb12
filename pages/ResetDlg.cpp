#include "pages/ResetDlg.h"
#include "pages/LicenseDlg.h"
#include "pages/PagePainter.h"
#include "pages/SelectDlg.h"
#include "app/PageChain.h"
#include "framework/WinApp.h"
#include "res/resource.h"

CResetDlg::CResetDlg(CWnd* pParent) : CDialog(IDD_RESET, pParent), m_hIcon(AfxGetApp()->LoadIcon(IDI_APP)) {}
CResetDlg::~CResetDlg() = default;

void CResetDlg::DoDataExchange(CDataExchange* pDX) { CDialog::DoDataExchange(pDX); }

BOOL CResetDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    ExposePageText(m_hWnd, kResetRow);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    // Next comes last in the order of the screen, but the focus starts on it.
    ::SetFocus(GetDlgItem(IDOK));
    return FALSE;
}

BOOL CResetDlg::OnPaint()
{
    PaintPage(m_hWnd, kResetRow);
    return TRUE;
}
HBRUSH CResetDlg::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    return CDialog::OnCtlColor(dc, control, nCtlColor);
}

void CResetDlg::OnOK()
{
    CSelectDlg select;
    OpenPage(*this, select, Ending::EndIfOK);
}

void CResetDlg::OnCancel()
{
    ::PostQuitMessage(0);
    CDialog::OnCancel();
}

BOOL CResetDlg::OnButtonClicked(UINT nID)
{
    if (nID != IDC_RESET_BACK) return FALSE;
    CLicenseDlg license;
    OpenPage(*this, license, Ending::EndCancel);
    return TRUE;
}
