// DLLs from the system directory only. A program run from a Downloads folder must never load a
// comctl32.dll or setupapi.dll that someone left beside it, so the shipped programs import
// statically only what the loader always takes from the system (kernel32, user32, gdi32,
// advapi32 and the C runtime) and load every other DLL here, after RestrictDllSearch.
#pragma once
#include <windows.h>

// Takes the program's folder and the current directory out of the DLL search where the system
// allows it: SetDefaultDllDirectories where present (Windows 8, or 7 with its update), else
// SetDllDirectory(""), the best Windows XP offers. Called once, first thing at start.
void RestrictDllSearch();

// Loads a DLL of the system directory, resolving its own dependencies there as well; freed with
// the object. Where the search cannot be restricted, LOAD_WITH_ALTERED_SEARCH_PATH makes the
// loader look for them beside the DLL (the system directory) rather than beside the program.
class SystemLibrary {
public:
    explicit SystemLibrary(const wchar_t* name);
    ~SystemLibrary();
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    // The named function, or nullptr when the DLL or the function is missing.
    template <class F>
    F Function(const char* name) const
    {
        if (!m_module) return nullptr;
        return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(m_module, name)));
    }

private:
    HMODULE m_module = nullptr;
};
