#include "tools/dccman/DccMan.h"
#include <shellapi.h>
#include <cwchar>
#include <fstream>
#include "tools/robot/Robot.h"
#include "tools/launch/StartProcess.h"

namespace {

std::wstring Quote(const std::wstring& arg) { return L"\"" + arg + L"\""; }

std::wstring ProgramDirectory()
{
    wchar_t path[MAX_PATH] = L"";
    DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    size_t slash = dir.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : dir.substr(0, slash + 1);
}

std::string Narrow(const std::wstring& text)
{
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace

std::wstring DccManPath()
{
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    std::wstring path;
    for (int i = 1; argv && i < argc; ++i)
        if (std::wcsncmp(argv[i], L"--dccman=", 9) == 0) path = argv[i] + 9;
    ::LocalFree(argv);
    if (path.empty()) path = ProgramDirectory() + L"dccman.exe";
    return robot::ToWindowsPath(path);
}

bool DccMan::Start(const std::wstring& className, const std::wstring& title, std::wstring* error)
{
    std::wstring dummy;
    if (!error) error = &dummy;
    Stop();
    static int s_count = 0;
    wchar_t temp[MAX_PATH] = L"";
    ::GetTempPathW(MAX_PATH, temp);
    m_readyFile = std::wstring(temp) + L"dccman-ready-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                  std::to_wstring(++s_count) + L".txt";
    ::DeleteFileW(m_readyFile.c_str());

    std::wstring exe = DccManPath();
    // The time limit is a last resort only: the test closes the window itself.
    std::wstring cmd = Quote(exe) + L" --class " + Quote(className) + L" --title " + Quote(title) + L" --ready-file " +
                       Quote(m_readyFile) + L" --time-limit 300";
    STARTUPINFOW si{sizeof si};
    if (!launch::StartProcess(exe, cmd, FALSE, 0, si, m_pi)) {
        *error = L"cannot start " + exe + L" (error " + std::to_wstring(::GetLastError()) + L")";
        m_pi = PROCESS_INFORMATION{};
        return false;
    }
    // The ready file appears, whole, once the window exists: "<process id> <window handle>".
    bool ready = robot::WaitUntil(
        [&] {
            if (!Running()) return true;
            std::ifstream in(Narrow(m_readyFile));
            unsigned long pid = 0;
            unsigned long long wnd = 0;
            if (!(in >> pid >> wnd)) return false;
            m_window = reinterpret_cast<HWND>(static_cast<UINT_PTR>(wnd));
            return true;
        },
        10000);
    if (!ready || !m_window || !::IsWindow(m_window)) {
        DWORD code = 0;
        ::GetExitCodeProcess(m_pi.hProcess, &code);
        *error = L"dccman.exe made no window (running: " + std::wstring(Running() ? L"yes" : L"no") + L", exit code " +
                 std::to_wstring(code) + L")";
        Stop();
        return false;
    }
    return true;
}

bool DccMan::Running() const { return m_pi.hProcess && ::WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT; }

void DccMan::Stop()
{
    if (m_pi.hProcess) {
        if (Running() && m_window) ::PostMessageW(m_window, WM_CLOSE, 0, 0);
        if (::WaitForSingleObject(m_pi.hProcess, 5000) != WAIT_OBJECT_0) {
            ::TerminateProcess(m_pi.hProcess, 99);
            ::WaitForSingleObject(m_pi.hProcess, 5000);
        }
        ::CloseHandle(m_pi.hThread);
        ::CloseHandle(m_pi.hProcess);
        m_pi = PROCESS_INFORMATION{};
    }
    m_window = nullptr;
    if (!m_readyFile.empty()) {
        ::DeleteFileW(m_readyFile.c_str());
        m_readyFile.clear();
    }
}
