// The ActiveSync conflict check that guards the way into the reset page. ActiveSync would
// hold the same USB link while it runs with USB connections allowed.
#pragma once
#include <windows.h>
#include "framework/Dialog.h"

class CCheckRegister {
public:
    virtual ~CCheckRegister() = default;
    // Reads "ConnectTypesAllowed" under HKEY_CURRENT_USER\keyPath into *value. Returns 0 when
    // the key cannot be opened for reading, 1 otherwise. A value that is missing or not a
    // 4-byte word reads as 0.
    int CheckRegistry(const char* keyPath, DWORD* value);
};

// The step behind Next on the welcome and license pages, with that page already hidden:
// opens the reset page, or the warning page while ActiveSync allows USB connections, or
// reports a failed registry probe and shows the page again.
void GuardedAdvance(CDialog& page);
