#include "flasher/Console.h"

#include "log/UpgradeLog.h"

bool IsConsole(DWORD which)
{
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

void Write(DWORD which, const std::wstring& text)
{
    const HANDLE out = ::GetStdHandle(which);
    if (!out || out == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD done = 0;
    if (IsConsole(which)) {
        ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    } else {
        const std::string bytes = ToUtf8(text);
        ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    }
}

namespace {

// Where Say writes: standard output, unless --json keeps that for JSON alone.
DWORD g_sayTo = STD_OUTPUT_HANDLE;

}  // namespace

void SayOnStandardError() { g_sayTo = STD_ERROR_HANDLE; }

void Say(const std::wstring& line) { Write(g_sayTo, line + L"\r\n"); }

void Complain(const std::wstring& line) { Write(STD_ERROR_HANDLE, L"romflash: " + line + L"\r\n"); }

std::wstring WindowsError(DWORD error)
{
    if (error == 0) return std::wstring();
    std::wstring text = L" (Windows error " + std::to_wstring(error);
    wchar_t message[256];
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, message,
                               256, nullptr);
    while (n > 0 &&
           (message[n - 1] == L'\r' || message[n - 1] == L'\n' || message[n - 1] == L' ' || message[n - 1] == L'.'))
        --n;
    if (n > 0) text += L": " + std::wstring(message, n);
    return text + L")";
}

std::wstring BlockName(int block, int writes)
{
    const int n = block + 1;
    const wchar_t* suffix = L"th";
    if (n % 100 < 11 || n % 100 > 13) {
        if (n % 10 == 1) suffix = L"st";
        if (n % 10 == 2) suffix = L"nd";
        if (n % 10 == 3) suffix = L"rd";
    }
    return L"block " + std::to_wstring(block) + L" (the " + std::to_wstring(n) + suffix + L" of " +
           std::to_wstring(writes) + L")";
}

StatusLine::StatusLine() : m_console(IsConsole(STD_ERROR_HANDLE)), m_last(::GetTickCount()) {}

bool StatusLine::Due() const
{
    const DWORD since = ::GetTickCount() - m_last;
    return m_console ? !m_drawn || since >= 100 : since >= 5000;
}

void StatusLine::Show(const std::wstring& text, bool now)
{
    const DWORD tick = ::GetTickCount();
    if (m_console) {
        if (text == m_shown || (!now && !Due())) return;
        // Blanks over the rest of a longer line drawn before.
        const size_t pad = m_shown.size() > text.size() ? m_shown.size() - text.size() : 0;
        Write(STD_ERROR_HANDLE, L"\r" + text + std::wstring(pad, L' '));
        m_drawn = true;
    } else {
        if (!now && !Due()) return;
        Write(STD_ERROR_HANDLE, text + L"\r\n");
    }
    m_shown = text;
    m_last = tick;
}

void StatusLine::Clear()
{
    if (!m_console || !m_drawn) return;
    Write(STD_ERROR_HANDLE, L"\r" + std::wstring(m_shown.size(), L' ') + L"\r");
    m_drawn = false;
    m_shown.clear();
}

void StatusLine::End()
{
    if (!m_console || !m_drawn) return;
    Write(STD_ERROR_HANDLE, L"\r\n");
    m_drawn = false;
    m_shown.clear();
}

void LineReporter::Release()
{
    m_holding = false;
    for (const std::wstring& line : m_held) Complain(line);
    m_held.clear();
}

void LineReporter::Drop()
{
    m_holding = false;
    m_held.clear();
}

void LineReporter::ReportError(const CString& text, DWORD error)
{
    const std::wstring line = m_context + text.str() + WindowsError(error);
    if (m_holding)
        m_held.push_back(line);
    else
        Complain(line);
}
