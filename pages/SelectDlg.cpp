#include "pages/SelectDlg.h"
#include "pages/PagePainter.h"
#include "pages/ResetDlg.h"
#include "app/PageChain.h"
#include "pages/checkUSB.h"
#include "framework/WinApp.h"
#include "res/resource.h"

CSelectDlg::CSelectDlg(CWnd* pParent) : CDialog(IDD_SELECT, pParent), m_hIcon(AfxGetApp()->LoadIcon(IDI_APP)) {}
CSelectDlg::~CSelectDlg() = default;

void CSelectDlg::DoDataExchange(CDataExchange* pDX) { CDialog::DoDataExchange(pDX); }

BOOL CSelectDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    ExposePageText(m_hWnd, kSelectRow);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    // Next comes last in the order of the screen, but the focus starts on it.
    ::SetFocus(GetDlgItem(IDOK));
    return FALSE;
}

BOOL CSelectDlg::OnPaint()
{
    PaintPage(m_hWnd, kSelectRow);
    return TRUE;
}
HBRUSH CSelectDlg::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    return CDialog::OnCtlColor(dc, control, nCtlColor);
}

void CSelectDlg::OnOK()
{
    CCheckUSB check;
    OpenPage(*this, check, Ending::EndOK);
}

void CSelectDlg::OnCancel()
{
    ::PostQuitMessage(0);
    CDialog::OnCancel();
}

BOOL CSelectDlg::OnButtonClicked(UINT nID)
{
    if (nID != IDC_SELECT_BACK) return FALSE;
    CResetDlg reset;
    OpenPage(*this, reset, Ending::EndCancel);
    return TRUE;
}
