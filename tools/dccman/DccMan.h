// Starts and ends dccman.exe, the stand-in for ActiveSync's connection manager window, from a
// test. The window lives as long as the object: the destructor closes it, so a failed test
// leaves no ActiveSync window behind for the next one.
#pragma once
#include <windows.h>
#include <string>

constexpr wchar_t kDccManClass[] = L"DccMan Class";
constexpr wchar_t kDccManTitle[] = L"DccMan";

// Windows path of dccman.exe: --dccman=PATH on the command line, else beside the test program.
std::wstring DccManPath();

class DccMan {
public:
    DccMan() = default;
    ~DccMan() { Stop(); }
    DccMan(const DccMan&) = delete;
    DccMan& operator=(const DccMan&) = delete;

    // Starts dccman.exe with a window of this class and title; returns once the window exists.
    // On failure `error` says why.
    bool Start(const std::wstring& className = kDccManClass, const std::wstring& title = kDccManTitle,
               std::wstring* error = nullptr);
    // Closes the window (WM_CLOSE), or ends the process if it does not go within a few seconds.
    void Stop();

    bool Running() const;

private:
    PROCESS_INFORMATION m_pi{};
    HWND m_window = nullptr;
    std::wstring m_readyFile;
};
