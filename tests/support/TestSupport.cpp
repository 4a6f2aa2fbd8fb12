#include "tests/support/TestSupport.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {
std::wstring g_wizard;
std::wstring g_flasher;
}  // namespace

const std::wstring& WizardPath() { return g_wizard; }
const std::wstring& FlasherPath() { return g_flasher; }

void SetProgramPaths(const std::wstring& wizard, const std::wstring& flasher)
{
    g_wizard = wizard;
    g_flasher = flasher;
}

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) return std::string();
    const int size = static_cast<int>(text.size());
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &out[0], n, nullptr, nullptr);
    return out;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::wstring TempPath(const wchar_t* name)
{
    wchar_t dir[MAX_PATH + 1] = L"";
    ::GetTempPathW(MAX_PATH + 1, dir);
    return std::wstring(dir) + name;
}

std::string ReadWholeFile(const std::wstring& path, bool* found)
{
    std::string all;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (found) *found = f != nullptr;
    if (!f) return all;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) all.append(buffer, n);
    std::fclose(f);
    return all;
}

const wchar_t* OptionValue(const wchar_t* arg, const wchar_t* name)
{
    const size_t length = std::wcslen(name);
    return std::wcsncmp(arg, name, length) == 0 ? arg + length : nullptr;
}
