// What is left when a program of ours crashes after all: its record in the upgrade log
// (`result=failed step=program reason=crashed error=` the exception code), a word from the
// program itself, and its own exit code, at once. No crash dialog and no debugger waits for
// someone to answer: a bench's script must go on, and an operator must be able to tell.
//
// The state here is the one thing a crash can still read: the program's name, the image it
// was working on, and what it says last. Set it from the thread that starts the program.
#pragma once
#include <windows.h>
#include <string>

#include "log/UpgradeLog.h"

// Exit code of a program that crashed.
constexpr int kExitCrashed = 12;

// From now on a crash of this process records itself, calls `say` (which may be null) with
// the exception's code, and ends the process with kExitCrashed.
void RecordCrashes(const wchar_t* program, void (*say)(DWORD code));
// Where that record goes, when not where the policy says (romflash's --log-folder).
void SetCrashLogDestination(const LogDestination& destination);
// The image the program works on now, for that record.
void SetCrashImage(const std::wstring& imagePath);
