// Console programs run as a service bench's script runs them: with arguments, to an exit
// code, with standard output and error caught (in temporary files), and in a console of their
// own (without a window), so that a test can press Ctrl+C in it as a user at that console would.
//
//   robot::ConsoleResult r = robot::RunConsole(L"romflash.exe", L"--wait 1 image.bin");
//   EXPECT_EQ(r.exitCode, 1u);
//
// Under Wine, Ctrl+C reaches a program this way (attach to its console, then
// GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)); CTRL_BREAK_EVENT to a process group does not.
#pragma once
#include <windows.h>
#include <string>

namespace robot {

struct ConsoleResult {
    bool ended = false;  // false: it was still running at the time limit, and was ended
    DWORD exitCode = STILL_ACTIVE;
    std::string out, err;  // as written (UTF-8 from our programs), CR LF and all
    DWORD elapsedMs = 0;   // from the start to the end
    SIZE_T peakWorkingSet = 0;  // with WatchMemory: the most memory it had in use at once
};

class ConsoleProgram {
public:
    ConsoleProgram() = default;
    ~ConsoleProgram();  // ends it if still running and removes the files
    ConsoleProgram(const ConsoleProgram&) = delete;
    ConsoleProgram& operator=(const ConsoleProgram&) = delete;

    // exe: a Windows path, or a Unix one as CTest passes it.
    bool Start(const std::wstring& exe, const std::wstring& arguments);
    // Ctrl+C in its console. This process ignores Ctrl+C until the program has ended.
    bool PressCtrlC();
    // What it has written to standard error so far.
    std::string ErrorSoFar() const;
    std::string OutputSoFar() const;
    // It has ended by itself (Wait then returns at once).
    bool Ended() const { return m_pi.hProcess && ::WaitForSingleObject(m_pi.hProcess, 0) == WAIT_OBJECT_0; }
    // Waits for it to end (ending it at the time limit) and returns what it did.
    ConsoleResult Wait(DWORD timeoutMs = 60000);
    // Wait then also reads the program's peak working set (ten looks a second).
    void WatchMemory() { m_watchMemory = true; }
    DWORD ProcessId() const { return m_pi.dwProcessId; }

private:
    void Stop();

    PROCESS_INFORMATION m_pi{};
    std::wstring m_outPath, m_errPath;
    DWORD m_start = 0;
    bool m_ignoringCtrlC = false;
    bool m_watchMemory = false;
};

ConsoleResult RunConsole(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs = 60000);

}  // namespace robot
