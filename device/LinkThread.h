// LinkThread: runs one piece of link work (a handshake, a transfer) on a thread of its own,
// so that the thread of the windows never waits on the handheld, and tells a window when the
// work is done by posting it a command (WM_COMMAND with that id). The window's thread then
// reads the outcome; until then the work owns what it was given.
//
// The destructor waits for the work to end: whoever owns the thread sets the link's stop
// event first when the work must not run on.
#pragma once
#include <windows.h>
#include <functional>

class LinkThread {
public:
    LinkThread() = default;
    ~LinkThread() { Wait(); }
    LinkThread(const LinkThread&) = delete;
    LinkThread& operator=(const LinkThread&) = delete;

    // Starts `work`; once it has returned, posts WM_COMMAND `command` to `notify` (no window:
    // nothing is posted; Running and Wait tell the end). When no
    // thread can be made, the work runs here and now, and the command is posted all the same.
    void Start(std::function<void()> work, HWND notify, UINT command);
    // True from Start until the work has returned.
    bool Running() const;
    // Waits for the work to end (at once when none runs).
    void Wait();

private:
    static DWORD WINAPI Main(LPVOID self);

    std::function<void()> m_work;
    HWND m_notify = nullptr;
    UINT m_command = 0;
    HANDLE m_thread = nullptr;
};
