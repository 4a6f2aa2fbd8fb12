// What an administrator sets for the programs through Group Policy: the one list of it. The
// administrative templates (packaging/PolicyDefinitions) describe exactly these settings, and
// a test holds them to this list.
#pragma once
#include <windows.h>
#include <string>

namespace policy {

// Under HKEY_LOCAL_MACHINE, read in the 64-bit view where there is one: a 32-bit program must
// see what the administrator set.
constexpr wchar_t kKey[] = L"Software\\Policies\\ROM Upgrade Wizard";

struct Setting {
    const wchar_t* name;       // the policy's name in the templates
    const wchar_t* key;        // under HKEY_LOCAL_MACHINE
    const wchar_t* valueName;  // nullptr: every value of the key, whatever its name
    DWORD type;                // the type the templates write
};

// Thumbprints of the signers an image may carry, one per value (the templates name them 1, 2,
// ...); image/TrustPolicy.h says how they are read.
constexpr Setting kTrustedSigners{L"TrustedSigners", L"Software\\Policies\\ROM Upgrade Wizard\\TrustedSigners",
                                  nullptr, REG_SZ};
// 1: an image must carry a valid signature; 0: it need not.
constexpr Setting kRequireSignature{L"RequireSignature", kKey, L"RequireSignature", REG_DWORD};
// A folder (a network share) where every PC keeps its records in a file of its own name.
constexpr Setting kLogFolder{L"LogFolder", kKey, L"LogFolder", REG_SZ};

constexpr Setting kAll[] = {kTrustedSigners, kRequireSignature, kLogFolder};

// Opens a policy key for reading into *key: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when the
// administrator set nothing there, or why a key that is there could not be opened.
LONG Open(const wchar_t* key, HKEY* opened);

// A setting's text (REG_SZ). Absent: not set. Unreadable: set, and not as the template writes
// it (another type, no text, or a key or value that cannot be read); *problem says how.
enum class Text { Set, Absent, Unreadable };
Text ReadText(const Setting& setting, std::wstring* text, std::wstring* problem);

}  // namespace policy
