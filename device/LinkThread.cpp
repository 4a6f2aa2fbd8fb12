#include "device/LinkThread.h"
#include <utility>

void LinkThread::Start(std::function<void()> work, HWND notify, UINT command)
{
    Wait();
    m_work = std::move(work);
    m_notify = notify;
    m_command = command;
    m_thread = ::CreateThread(nullptr, 0, &LinkThread::Main, this, 0, nullptr);
    if (!m_thread) Main(this);
}

bool LinkThread::Running() const { return m_thread && ::WaitForSingleObject(m_thread, 0) == WAIT_TIMEOUT; }

void LinkThread::Wait()
{
    if (!m_thread) return;
    ::WaitForSingleObject(m_thread, INFINITE);
    ::CloseHandle(m_thread);
    m_thread = nullptr;
}

DWORD WINAPI LinkThread::Main(LPVOID param)
{
    auto* self = static_cast<LinkThread*>(param);
    // Nothing may leave a thread's entry point by an exception; the window hears of the end
    // all the same, and finds the outcome as the work left it.
    try {
        self->m_work();
    } catch (...) {
    }
    if (self->m_notify) ::PostMessageW(self->m_notify, WM_COMMAND, MAKEWPARAM(self->m_command, 0), 0);
    return 0;
}
