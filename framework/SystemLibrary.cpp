#include "framework/SystemLibrary.h"

#include <string>

namespace {

// Newer than the headers of the oldest Windows the programs run on.
constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

SetDefaultDllDirectoriesFn FindSetDefaultDllDirectories()
{
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return nullptr;
    return reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
}

}  // namespace

void RestrictDllSearch()
{
    if (auto setDefault = FindSetDefaultDllDirectories()) setDefault(kSearchSystem32);
    ::SetDllDirectoryW(L"");
}

SystemLibrary::SystemLibrary(const wchar_t* name)
{
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    const std::wstring path = std::wstring(folder, length) + L"\\" + name;
    const DWORD flags = FindSetDefaultDllDirectories() ? kSearchSystem32 : LOAD_WITH_ALTERED_SEARCH_PATH;
    m_module = ::LoadLibraryExW(path.c_str(), nullptr, flags);
}

SystemLibrary::~SystemLibrary()
{
    if (m_module) ::FreeLibrary(m_module);
}
