#include "pages/WarnASynOpen.h"
#include "pages/PagePainter.h"
#include "framework/WinApp.h"
#include "res/resource.h"

CWarnASynOpen::CWarnASynOpen(CWnd* pParent)
    : CDialog(IDD_WARNASYNOPEN, pParent), m_hIcon(AfxGetApp()->LoadIcon(IDI_APP))
{
}
CWarnASynOpen::~CWarnASynOpen() = default;

void CWarnASynOpen::DoDataExchange(CDataExchange* pDX) { CDialog::DoDataExchange(pDX); }

BOOL CWarnASynOpen::OnInitDialog()
{
    CDialog::OnInitDialog();
    ExposePageText(m_hWnd, kWarnASynOpenRow);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    return TRUE;
}

BOOL CWarnASynOpen::OnPaint()
{
    PaintPage(m_hWnd, kWarnASynOpenRow);
    return TRUE;
}
HBRUSH CWarnASynOpen::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    return CDialog::OnCtlColor(dc, control, nCtlColor);
}

void CWarnASynOpen::OnCancel()
{
    ::PostQuitMessage(0);
    CDialog::OnCancel();
}
