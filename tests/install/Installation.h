// What the installer of one edition (x86 or x64) leaves on the machine and where a user, the
// Start menu and Add/Remove Programs find it; and running setup and uninstall commands until
// every process they started has ended.
#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>

struct Edition {
    std::wstring arch;                   // x86 or x64
    std::wstring version;                // three numbers: 0.1.0
    std::vector<std::wstring> programs;  // file names of the shipped programs, the wizard first

    // Under HKEY_LOCAL_MACHINE, in the registry view View(): the x86 edition's entry is
    // where 32-bit programs keep theirs, the x64 edition's where 64-bit ones do.
    std::wstring UninstallKey() const;
    REGSAM View() const;
    REGSAM OtherView() const;
    std::wstring DisplayName() const;
    // Program Files\ROM Upgrade Wizard; for x86 the 32-bit Program Files of a 64-bit Windows.
    std::wstring DefaultFolder() const;
    // The shortcut in the Start menu of all users.
    std::wstring Shortcut() const;
    // Every file a package ships, as it lies in `folder`: the programs, the READMEs, the
    // administrative templates (PolicyDefinitions).
    std::vector<std::wstring> ShippedFiles(const std::wstring& folder) const;
    // The folders below `folder` that hold some of them, deepest first.
    std::vector<std::wstring> ShippedFolders(const std::wstring& folder) const;
    // What the setup program puts into `folder`: those, and its uninstaller.
    std::vector<std::wstring> InstalledFiles(const std::wstring& folder) const;
    std::wstring Uninstaller(const std::wstring& folder) const;
};

// An entry of Add/Remove Programs: its text values and its numbers.
struct UninstallEntry {
    bool present = false;
    std::map<std::wstring, std::wstring> text;
    std::map<std::wstring, DWORD> number;
};
UninstallEntry ReadUninstallEntry(const std::wstring& key, REGSAM view);

bool Is64BitWindows();
bool Exists(const std::wstring& path);
// The program a shell link starts; empty when the link cannot be read.
std::wstring ShortcutTarget(const std::wstring& link);
// A value of a file's version resource (ProductVersion, ProductName...); empty if none.
std::wstring VersionString(const std::wstring& file, const wchar_t* name);
// The fixed part of it: "a.b.c.d" of the product version; empty if none.
std::wstring FixedProductVersion(const std::wstring& file);

struct RunResult {
    bool ended = false;   // the process and all it started have ended in time
    DWORD exitCode = 0;   // of the process started
    DWORD processes = 0;  // how many processes ran in all: it and those it started
    std::wstring error;
};
// Runs a command line (the program first, quoted as in the registry) in a job of its own and
// waits until every process of the job has ended. Whatever still runs after `timeoutMs` is
// ended with the job.
RunResult RunToEnd(const std::wstring& commandLine, DWORD timeoutMs);

// A visible top-level window of process `pid` that has a control `controlId`: a setup page has
// IDOK, a message box its text as 0xFFFF. Null when there is none.
HWND VisibleWindowOf(DWORD pid, int controlId);
