#include "log/CrashRecord.h"

#include "log/UpgradeLog.h"

namespace {

// What the crash filter reads; written before any crash can want it.
struct CrashState {
    const wchar_t* program = L"";
    void (*say)(DWORD) = nullptr;
    wchar_t image[MAX_PATH + 1] = L"";
    bool destinationSet = false;
    LogDestination destination;
};
CrashState g_crash;

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info)
{
    const DWORD code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
    // Nothing in here may crash again; whatever fails, the process still ends.
    static LONG entered = 0;
    if (::InterlockedExchange(&entered, 1) == 0) {
        UpgradeOutcome outcome;
        ::GetSystemTimeAsFileTime(&outcome.ended);
        outcome.program = g_crash.program;
        outcome.image = g_crash.image;
        outcome.result = "failed";
        outcome.step = "program";
        outcome.reason = "crashed";
        outcome.error = code;
        if (g_crash.destinationSet)
            LogUpgrade(outcome, g_crash.destination);
        else
            LogUpgrade(outcome);
        if (g_crash.say) g_crash.say(code);
    }
    ::TerminateProcess(::GetCurrentProcess(), kExitCrashed);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void RecordCrashes(const wchar_t* program, void (*say)(DWORD code))
{
    g_crash.program = program;
    g_crash.say = say;
    ::SetErrorMode(::SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ::SetUnhandledExceptionFilter(&OnCrash);
}

void SetCrashLogDestination(const LogDestination& destination)
{
    g_crash.destination = destination;
    g_crash.destinationSet = true;
}

void SetCrashImage(const std::wstring& imagePath)
{
    const size_t n = imagePath.size() < MAX_PATH ? imagePath.size() : MAX_PATH;
    imagePath.copy(g_crash.image, n);
    g_crash.image[n] = L'\0';
}
