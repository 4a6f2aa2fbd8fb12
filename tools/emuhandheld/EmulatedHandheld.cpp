#include "tools/emuhandheld/EmulatedHandheld.h"
#include <algorithm>

#include <vector>
#include "tools/launch/StartProcess.h"

namespace {

constexpr DWORD kPollMs = 10;

std::wstring TempPath()
{
    wchar_t dir[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, dir);
    return n > 0 && n <= MAX_PATH ? std::wstring(dir, n) : std::wstring(L".\\");
}

std::wstring ModuleDirectory()
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return L"";
        if (n < path.size()) {
            std::wstring p(path.data(), n);
            const size_t slash = p.find_last_of(L"\\/");
            return slash == std::wstring::npos ? L"" : p.substr(0, slash + 1);
        }
        path.resize(path.size() * 2);
    }
}

bool FileExists(const std::wstring& path)
{
    const DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

// An inheritable handle on NUL, for the child's standard input and output.
OwnedHandle OpenNul(DWORD access)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    return OwnedHandle(
        ::CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr));
}

}  // namespace

EmulatedHandheld::EmulatedHandheld()
{
    static LONG counter = 0;
    const std::wstring stem = TempPath() + L"emuhandheld-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(::InterlockedIncrement(&counter));
    m_reportPath = stem + L"-report.txt";
    m_readyPath = stem + L"-ready.txt";
}

EmulatedHandheld::~EmulatedHandheld()
{
    Stop();
    Cleanup();
}

void EmulatedHandheld::Cleanup()
{
    ::DeleteFileW(m_reportPath.c_str());
    ::DeleteFileW((m_reportPath + L".tmp").c_str());
    ::DeleteFileW(m_readyPath.c_str());
}

std::wstring EmulatedHandheld::FindExecutable() const
{
    wchar_t env[MAX_PATH + 1];
    const DWORD n = ::GetEnvironmentVariableW(L"EMUHANDHELD_EXE", env, MAX_PATH + 1);
    if (n > 0 && n <= MAX_PATH) return std::wstring(env, n);
    return ModuleDirectory() + L"emuhandheld.exe";
}

bool EmulatedHandheld::Start(const std::wstring& options, DWORD readyTimeoutMs)
{
    Stop();
    Cleanup();
    m_error.clear();

    const std::wstring exe = FindExecutable();
    if (!FileExists(exe)) {
        m_error = L"emuhandheld.exe not found at " + exe;
        return false;
    }
    std::wstring command =
        Quoted(exe) + L" " + options + L" --report " + Quoted(m_reportPath) + L" --ready-file " + Quoted(m_readyPath);

    // Its standard output (READY) goes to NUL; its complaints to our standard error.
    OwnedHandle nulIn = OpenNul(GENERIC_READ);
    OwnedHandle nulOut = OpenNul(GENERIC_WRITE);
    OwnedHandle errCopy;
    HANDLE ourErr = ::GetStdHandle(STD_ERROR_HANDLE);
    if (ourErr && ourErr != INVALID_HANDLE_VALUE) {
        HANDLE dup = nullptr;
        if (::DuplicateHandle(::GetCurrentProcess(), ourErr, ::GetCurrentProcess(), &dup, 0, TRUE,
                              DUPLICATE_SAME_ACCESS))
            errCopy.reset(dup);
    }
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nulIn.get();
    si.hStdOutput = nulOut.get();
    si.hStdError = errCopy ? errCopy.get() : nulOut.get();
    PROCESS_INFORMATION pi = {};
    if (!launch::StartProcess(exe, command, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED, si, pi)) {
        m_error = L"cannot start " + exe + L", error " + std::to_wstring(::GetLastError());
        return false;
    }
    m_process.reset(pi.hProcess);
    m_pid = pi.dwProcessId;
    // In a job that ends it when we end, however we end: a crashed test must not leave
    // the device plugged in for the next one.
    if (!m_job) {
        m_job.reset(::CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (m_job && !::SetInformationJobObject(m_job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
            m_job.reset();
    }
    if (m_job) ::AssignProcessToJobObject(m_job.get(), m_process.get());
    ::ResumeThread(pi.hThread);
    ::CloseHandle(pi.hThread);

    const ULONGLONG deadline = ::GetTickCount64() + readyTimeoutMs;
    for (;;) {
        if (FileExists(m_readyPath)) return true;
        if (!Running()) {
            m_error = L"emuhandheld ended before it was ready, exit code " + std::to_wstring(ExitCode()) +
                      L" (another one still present?)";
            return false;
        }
        if (::GetTickCount64() >= deadline) {
            ::TerminateProcess(m_process.get(), 1);
            ::WaitForSingleObject(m_process.get(), 5000);
            m_error = L"emuhandheld was not ready in time";
            return false;
        }
        ::Sleep(kPollMs);
    }
}

EmulatedHandheld::Report EmulatedHandheld::Stop(DWORD timeoutMs)
{
    if (Running()) {
        const std::wstring name = L"Local\\emuhandheld-stop-" + std::to_wstring(m_pid);
        OwnedHandle stop(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
        if (stop) ::SetEvent(stop.get());
        if (!WaitForExit(timeoutMs)) {
            ::TerminateProcess(m_process.get(), 1);
            ::WaitForSingleObject(m_process.get(), 5000);
        }
    }
    return ReadReport();
}

bool EmulatedHandheld::WaitForExit(DWORD timeoutMs)
{
    if (!m_process) return true;
    return ::WaitForSingleObject(m_process.get(), timeoutMs) == WAIT_OBJECT_0;
}

bool EmulatedHandheld::Running() const
{
    return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT;
}

DWORD EmulatedHandheld::ExitCode() const
{
    DWORD code = 0;
    if (!m_process || !::GetExitCodeProcess(m_process.get(), &code)) return 0;
    return code;
}

EmulatedHandheld::Report EmulatedHandheld::ReadReport() const { return ParseReport(m_reportPath); }

bool EmulatedHandheld::WaitForReport(const std::string& key, const std::string& value, DWORD timeoutMs,
                                     Report* last) const
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        Report r = ReadReport();
        auto it = r.find(key);
        const bool found = it != r.end() && it->second == value;
        if (last) *last = std::move(r);
        if (found) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(kPollMs);
    }
}

EmulatedHandheld::Report EmulatedHandheld::ParseReport(const std::wstring& path)
{
    Report report;
    // Shared every way, so that the emulator can replace the file while we read it.
    OwnedHandle f(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return report;
    std::string text;
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(f.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);

    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return report;
}

uint32_t WriteSampleImage(const std::wstring& path, uint64_t size, uint32_t seed, bool* ok)
{
    OwnedHandle f(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::vector<unsigned char> chunk(1 << 16);
    uint32_t state = 0x12345678u ^ seed, sum = 0;
    bool whole = f.valid();
    for (uint64_t done = 0; whole && done < size;) {
        const DWORD n = static_cast<DWORD>(std::min<uint64_t>(chunk.size(), size - done));
        for (DWORD i = 0; i < n; ++i) {
            state = state * 1664525u + 1013904223u;
            chunk[i] = static_cast<unsigned char>(state >> 24);
            sum += chunk[i];
        }
        DWORD written = 0;
        whole = ::WriteFile(f.get(), chunk.data(), n, &written, nullptr) && written == n;
        done += n;
    }
    if (ok) *ok = whole;
    return sum;
}
