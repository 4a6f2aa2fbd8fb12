#include "framework/Dialog.h"
#include "framework/Language.h"
#include "framework/AnswerBox.h"
#include "framework/WinApp.h"
#include "res/resource.h"

HICON CWnd::SetIcon(HICON icon, BOOL big)
{
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
}

int CWnd::MessageBox(const wchar_t* text, const wchar_t* caption, UINT type)
{
    // A box with OK alone is ours, so that its button speaks the wizard's language.
    if ((type & MB_TYPEMASK) != MB_OK) return ::MessageBoxW(m_hWnd, text, caption, type);
    const UINT icon = type & MB_ICONMASK;
    return ShowAnswerBox(m_hWnd, text, caption ? caption : L"", AnswerButtons::Ok,
                         icon == MB_ICONHAND          ? IDI_HAND
                         : icon == MB_ICONQUESTION    ? IDI_QUESTION
                         : icon == MB_ICONEXCLAMATION ? IDI_EXCLAMATION
                         : icon == MB_ICONASTERISK    ? IDI_ASTERISK
                                                      : nullptr);
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& control)
{
    if (!control.m_hWnd) control.m_hWnd = pDX->m_pDlgWnd->GetDlgItem(nIDC);
}

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog()
{
    if (m_hWnd) ::DestroyWindow(m_hWnd);
}

INT_PTR CDialog::DoModal()
{
    m_bContinueModal = true;
    m_nModalResult = -1;
    HWND parent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    // The template in the wizard's language where it has one of its own.
    const DLGTEMPLATE* page = FindDialogTemplate(m_nIDTemplate);
    HWND wnd = page ? ::CreateDialogIndirectParamW(AfxGetApp()->m_hInstance, page, parent, &CDialog::DialogProc,
                                                   reinterpret_cast<LPARAM>(this))
                    : nullptr;
    if (!wnd) {
        // A page that cannot be made ends the run, as the end of the main window would: the
        // application must not be left designating a page that never was.
        m_bContinueModal = false;
        // In the user's language when the program has it (a program of ours without the
        // texts says it in English).
        ShowAnswerBox(parent,
                      TextOr(IDS_PAGE_NOT_SHOWN, L"A page of the wizard could not be shown. The wizard will close now.")
                          .GetString(),
                      TextOr(IDS_ENGINE_ERROR_CAPTION, L"Error").GetString(), AnswerButtons::Ok, nullptr);
        CWinApp* app = AfxGetApp();
        if (app->m_pMainWnd == this) app->m_pMainWnd = nullptr;
        ::PostQuitMessage(0);
        return -1;
    }
    // Templates without WS_VISIBLE are shown once the page is set up, as a modal dialog is.
    if (m_bContinueModal && !::IsWindowVisible(wnd)) ::ShowWindow(wnd, SW_SHOWNORMAL);
    INT_PTR result = RunModalLoop();
    if (m_hWnd) ::DestroyWindow(m_hWnd);
    return result;
}

// Our own loop rather than DialogBox: every page runs nested inside a handler of the page
// beneath it, and a quit must unwind all of them. Taking WM_QUIT here posts it again and
// returns -1, so each enclosing loop ends in turn. (DialogBox would return the default
// result instead, and an IDOK could then hide a quit that is under way.)
INT_PTR CDialog::RunModalLoop()
{
    MSG msg;
    while (m_bContinueModal) {
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return -1;
        }
        if (got == -1) return -1;
        if (!m_hWnd || !::IsDialogMessageW(m_hWnd, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    return m_nModalResult;
}

void CDialog::EndDialog(int nResult)
{
    m_nModalResult = nResult;
    m_bContinueModal = false;
    if (m_hWnd) ::ShowWindow(m_hWnd, SW_HIDE);
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx{bSaveAndValidate, this};
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    // The focus is always shown, not only once a key has been pressed: a keyboard user must
    // see where it is from the first moment.
    ::SendMessageW(m_hWnd, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS | UISF_HIDEACCEL), 0);
    return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

void CDialog::OnOK()
{
    if (UpdateData(TRUE)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(UINT nID, UINT nCode)
{
    if (nCode != BN_CLICKED) return FALSE;
    switch (nID) {
    case IDOK: OnOK(); return TRUE;
    case IDCANCEL: OnCancel(); return TRUE;
    default: return OnButtonClicked(nID);
    }
}

BOOL CDialog::OnButtonClicked(UINT) { return FALSE; }
void CDialog::OnTimer(UINT_PTR) {}
BOOL CDialog::OnPaint() { return FALSE; }

HBRUSH CDialog::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    // What the dialog manager would do: the system's colours for this kind of control.
    return reinterpret_cast<HBRUSH>(::DefWindowProcW(m_hWnd, WM_CTLCOLORMSGBOX + nCtlColor,
                                                     reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control)));
}

HCURSOR CDialog::OnQueryDragIcon() { return nullptr; }
BOOL CDialog::OnQueryEndSession() { return TRUE; }
BOOL CDialog::OnLButtonDown(POINT) { return FALSE; }

INT_PTR CALLBACK CDialog::DialogProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CDialog* self;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        self->m_hWnd = wnd;
        ::SetWindowLongPtrW(wnd, DWLP_USER, lParam);
    } else {
        self = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(wnd, DWLP_USER));
    }
    return self ? self->HandleMessage(msg, wParam, lParam) : FALSE;
}

INT_PTR CDialog::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_INITDIALOG: return OnInitDialog();
    case WM_COMMAND: return OnCommand(LOWORD(wParam), HIWORD(wParam));
    case WM_TIMER: OnTimer(wParam); return TRUE;
    case WM_PAINT: return OnPaint();
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(
            OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), msg - WM_CTLCOLORMSGBOX));
    case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:  // the second press of a quick pair, where the page takes double clicks
        return OnLButtonDown(POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))});
    case WM_QUERYENDSESSION:
        // A dialog answers through its message result.
        ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, OnQueryEndSession());
        return TRUE;
    case WM_NCDESTROY: {
        ::SetWindowLongPtrW(m_hWnd, DWLP_USER, 0);
        m_hWnd = nullptr;
        m_bContinueModal = false;
        // The main window's end is the program's end.
        CWinApp* app = AfxGetApp();
        if (app && app->m_pMainWnd == this) {
            app->m_pMainWnd = nullptr;
            ::PostQuitMessage(0);
        }
        return FALSE;
    }
    default: return FALSE;
    }
}
