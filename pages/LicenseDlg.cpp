#include "pages/LicenseDlg.h"
#include <utility>
#include "pages/PagePainter.h"
#include "pages/WelcomeDlg.h"
#include "pages/checkregister.h"
#include "app/PageChain.h"
#include "framework/Handles.h"
#include "framework/WinApp.h"
#include "res/resource.h"

namespace {

constexpr wchar_t kAgreementProc[] = L"RomUpgradeWizard.AgreementProc";

// The agreement's box keeps its caret and its place when Tab brings the focus to it: Windows
// would select the whole text and so scroll to its end, and a reader would start at the last line.
LRESULT CALLBACK AgreementBox(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    const auto base = reinterpret_cast<WNDPROC>(::GetPropW(wnd, kAgreementProc));
    if (msg == WM_GETDLGCODE) return ::CallWindowProcW(base, wnd, msg, wParam, lParam) & ~DLGC_HASSETSEL;
    if (msg == WM_NCDESTROY) {
        ::SetWindowLongPtrW(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(base));
        ::RemovePropW(wnd, kAgreementProc);
    }
    return ::CallWindowProcW(base, wnd, msg, wParam, lParam);
}

}  // namespace

CLicenseDlg::CLicenseDlg(CWnd* pParent)
    : CDialog(IDD_LICENSE, pParent), m_hIcon(nullptr), m_background(::CreateSolidBrush(kStatusBackground))
{
}
CLicenseDlg::~CLicenseDlg() = default;

void CLicenseDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    m_hIcon = AfxGetApp()->LoadIcon(IDI_APP);
}

BOOL CLicenseDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    // The radio buttons' own names are the captions painted beside them: too small to show
    // them, they still tell a screen reader what each one means, and the captions are not
    // said a second time as lines of the page.
    ExposePageText(m_hWnd, kLicenseRow, {IDS_LICENSE_4, IDS_LICENSE_5});
    for (const auto& [button, caption] : {std::pair<int, UINT>{IDC_LICENSE_ACCEPT, IDS_LICENSE_4},
                                          std::pair<int, UINT>{IDC_LICENSE_DECLINE, IDS_LICENSE_5}}) {
        CString text;
        text.LoadString(caption);
        ::SetDlgItemTextW(m_hWnd, button, text);
    }
    HWND box = GetDlgItem(IDC_LICENSE_TEXT);
    ::SetPropW(box, kAgreementProc, reinterpret_cast<HANDLE>(::GetWindowLongPtrW(box, GWLP_WNDPROC)));
    ::SetWindowLongPtrW(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AgreementBox));
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

BOOL CLicenseDlg::OnCommand(UINT nID, UINT nCode)
{
    // The radio buttons are too small to show their own focus (their captions are painted by
    // the page): the page draws it round the caption, as a button draws it round its text.
    if ((nID == IDC_LICENSE_ACCEPT || nID == IDC_LICENSE_DECLINE) && (nCode == BN_SETFOCUS || nCode == BN_KILLFOCUS)) {
        const RECT frame = CaptionFrame(static_cast<int>(nID));
        ::InvalidateRect(m_hWnd, &frame, TRUE);
        return TRUE;
    }
    return CDialog::OnCommand(nID, nCode);
}

RECT CLicenseDlg::CaptionFrame(int id) const
{
    RECT r = PageLineRect(m_hWnd, kLicenseRow, id == IDC_LICENSE_ACCEPT ? IDS_LICENSE_4 : IDS_LICENSE_5);
    if (!::IsRectEmpty(&r)) ::InflateRect(&r, 2, 1);
    return r;
}

// A choice is its button and its caption, and the room between them, from the top of either
// to the bottom of either: a click anywhere there makes it, at any size of the page.
RECT CLicenseDlg::ChoiceArea(int id) const
{
    RECT area = CaptionFrame(id), button{};
    HWND radio = ::GetDlgItem(m_hWnd, id);
    if (!radio || ::IsRectEmpty(&area) || !::GetWindowRect(radio, &button)) return area;
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&button), 2);
    ::UnionRect(&area, &area, &button);
    return area;
}

BOOL CLicenseDlg::OnLButtonDown(POINT at)
{
    for (int id : {IDC_LICENSE_ACCEPT, IDC_LICENSE_DECLINE}) {
        const RECT area = ChoiceArea(id);
        if (!::PtInRect(&area, at)) continue;
        // As a click on the button itself: it takes the focus and checks itself.
        ::SendMessageW(::GetDlgItem(m_hWnd, id), BM_CLICK, 0, 0);
        return TRUE;
    }
    return FALSE;
}

void CLicenseDlg::DrawRadioFocus()
{
    const int focus = ::GetDlgCtrlID(::GetFocus());
    if (focus != IDC_LICENSE_ACCEPT && focus != IDC_LICENSE_DECLINE) return;
    // Hidden, as Windows hides every focus, until the keyboard is used.
    if (SendMessage(WM_QUERYUISTATE) & UISF_HIDEFOCUS) return;
    const RECT r = CaptionFrame(focus);
    if (::IsRectEmpty(&r)) return;
    // Dotted like a focus rectangle, but drawn rather than inverted: a paint of part of the
    // page must not take it away where it was not repainted.
    ClientDC dc(m_hWnd);
    LOGBRUSH ink{BS_SOLID, HighContrast() ? ::GetSysColor(COLOR_WINDOWTEXT) : kTextBlack, 0};
    GdiObject<HPEN> pen(::ExtCreatePen(PS_COSMETIC | PS_ALTERNATE, 1, &ink, 0, nullptr));
    if (!dc.get() || !pen) return;
    SelectObjectGuard usePen(dc.get(), pen.get());
    SelectObjectGuard noFill(dc.get(), ::GetStockObject(NULL_BRUSH));
    ::Rectangle(dc.get(), r.left, r.top, r.right, r.bottom);
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
    DrawRadioFocus();
    return TRUE;
}

HBRUSH CLicenseDlg::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    HBRUSH brush = CDialog::OnCtlColor(dc, control, nCtlColor);
    if (nCtlColor == CTLCOLOR_BTN) ::SetBkColor(dc, kStatusBackground);
    // The radio buttons (which ask as static controls do) stand on the page's light
    // background, not on a grey square.
    const int id = ::GetDlgCtrlID(control);
    if ((id == IDC_LICENSE_ACCEPT || id == IDC_LICENSE_DECLINE) && !HighContrast() &&
        (nCtlColor == CTLCOLOR_BTN || nCtlColor == CTLCOLOR_STATIC)) {
        ::SetBkColor(dc, kStatusBackground);
        return m_background.get();
    }
    return brush;
}
