#include "flasher/SessionEnd.h"

#include "power/KeepAwake.h"

namespace {

// Sent to the window to give or take back the reason (Vista and later want it from the
// window's own thread).
constexpr UINT kHoldChanged = WM_APP + 1;
constexpr wchar_t kReason[] = L"A handheld is being written; ending now would leave it with an incomplete image.";

}  // namespace

SessionEnd::SessionEnd(Handler onEnd) : m_onEnd(onEnd), m_ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    m_thread = ::CreateThread(nullptr, 0, &SessionEnd::Main, this, 0, nullptr);
    // The window exists (or could not be made) before the program goes on.
    if (m_thread && m_ready) ::WaitForSingleObject(m_ready, 5000);
}

SessionEnd::~SessionEnd()
{
    if (m_thread) {
        if (m_wnd) ::PostMessageW(m_wnd, WM_CLOSE, 0, 0);
        ::WaitForSingleObject(m_thread, 5000);
        ::CloseHandle(m_thread);
    }
    if (m_ready) ::CloseHandle(m_ready);
}

void SessionEnd::Hold(bool hold)
{
    ::InterlockedExchange(&m_held, hold ? 1 : 0);
    if (m_wnd) ::PostMessageW(m_wnd, kHoldChanged, 0, 0);
}

DWORD WINAPI SessionEnd::Main(LPVOID param)
{
    auto* self = static_cast<SessionEnd*>(param);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &SessionEnd::WindowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kWindowClass;
    ::RegisterClassW(&wc);
    // Top-level and never shown: a message-only window would not hear of the session's end.
    self->m_wnd = ::CreateWindowExW(0, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, self);
    if (self->m_ready) ::SetEvent(self->m_ready);
    if (!self->m_wnd) return 0;
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
    return 0;
}

LRESULT CALLBACK SessionEnd::WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCCREATE)
        ::SetWindowLongPtrW(wnd, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* self = reinterpret_cast<SessionEnd*>(::GetWindowLongPtrW(wnd, GWLP_USERDATA));
    switch (msg) {
    case WM_QUERYENDSESSION: return self && self->m_held ? FALSE : TRUE;
    case kHoldChanged:
        if (self) ShowShutdownReason(wnd, self->m_held ? kReason : nullptr);
        return 0;
    case WM_ENDSESSION:
        if (wParam && self) self->m_onEnd((lParam & ENDSESSION_LOGOFF) ? "logoff" : "shutdown");
        return 0;
    case WM_CLOSE: ::DestroyWindow(wnd); return 0;
    case WM_DESTROY: ::PostQuitMessage(0); return 0;
    default: return ::DefWindowProcW(wnd, msg, wParam, lParam);
    }
}
