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
    // The agreement's box is named by the label before it: the page's title.
    CString name;
    name.LoadString(IDS_LICENSE_1);
    ::SetDlgItemTextW(m_hWnd, IDC_LICENSE_TEXT_NAME, name);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    // Next comes last in the order of the screen, but the focus starts on it.
    ::SetFocus(GetDlgItem(IDOK));
    return FALSE;
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
    // Set again only when the box does not hold it already: setting it puts the box back at its
    // first line, and a reader who scrolled must not lose the place at every repaint.
    HWND box = GetDlgItem(IDC_LICENSE_TEXT);
    const int length = ::GetWindowTextLengthW(box);
    std::wstring held(static_cast<size_t>(length) + 1, L'\0');
    held.resize(static_cast<size_t>(::GetWindowTextW(box, &held[0], length + 1)));
    if (held != agreement.str()) ::SetWindowTextW(box, agreement);
}

BOOL CLicenseDlg::OnPaint()
{
    if (PaintPage(m_hWnd, kLicenseRow)) SetAgreementText();
    return TRUE;
}

HBRUSH CLicenseDlg::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    HBRUSH brush = CDialog::OnCtlColor(dc, control, nCtlColor);
    if (nCtlColor == CTLCOLOR_BTN) ::SetBkColor(dc, kStatusBackground);
    return brush;
}
