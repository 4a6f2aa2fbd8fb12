// SessionEnd: tells a console program that Windows is ending the session (a log-off or a
// shutdown). Windows tells a console program that uses user32, as romflash does, not through
// its console handler but through a top-level window, as it tells any windowed program; so a
// hidden window on a thread of its own listens for WM_ENDSESSION. While held, the same window
// asks Windows not to end the session (WM_QUERYENDSESSION), and from Vista on gives the reason.
#pragma once
#include <windows.h>

class SessionEnd {
public:
    // `onEnd` is called on the window's thread with "logoff" or "shutdown"; the session ends
    // once it returns.
    using Handler = void (*)(const char* cause);

    explicit SessionEnd(Handler onEnd);
    ~SessionEnd();  // closes the window and ends its thread
    // Holds off the end of the session, or lets it come again; from any thread.
    void Hold(bool hold);
    SessionEnd(const SessionEnd&) = delete;
    SessionEnd& operator=(const SessionEnd&) = delete;

    static constexpr const wchar_t* kWindowClass = L"romflash session end";

private:
    static DWORD WINAPI Main(LPVOID self);
    static LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

    Handler m_onEnd;
    HANDLE m_ready = nullptr;
    HANDLE m_thread = nullptr;
    HWND m_wnd = nullptr;
    volatile LONG m_held = 0;
};
