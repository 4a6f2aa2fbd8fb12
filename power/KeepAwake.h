// KeepAwake: while it lives, Windows does not go to sleep on its own (the display may still
// turn off), so that no handheld is left half-written by a sleeping computer. The state
// belongs to the thread that made the object, which must also be the one that ends it.
#pragma once
#include <windows.h>
#include "framework/SystemLibrary.h"

// Gives the reason why `window` holds off the end of the Windows session (Vista and later show
// it beside the program), or takes it back (nullptr). On the window's own thread.
inline void ShowShutdownReason(HWND window, const wchar_t* reason)
{
    const SystemLibrary user32(L"user32.dll");
    if (reason) {
        if (auto create = user32.Function<BOOL(WINAPI*)(HWND, LPCWSTR)>("ShutdownBlockReasonCreate"))
            create(window, reason);
    } else {
        if (auto destroy = user32.Function<BOOL(WINAPI*)(HWND)>("ShutdownBlockReasonDestroy")) destroy(window);
    }
}

class KeepAwake {
public:
    KeepAwake() { ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); }
    ~KeepAwake() { ::SetThreadExecutionState(ES_CONTINUOUS); }
    KeepAwake(const KeepAwake&) = delete;
    KeepAwake& operator=(const KeepAwake&) = delete;
};
