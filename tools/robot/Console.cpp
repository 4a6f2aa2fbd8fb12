#include "tools/robot/Console.h"
#include <psapi.h>
#include <algorithm>

#include "framework/Handles.h"
#include "tools/robot/Robot.h"
#include "tools/launch/StartProcess.h"

namespace robot {

namespace {

std::wstring TempName(const wchar_t* prefix)
{
    wchar_t dir[MAX_PATH], name[MAX_PATH];
    ::GetTempPathW(MAX_PATH, dir);
    ::GetTempFileNameW(dir, prefix, 0, name);
    return name;
}

UniqueHandle Inheritable(const std::wstring& path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return UniqueHandle(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                                      disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::string ReadAll(const std::wstring& path)
{
    std::string all;
    UniqueHandle f(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char buffer[4096];
    DWORD n = 0;
    while (f && ::ReadFile(f.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) all.append(buffer, n);
    return all;
}

}  // namespace

ConsoleProgram::~ConsoleProgram()
{
    Stop();
    if (!m_outPath.empty()) ::DeleteFileW(m_outPath.c_str());
    if (!m_errPath.empty()) ::DeleteFileW(m_errPath.c_str());
}

std::string ConsoleProgram::ErrorSoFar() const { return ReadAll(m_errPath); }
std::string ConsoleProgram::OutputSoFar() const { return ReadAll(m_outPath); }

bool ConsoleProgram::Start(const std::wstring& exePath, const std::wstring& arguments)
{
    const std::wstring exe = ToWindowsPath(exePath);
    m_outPath = TempName(L"out");
    m_errPath = TempName(L"err");
    UniqueHandle in = Inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    UniqueHandle out = Inheritable(m_outPath, GENERIC_WRITE, CREATE_ALWAYS);
    UniqueHandle err = Inheritable(m_errPath, GENERIC_WRITE, CREATE_ALWAYS);
    if (!in || !out || !err) return false;
    STARTUPINFOW si{sizeof si};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.get();
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    m_start = ::GetTickCount();
    if (!launch::StartProcess(exe, L"\"" + exe + L"\" " + arguments, TRUE, CREATE_NO_WINDOW, si, m_pi)) {
        std::fprintf(stderr, "robot: cannot start %ls (error %lu)\n", exe.c_str(), ::GetLastError());
        m_pi = PROCESS_INFORMATION{};
        return false;
    }
    return true;
}

bool ConsoleProgram::PressCtrlC()
{
    if (!m_pi.hProcess) return false;
    ::FreeConsole();
    if (!::AttachConsole(m_pi.dwProcessId)) return false;
    // The event goes to every process of the console, this one included.
    ::SetConsoleCtrlHandler(nullptr, TRUE);
    m_ignoringCtrlC = true;
    const BOOL sent = ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    ::FreeConsole();
    return sent != FALSE;
}

ConsoleResult ConsoleProgram::Wait(DWORD timeoutMs)
{
    ConsoleResult r;
    if (!m_pi.hProcess) return r;
    // Its peak memory, when watched, is read while it runs, ten times a second: Wine keeps no
    // counters for a program that has ended.
    const DWORD waitStart = ::GetTickCount();
    const DWORD step = m_watchMemory ? 100 : INFINITE;
    for (;;) {
        PROCESS_MEMORY_COUNTERS pmc{sizeof pmc};
        if (m_watchMemory && ::GetProcessMemoryInfo(m_pi.hProcess, &pmc, sizeof pmc))
            r.peakWorkingSet = std::max(r.peakWorkingSet, pmc.PeakWorkingSetSize);
        const DWORD waited = ::GetTickCount() - waitStart;
        if (waited >= timeoutMs) break;
        if (::WaitForSingleObject(m_pi.hProcess, std::min(step, timeoutMs - waited)) == WAIT_OBJECT_0) {
            r.ended = true;
            break;
        }
    }
    r.elapsedMs = ::GetTickCount() - m_start;
    if (r.ended) ::GetExitCodeProcess(m_pi.hProcess, &r.exitCode);
    Stop();
    r.out = ReadAll(m_outPath);
    r.err = ReadAll(m_errPath);
    return r;
}

void ConsoleProgram::Stop()
{
    if (m_pi.hProcess) {
        if (::WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(m_pi.hProcess, 1);
            ::WaitForSingleObject(m_pi.hProcess, 5000);
        }
        ::CloseHandle(m_pi.hProcess);
        ::CloseHandle(m_pi.hThread);
        m_pi = PROCESS_INFORMATION{};
    }
    if (m_ignoringCtrlC) {
        ::SetConsoleCtrlHandler(nullptr, FALSE);
        m_ignoringCtrlC = false;
    }
}

ConsoleResult RunConsole(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs)
{
    ConsoleProgram program;
    if (!program.Start(exe, arguments)) return ConsoleResult{};
    return program.Wait(timeoutMs);
}

}  // namespace robot
