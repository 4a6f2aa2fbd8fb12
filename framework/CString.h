// CString: the small text type the pages and the engine pass around (UTF-16, as the
// wide Win32 calls take it), with the two things MFC's CString gave them: loading a
// string resource and printf-style formatting.
#pragma once
#include <windows.h>
#include <initializer_list>
#include <string>
#include <vector>

class CString {
public:
    CString() = default;
    CString(const wchar_t* s) : m_str(s ? s : L"") {}
    CString(std::wstring s) : m_str(std::move(s)) {}

    // Loads string resource nID of this module; false (and empty) when there is none.
    bool LoadString(UINT nID);
    void Format(const wchar_t* format, ...);

    const wchar_t* GetString() const { return m_str.c_str(); }
    operator const wchar_t*() const { return m_str.c_str(); }
    int GetLength() const { return static_cast<int>(m_str.size()); }
    const std::wstring& str() const { return m_str; }

    CString& operator+=(const CString& other)
    {
        m_str += other.m_str;
        return *this;
    }

private:
    std::wstring m_str;
};

// UTF-16 to UTF-8 and back: what the programs write to files and pipes (the log, JSON,
// romflash's lines when redirected) is UTF-8, and so is every path the link engine keeps.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// String resource nID in the program's language, or `english` when this program has none of
// it (the link engine's texts, which romflash and the tests keep in English).
CString TextOr(UINT nID, const wchar_t* english);

// String resource `id` in the program's language with %1, %2, ... replaced by `args`, as
// FormatMessage fills them in; its line ends are the text's own.
std::wstring LoadText(UINT id, std::initializer_list<std::wstring> args = {});
std::wstring LoadText(UINT id, const std::vector<std::wstring>& args);
