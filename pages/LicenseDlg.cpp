#include "pages/LicenseDlg.h"
#include <utility>
#include "pages/PagePainter.h"
#include "pages/WelcomeDlg.h"
#include "pages/checkregister.h"
#include "app/PageChain.h"
#include "framework/WinApp.h"
#include "res/resource.h"

CLicenseDlg::CLicenseDlg(CWnd* pParent) : CDialog(IDD_LICENSE, pParent), m_hIcon(nullptr) {}
CLicenseDlg::~CLicenseDlg() = default;

void CLicenseDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    m_hIcon = AfxGetApp()->LoadIcon(IDI_APP);
}

BOOL CLicenseDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    ExposePageText(m_hWnd, kLicenseRow);
    // The radio buttons' own names are the captions painted beside them: too small to show
    // them, they still tell a screen reader what each one means.
    for (const auto& [button, caption] : {std::pair<int, UINT>{IDC_LICENSE_ACCEPT, IDS_LICENSE_4},
                                          std::pair<int, UINT>{IDC_LICENSE_DECLINE, IDS_LICENSE_5}}) {
        CString text;
        text.LoadString(caption);
        ::SetDlgItemTextW(m_hWnd, button, text);
    }
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    return TRUE;
}

void CLicenseDlg::OnOK()
{
    ShowWindow(SW_HIDE);
    bool accepted = IsDlgButtonChecked(IDC_LICENSE_ACCEPT) == BST_CHECKED;
    bool declined = IsDlgButtonChecked(IDC_LICENSE_DECLINE) == BST_CHECKED;
    if (declined && !accepted) {
        // Declined: the quit closes this hidden page and every page beneath it.
        ::PostQuitMessage(0);
        return;
    }
    // Accepted, or no choice made: go on as on the welcome page.
    GuardedAdvance(*this);
}

void CLicenseDlg::OnCancel()
{
    ::PostQuitMessage(0);
    CDialog::OnCancel();
}

BOOL CLicenseDlg::OnButtonClicked(UINT nID)
{
    switch (nID) {
    case IDC_LICENSE_BACK: {
        CWelcomeDlg welcome;
        OpenPage(*this, welcome, Ending::EndCancel);
        return TRUE;
    }
    case IDC_LICENSE_ACCEPT:
    case IDC_LICENSE_DECLINE: return TRUE;  // the automatic radio buttons check themselves
    default: return FALSE;
    }
}

void CLicenseDlg::SetAgreementText()
{
    CString agreement;
    CString part;
    for (UINT id = IDS_AGREEMENT_FIRST; id <= IDS_AGREEMENT_LAST; ++id) {
        part.LoadString(id);
        agreement += part;
    }
    ::SetDlgItemTextW(m_hWnd, IDC_LICENSE_TEXT, agreement);
}

BOOL CLicenseDlg::OnPaint()
{
    // Each successful paint sets the agreement again, which puts the box back at its first line.
    if (PaintPage(m_hWnd, kLicenseRow)) SetAgreementText();
    return TRUE;
}

HBRUSH CLicenseDlg::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    HBRUSH brush = CDialog::OnCtlColor(dc, control, nCtlColor);
    if (nCtlColor == CTLCOLOR_BTN) ::SetBkColor(dc, kStatusBackground);
    return brush;
}
