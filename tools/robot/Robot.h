// The GUI robot: drives the shipped wizard from another process in the same Wine prefix, as
// a user would. It finds the visible page by the page's own controls (all pages share one
// caption), presses buttons, Escape and the close box, checks radio buttons, answers message
// boxes and the file dialog, and takes screenshots. Every wait polls with a time limit.
#pragma once
#include <windows.h>
#include <string>
#include <utility>
#include <vector>

namespace robot {

enum class Page { None, Welcome, License, Reset, Select, CheckUSB, Image, Progress, End, NotReady, Warning };
const char* PageName(Page page);

constexpr wchar_t kPageCaption[] = L"ROM Upgrade Wizard - R/D v 0.1";

// Polls `done` every few milliseconds until it holds or `timeoutMs` has passed.
template <class Pred>
bool WaitUntil(Pred done, DWORD timeoutMs)
{
    DWORD start = ::GetTickCount();
    for (;;) {
        if (done()) return true;
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(10);
    }
}

// Windows path of a program named by a Unix path (as CTest passes it) or a Windows one.
std::wstring ToWindowsPath(const std::wstring& path);

class Wizard {
public:
    Wizard() = default;
    ~Wizard();  // ends a wizard still running, so one failed scenario does not disturb the next
    Wizard(const Wizard&) = delete;
    Wizard& operator=(const Wizard&) = delete;

    // Starts the program (with `arguments` on its command line) and waits for its first
    // visible page.
    bool Start(const std::wstring& exePath, DWORD timeoutMs = 15000, const std::wstring& arguments = L"");

    // The page the user sees: the one visible page window of the process (None if none or several).
    Page VisiblePage() const;
    HWND PageWindow() const;  // of the visible page
    bool WaitForPage(Page page, DWORD timeoutMs = 10000) const;
    // Page windows of the process, hidden ones included.
    int PageWindowCount() const;
    std::vector<HWND> PageWindows() const;
    // Every window of the process, children included: the USER objects a user could see.
    int WindowCount() const;
    // A page window of this kind, hidden or not (the first found), or nullptr.
    HWND FindPage(Page page) const;
    // A control of any page window (hidden pages included), for reading state the user saw.
    static std::wstring TextOf(HWND wnd);

    // Presses a button of the visible page: checks it is visible and enabled, then posts its click.
    // None of these reach a page that is disabled (a dialog it owns is up), as for a user.
    bool Press(int controlId) const;
    bool PressEscape() const;    // the Escape key on the visible page
    bool PressEnter() const;     // the Enter key on the visible page
    bool PressCloseBox() const;  // the caption's close box (SC_CLOSE)
    // A key stroke to whatever has the focus in `window` (a page, a box, the file dialog), as
    // the keyboard sends it; false when the window is not there or does not take input.
    static bool PressKeyIn(HWND window, UINT key);
    // The control of `window` that has the focus, or nullptr.
    static HWND FocusIn(HWND window);
    bool ClickRadio(int controlId) const;
    bool IsChecked(int controlId) const;
    HWND Control(int controlId) const;

    // Message boxes of the process (caption "Error", or with `pageCaption` the wizard's own
    // caption, as the progress page's question has): wait, read, press OK (or `button`).
    // In a run of another language, the error boxes' caption is that language's.
    void SetErrorCaption(std::wstring caption) { m_errorCaption = std::move(caption); }
    HWND FindMessageBox(bool pageCaption = false) const;
    bool WaitForMessageBox(std::wstring* text, DWORD timeoutMs = 10000, bool pageCaption = false) const;
    // Presses the button; true once the box is gone.
    bool AnswerMessageBox(DWORD timeoutMs = 10000, bool pageCaption = false, int button = IDOK) const;
    // A box of any caption that `owner` (a page) owns, once one is up; nullptr when none came.
    HWND BoxOwnedBy(HWND owner, DWORD timeoutMs = 10000) const;

    // The common file-open dialog: types `path` into its file name box and presses Open;
    // with an empty path it presses Cancel. `byKeys`: Enter instead of a click on Open.
    bool ChooseFile(const std::wstring& path, DWORD timeoutMs = 10000, bool byKeys = false) const;
    bool WaitForFileDialog(DWORD timeoutMs = 10000) const;
    // What the file dialog shows, once it is up: its title, the file type chosen and the
    // folder it looks in (as its "Look in" box names it).
    struct FileDialogView {
        std::wstring title, fileType, folder;
    };
    bool ReadFileDialog(FileDialogView* view, DWORD timeoutMs = 10000) const;

    bool Running() const;
    // Waits for the program to end; stores its full exit code.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode = nullptr) const;
    // The same for a run that unwinds a stack of pages: waits as long as pages keep closing,
    // and gives up only when none has closed for `quietMs`. A long run ends at the machine's
    // pace, not at one fixed time.
    bool WaitForUnwind(DWORD quietMs, DWORD* exitCode = nullptr) const;
    void Kill();
    DWORD ProcessId() const { return m_pi.dwProcessId; }
    HANDLE Process() const { return m_pi.hProcess; }

    // True when `wnd`'s thread answers a message within the time: the window is alive.
    static bool Answers(HWND wnd, DWORD timeoutMs = 1000);

private:
    bool PressKey(UINT key) const;
    std::vector<HWND> TopWindows(const wchar_t* className, const wchar_t* caption) const;
    PROCESS_INFORMATION m_pi{};
    std::wstring m_errorCaption = L"Error";
};

// What a screen reader hears of a page, in its order: the name of each of its children's
// accessible objects (through oleacc, from this process, as an assistive tool asks), but for
// those that are not shown, which a screen reader passes over.
std::vector<std::wstring> HeardTexts(HWND page);

// The windows below `wnd`, at every depth.
int CountChildWindows(HWND wnd);

// Waits until `wnd` and its children have painted (no pending update region).
bool WaitPainted(HWND wnd, DWORD timeoutMs = 5000);

// A screenshot of the whole screen, as the user sees it.
struct Screenshot {
    int width = 0, height = 0;
    std::vector<DWORD> pixels;        // 0x00RRGGBB, top-down
    COLORREF At(int x, int y) const;  // RGB() order, as GDI gives colours
    bool Capture();
    bool SaveBmp(const std::wstring& path) const;
};

}  // namespace robot
