#include "framework/CString.h"
#include <cstdarg>
#include <cwchar>

bool CString::LoadString(UINT nID)
{
    // With a zero length LoadStringW hands out a pointer into the resource itself,
    // so a string of any length (the license parts are near a thousand) loads whole.
    const wchar_t* text = nullptr;
    int len = ::LoadStringW(::GetModuleHandleW(nullptr), nID, reinterpret_cast<LPWSTR>(&text), 0);
    if (len <= 0 || !text) {
        m_str.clear();
        return false;
    }
    m_str.assign(text, static_cast<size_t>(len));
    return true;
}

void CString::Format(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list probe;
    va_copy(probe, args);
    int len = std::vswprintf(nullptr, 0, format, probe);
    va_end(probe);
    if (len < 0) {
        // MinGW's vswprintf cannot measure; fall back to growing a buffer.
        std::wstring buf(256, L'\0');
        for (;;) {
            va_list again;
            va_copy(again, args);
            int n = std::vswprintf(&buf[0], buf.size(), format, again);
            va_end(again);
            if (n >= 0 && static_cast<size_t>(n) < buf.size()) {
                buf.resize(static_cast<size_t>(n));
                break;
            }
            buf.resize(buf.size() * 2);
        }
        m_str = std::move(buf);
    } else {
        m_str.assign(static_cast<size_t>(len) + 1, L'\0');
        std::vswprintf(&m_str[0], m_str.size(), format, args);
        m_str.resize(static_cast<size_t>(len));
    }
    va_end(args);
}
