// A DLL left beside the wizard under the name of a system DLL (built as comctl32.dll,
// comdlg32.dll and setupapi.dll). It does nothing but leave a mark when a process loads it:
// a file "<its own path>.loaded" naming that process.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 8], process[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    lstrcatW(path, L".loaded");
    DWORD processLength = ::GetModuleFileNameW(nullptr, process, MAX_PATH);
    HANDLE mark = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(mark, process, processLength * sizeof(wchar_t), &written, nullptr);
        ::CloseHandle(mark);
    }
    return TRUE;
}
