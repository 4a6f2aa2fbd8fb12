// What romflash says: results on standard output, progress and failures on standard error.
// A console takes the text as it is; a file or a pipe gets UTF-8.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "device/USBUpdate.h"

bool IsConsole(DWORD which);
void Write(DWORD which, const std::wstring& text);
// A line on standard output (on standard error once SayOnStandardError was called, at the
// start of a --json run).
void Say(const std::wstring& line);
void SayOnStandardError();
// "romflash: " and a line on standard error.
void Complain(const std::wstring& line);
// " (Windows error N: what Windows calls it)", or nothing for no error.
std::wstring WindowsError(DWORD error);
// "block K (the Nth of M)": blocks count from 0, as the handheld and the log count them.
std::wstring BlockName(int block, int writes);

// One line of progress on standard error: on a console redrawn in place (at most ten times a
// second, and only when it changed), anywhere else a plain line every five seconds. Lines
// said meanwhile (Say, Complain) go through Clear first.
class StatusLine {
public:
    StatusLine();
    // Whether a line shown now would be drawn: a cheap look before the text is made.
    bool Due() const;
    // `now`: draw it whatever the pace (a last state).
    void Show(const std::wstring& text, bool now = false);
    // Takes the line off a console, so that another line can be written.
    void Clear();
    // Ends the line a console was drawing on; it stays as it was last drawn.
    void End();

private:
    bool m_console;
    bool m_drawn = false;
    DWORD m_last = 0;
    std::wstring m_shown;
};

// The engine's errors, each as one line on standard error, after what was being done. While
// held, the lines wait until the caller knows whether to say them (Release) or not (Drop).
class LineReporter : public LinkReporter {
public:
    void SetContext(std::wstring context) { m_context = std::move(context); }
    void Hold() { m_holding = true; }
    void Release();
    void Drop();
    void ReportError(const CString& text, DWORD error) override;

private:
    std::wstring m_context;
    bool m_holding = false;
    std::vector<std::wstring> m_held;
};
