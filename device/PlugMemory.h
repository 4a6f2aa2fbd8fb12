// PlugMemory: which handhelds, among those plugged now, have had their one road in this plug,
// known to every program on the PC and not only to this one.
//
// The program that takes a handheld makes an event named after its device path, set from the
// moment it is made, and holds it for as long as it sees the handheld plugged: while it is
// there and set, the plug is taken, and every other program leaves the handheld alone. Only
// the taker holds it. When the taker sees the handheld unplugged it resets the event and lets
// it go; a program that finds the event there but reset (kept for an instant by another's
// look) waits for it to go, so a look never keeps a plug from being taken.
//
// A program that finds a plug taken remembers that here, holding nothing, until it sees the
// handheld unplugged itself. Unplugged means what Windows says: the device watch heard the
// interface removed (Unplugged), or two looks some time apart did not list it. One look that
// misses a handheld, or a look that failed, proves nothing; and a look made before Windows
// said a handheld was removed takes nothing of that handheld.
//
// The event is made with our own security descriptor; one that is there and not ours is
// NotOurs, never "taken" or "free" (framework/NamedObject.h).
//
// All calls may come from any thread.
#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>

#include "framework/Handles.h"

// One look at the handhelds present.
struct HandheldLook {
    DWORD error = 0;  // not 0: the look failed, and `paths` says nothing
    std::vector<std::wstring> paths;  // in the lookup's order
    unsigned long removals = 0;  // how many removals the memory had heard of when it began
    bool Failed() const { return error != 0; }
};

class PlugMemory {
public:
    PlugMemory();
    ~PlugMemory();
    PlugMemory(const PlugMemory&) = delete;
    PlugMemory& operator=(const PlugMemory&) = delete;

    enum class Look {
        Held,     // known here in this plug already (taken or left alone): nothing new
        Ours,     // a new plug, taken here now: write it
        Taken,    // another program took it in this plug: left alone from now on
        NotOurs,  // its name is there and not ours, or cannot be made or checked: neither
    };
    // Looks at the handhelds present, and learns from it: a handheld known here that two
    // looks at least kAbsentMs apart did not list is unplugged. A failed look changes nothing.
    HandheldLook LookAtHandhelds();
    // A handheld that is present now: one of `look`'s (Held when Windows has said since that
    // it was removed: look again), or one just opened (no look). With NotOurs, *error says why
    // (a Windows error).
    Look Present(const std::wstring& devicePath, const HandheldLook* look, DWORD* error = nullptr);
    // Windows said it was removed, or it was gone when it was to be opened.
    void Unplugged(const std::wstring& devicePath);

    static constexpr DWORD kAbsentMs = 500;

private:
    struct Plug {
        UniqueHandle taken;   // the event, when this program took the plug
        bool missed = false;  // the last look did not list it...
        DWORD missedAt = 0;   // ... nor any look since this time
    };
    static std::wstring Name(const std::wstring& devicePath);
    static void Release(Plug& plug);

    CRITICAL_SECTION m_lock;
    std::map<std::wstring, Plug> m_plugs;  // by object name
    // Removals heard, counted; and for each handheld heard removed, the count at its last.
    unsigned long m_removals = 0;
    std::map<std::wstring, unsigned long> m_removed;
};
