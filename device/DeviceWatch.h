// DeviceWatch: hears Windows say that a handheld's upgrade interface arrived or was removed
// (WM_DEVICECHANGE, registered for GUID_DEVINTERFACE_UPGRADE), so that --repeat and the wizard do not
// depend on its four looks a second alone: a handheld that resets itself and comes back
// between two looks was still removed, and is a new plug. A removal is told to the plug
// memory at once, on the window's own thread, before the sender of the message goes on.
//
// The window is top-level and hidden, on a thread of its own: broadcasts of WM_DEVICECHANGE
// reach top-level windows only, not message-only ones.
#pragma once
#include <windows.h>

#include "device/PlugMemory.h"
#include "framework/Handles.h"

class DeviceWatch {
public:
    explicit DeviceWatch(PlugMemory& memory);
    ~DeviceWatch();  // closes the window and ends its thread
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Set (auto-reset) whenever an arrival or a removal was heard: time to look again.
    HANDLE Changed() const { return m_changed.get(); }

    static constexpr const wchar_t* kWindowClass = L"ROM Upgrade Wizard device watch";

private:
    static DWORD WINAPI Main(LPVOID self);
    static LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void Heard(WPARAM event, LPARAM data);

    PlugMemory& m_memory;
    UniqueHandle m_changed, m_ready, m_thread;
    HWND m_wnd = nullptr;
};
