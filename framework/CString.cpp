#include "framework/CString.h"
#include "framework/Language.h"
#include <cstdarg>
#include <cwchar>
#include <vector>

bool CString::LoadString(UINT nID)
{
    // In the program's language, else in English; a pointer into the resource itself, so a
    // string of any length (the license parts are near a thousand) loads whole.
    int len = 0;
    const wchar_t* text = FindString(nID, ProgramLanguage(), &len);
    if (!text) text = FindString(nID, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), &len);
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

CString TextOr(UINT nID, const wchar_t* english)
{
    CString text;
    return text.LoadString(nID) ? text : CString(english);
}

std::wstring LoadText(UINT id, std::initializer_list<std::wstring> args)
{
    return LoadText(id, std::vector<std::wstring>(args));
}

std::wstring LoadText(UINT id, const std::vector<std::wstring>& args)
{
    CString format;
    format.LoadString(id);
    std::vector<DWORD_PTR> argv;
    for (const std::wstring& a : args) argv.push_back(reinterpret_cast<DWORD_PTR>(a.c_str()));
    argv.push_back(0);
    wchar_t* text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                     format.GetString(), 0, 0, reinterpret_cast<wchar_t*>(&text), 0,
                     reinterpret_cast<va_list*>(argv.data()));
    std::wstring result = text ? text : format.str();
    if (text) ::LocalFree(text);
    // Line ends as the texts have them, whatever FormatMessage made of them.
    for (size_t at; (at = result.find(L"\r\n")) != std::wstring::npos;) result.erase(at, 1);
    return result;
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty()) return std::string();
    const int size = static_cast<int>(text.size());
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty()) return std::wstring();
    const int size = static_cast<int>(text.size());
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &out[0], n);
    return out;
}
