// PlugMemory: which handhelds, among those plugged now, have had their one road in this plug,
// known to every program on the PC and not only to this one.
//
// Each handheld has an auto-reset event, named after its device path in the global namespace.
// A program that takes a handheld, or leaves it alone because another took it, holds the
// event's handle for as long as it sees the handheld plugged: while anyone holds it, the
// handheld is spoken for. A program that sees the handheld unplugged sets the event ("it went
// away since it was taken") and lets go. Whoever finds the event set while the handheld is
// present again consumes that mark, at once and alone, and so takes the new plug: one program
// and one road per plug, however many programs look, and although one may have missed the
// unplug that another saw.
//
// All calls may come from any thread.
#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>

#include "framework/Handles.h"

// The device paths of the handhelds present, in the lookup's order (CUSBUpdate::ListDevices).
std::vector<std::wstring> PresentHandhelds();

class PlugMemory {
public:
    PlugMemory();
    ~PlugMemory();
    PlugMemory(const PlugMemory&) = delete;
    PlugMemory& operator=(const PlugMemory&) = delete;

    enum class Look {
        Held,     // already held here: nothing new (this program took or skipped it in this plug)
        Ours,     // a new plug, taken here: flash it
        Skipped,  // spoken for by another program in this plug: held here from now on, left alone
    };
    // A handheld that is present now.
    Look Present(const std::wstring& devicePath);
    // Seen unplugged (the lookup no longer lists it, or Windows said it was removed).
    void Unplugged(const std::wstring& devicePath);
    // Every held handheld that `present` does not list is unplugged.
    void KeepOnly(const std::vector<std::wstring>& present);

private:
    static std::wstring Name(const std::wstring& devicePath);

    CRITICAL_SECTION m_lock;
    std::map<std::wstring, UniqueHandle> m_held;  // by object name
};
