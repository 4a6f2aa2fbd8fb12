// KeepAwake: while it lives, Windows does not go to sleep on its own (the display may still
// turn off), so that no handheld is left half-written by a sleeping computer. The state
// belongs to the thread that made the object, which must also be the one that ends it.
#pragma once
#include <windows.h>

class KeepAwake {
public:
    KeepAwake() { ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); }
    ~KeepAwake() { ::SetThreadExecutionState(ES_CONTINUOUS); }
    KeepAwake(const KeepAwake&) = delete;
    KeepAwake& operator=(const KeepAwake&) = delete;
};
