// StartProcess: CreateProcessW for the tools that start programs (the robot, the emulated
// handheld's and dccman's launchers), tried again when a failure looks passing.
//
// Under Wine on a loaded machine a new process now and then dies while it is still being set
// up, and CreateProcess fails with ERROR_INTERNAL_ERROR; the very same call works a moment
// later. A missing or unusable file fails at once: that is never worth another try.
#pragma once
#include <windows.h>
#include <cstdio>
#include <string>

namespace launch {

inline bool IsPassingFailure(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_INVALID_PARAMETER:
    case ERROR_DIRECTORY:
    case ERROR_FILENAME_EXCED_RANGE: return false;
    default: return true;
    }
}

// Starts exe with the command line given (which must not be empty). On failure returns false
// with GetLastError() as CreateProcess left it at the last try.
inline bool StartProcess(const std::wstring& exe, const std::wstring& commandLine, BOOL inheritHandles, DWORD flags,
                         STARTUPINFOW& si, PROCESS_INFORMATION& pi, int tries = 5)
{
    for (int attempt = 1;; ++attempt) {
        std::wstring line = commandLine;  // CreateProcessW may write into its command line
        if (::CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, inheritHandles, flags, nullptr, nullptr, &si,
                             &pi))
            return true;
        const DWORD error = ::GetLastError();
        if (attempt >= tries || !IsPassingFailure(error)) {
            ::SetLastError(error);
            return false;
        }
        std::fprintf(stderr, "launch: starting %ls failed (error %lu), trying again\n", exe.c_str(), error);
        ::Sleep(250 * attempt);
    }
}

}  // namespace launch
