// Named kernel objects that other programs must not be able to turn against us.
//
// A name in the global namespace can be made by any program first. So every object the
// programs name is made with a security descriptor of our own, which lets only the user who
// runs the program, SYSTEM and Administrators open it; and one that is there already counts
// as ours only when it is owned by one of those (or by this user's default owner). Anything
// else (an object another user made, one we may not open, one whose owner we cannot read)
// is NotOurs: the callers refuse to act on it and say so, never take it as "free" or "held".
//
// Windows lets no user make an object owned by another without a privilege, and its DACL
// check keeps other users out of ours. Wine lets both through (every program is one user
// there), so the owner is read on every platform rather than left to the DACL.
#pragma once
#include <windows.h>
#include <string>

#include "framework/Handles.h"

enum class NameVerdict {
    Made,     // made here, with our descriptor
    Ours,     // there already, owned by this user, SYSTEM or Administrators
    Absent,   // (OpenNamedObject) there is none of that name
    NotOurs,  // there already, and not ours, or not one we may open and check
    Failed,   // neither made nor opened, for another reason (error says which)
};

enum class NamedKind { Event, Mutex };

struct NamedObject {
    UniqueHandle handle;  // open when Made or Ours
    NameVerdict verdict = NameVerdict::Failed;
    DWORD error = 0;      // the Windows error behind NotOurs or Failed, where there is one
};

// Makes the object named `name` (an event: manual-reset, set when `signaled`; a mutex: not
// owned), or opens the one that is there.
NamedObject CreateNamedObject(NamedKind kind, const std::wstring& name, bool signaled = false);
// Opens the object named `name` when it is there; never makes one.
NamedObject OpenNamedObject(NamedKind kind, const std::wstring& name);
