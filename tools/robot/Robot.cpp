#include "tools/robot/Robot.h"
#include <oleacc.h>
#include <cstdio>
#include <cwchar>
#include "tools/launch/StartProcess.h"
#include "res/resource.h"

namespace robot {

namespace {

constexpr wchar_t kDialogClass[] = L"#32770";
// The explorer-style file dialog's file name box (a combo box), and the older edit box.
constexpr int kFileNameCombo = 0x47c;
constexpr int kFileNameEdit = 0x480;

std::wstring WindowText(HWND wnd)
{
    wchar_t buf[1024] = L"";
    // WM_GETTEXT works across processes where GetWindowText does not for other processes' controls.
    ::SendMessageTimeoutW(wnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 5000, nullptr);
    return buf;
}

std::wstring ClassOf(HWND wnd)
{
    wchar_t buf[256] = L"";
    ::GetClassNameW(wnd, buf, 256);
    return buf;
}

Page Classify(HWND page)
{
    auto has = [page](int id) { return ::GetDlgItem(page, id) != nullptr; };
    if (has(IDC_LICENSE_TEXT)) return Page::License;
    if (has(IDC_RESET_BACK)) return Page::Reset;
    if (has(IDC_SELECT_BACK)) return Page::Select;
    if (has(IDC_IMAGE_FILE)) return Page::Image;
    if (has(IDC_PROGRESS)) return Page::Progress;
    // The pages' own lines, in any language.
    if (has(IDC_PAGE_LINE_BASE + IDS_END_1)) return Page::End;
    if (has(IDC_PAGE_LINE_BASE + IDS_USBNOTRDY_1)) return Page::NotReady;
    if (has(IDC_PAGE_LINE_BASE + IDS_WELCOME_1)) return Page::Welcome;
    if (has(IDC_PAGE_LINE_BASE + IDS_WARN_1)) return Page::Warning;
    if (HWND ok = ::GetDlgItem(page, IDOK)) {
        std::wstring label = WindowText(ok);
        if (label == L"Finish") return Page::End;
        if (label == L"Exit") return Page::NotReady;
        return Page::Welcome;
    }
    if (has(IDCANCEL)) return Page::Warning;
    return Page::CheckUSB;
}

struct EnumState {
    DWORD pid;
    const wchar_t* className;
    const wchar_t* caption;
    std::vector<HWND>* out;
};

BOOL CALLBACK CollectWindow(HWND wnd, LPARAM lParam)
{
    auto* state = reinterpret_cast<EnumState*>(lParam);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(wnd, &pid);
    if (pid != state->pid) return TRUE;
    if (state->className && ClassOf(wnd) != state->className) return TRUE;
    if (state->caption) {
        // The caption as the window manager keeps it: no message is sent, so a page that is
        // busy (the device check sleeps while it waits for the handheld) is found all the same.
        wchar_t caption[256] = L"";
        ::GetWindowTextW(wnd, caption, 256);
        if (std::wcscmp(caption, state->caption) != 0) return TRUE;
    }
    state->out->push_back(wnd);
    return TRUE;
}

}  // namespace

const char* PageName(Page page)
{
    switch (page) {
    case Page::None: return "none";
    case Page::Welcome: return "welcome";
    case Page::License: return "license";
    case Page::Reset: return "reset";
    case Page::Select: return "select";
    case Page::CheckUSB: return "checkusb";
    case Page::Image: return "image";
    case Page::Progress: return "progress";
    case Page::End: return "end";
    case Page::NotReady: return "notready";
    case Page::Warning: return "warning";
    }
    return "?";
}

std::wstring ToWindowsPath(const std::wstring& path)
{
    if (path.empty() || path[0] != L'/') return path;
    std::wstring win = L"Z:" + path;
    for (auto& c : win)
        if (c == L'/') c = L'\\';
    return win;
}

Wizard::~Wizard() { Kill(); }

bool Wizard::Start(const std::wstring& exePath, DWORD timeoutMs, const std::wstring& arguments)
{
    std::wstring exe = ToWindowsPath(exePath);
    STARTUPINFOW si{sizeof si};
    const std::wstring line = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    if (!launch::StartProcess(exe, line, FALSE, 0, si, m_pi)) {
        std::fprintf(stderr, "robot: cannot start %ls (error %lu)\n", exe.c_str(), ::GetLastError());
        return false;
    }
    return WaitUntil([&] { return VisiblePage() != Page::None; }, timeoutMs);
}

std::vector<HWND> Wizard::TopWindows(const wchar_t* className, const wchar_t* caption) const
{
    std::vector<HWND> found;
    if (!m_pi.hProcess) return found;
    EnumState state{m_pi.dwProcessId, className, caption, &found};
    ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&state));
    return found;
}

// A message box: its text is a static control with the id 0xFFFF, which no page has.
bool IsMessageBox(HWND wnd) { return ::GetDlgItem(wnd, 0xFFFF) != nullptr; }

std::vector<HWND> Wizard::PageWindows() const
{
    std::vector<HWND> pages;
    for (HWND wnd : TopWindows(kDialogClass, kPageCaption))
        if (!IsMessageBox(wnd)) pages.push_back(wnd);
    return pages;
}
int Wizard::PageWindowCount() const { return static_cast<int>(PageWindows().size()); }

int Wizard::WindowCount() const
{
    int count = 0;
    for (HWND top : TopWindows(nullptr, nullptr)) count += 1 + CountChildWindows(top);
    return count;
}

HWND Wizard::FindPage(Page page) const
{
    for (HWND wnd : PageWindows())
        if (Classify(wnd) == page) return wnd;
    return nullptr;
}

std::wstring Wizard::TextOf(HWND wnd) { return wnd ? WindowText(wnd) : std::wstring(); }

HWND Wizard::PageWindow() const
{
    // The hidden pages beneath are many in a long run: only the visible ones are looked into.
    HWND visible = nullptr;
    for (HWND wnd : TopWindows(kDialogClass, kPageCaption)) {
        if (!::IsWindowVisible(wnd) || IsMessageBox(wnd)) continue;
        if (visible) return nullptr;  // more than one: no single page the user sees
        visible = wnd;
    }
    return visible;
}

Page Wizard::VisiblePage() const
{
    HWND wnd = PageWindow();
    return wnd ? Classify(wnd) : Page::None;
}

bool Wizard::WaitForPage(Page page, DWORD timeoutMs) const
{
    return WaitUntil([&] { return VisiblePage() == page; }, timeoutMs);
}

HWND Wizard::Control(int controlId) const
{
    HWND page = PageWindow();
    return page ? ::GetDlgItem(page, controlId) : nullptr;
}

bool Wizard::Press(int controlId) const
{
    HWND page = PageWindow();
    if (!page || !::IsWindowEnabled(page)) return false;
    HWND button = ::GetDlgItem(page, controlId);
    // A posted command would pass a hidden or disabled button by: check first, as a user would see it.
    if (!button || !::IsWindowVisible(button) || !::IsWindowEnabled(button)) return false;
    return ::PostMessageW(page, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

bool Wizard::PressEscape() const { return PressKey(VK_ESCAPE); }
bool Wizard::PressEnter() const { return PressKey(VK_RETURN); }

bool Wizard::PressKey(UINT key) const { return PressKeyIn(PageWindow(), key); }

HWND Wizard::FocusIn(HWND window)
{
    GUITHREADINFO info{sizeof info};
    if (!window || !::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
    return info.hwndFocus && (info.hwndFocus == window || ::IsChild(window, info.hwndFocus)) ? info.hwndFocus
                                                                                               : nullptr;
}

bool Wizard::PressKeyIn(HWND window, UINT key)
{
    if (!window || !::IsWindowEnabled(window)) return false;
    HWND target = FocusIn(window);
    if (!target) target = window;
    const LPARAM scan = static_cast<LPARAM>(::MapVirtualKeyW(key, 0)) << 16;
    ::PostMessageW(target, WM_KEYDOWN, key, scan | 1);
    ::PostMessageW(target, WM_KEYUP, key, scan | 0xC0000001);
    return true;
}

bool Wizard::Answers(HWND wnd, DWORD timeoutMs)
{
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutW(wnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &result) != 0;
}

bool Wizard::PressCloseBox() const
{
    HWND page = PageWindow();
    return page && ::IsWindowEnabled(page) && ::PostMessageW(page, WM_SYSCOMMAND, SC_CLOSE, 0);
}

bool Wizard::ClickRadio(int controlId) const
{
    HWND page = PageWindow();
    HWND button = Control(controlId);
    if (!button || !::IsWindowEnabled(page) || !::IsWindowVisible(button) || !::IsWindowEnabled(button)) return false;
    DWORD_PTR result;
    return ::SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &result) != 0;
}

bool Wizard::IsChecked(int controlId) const
{
    HWND button = Control(controlId);
    DWORD_PTR state = 0;
    if (!button) return false;
    ::SendMessageTimeoutW(button, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
    return state == BST_CHECKED;
}

HWND Wizard::FindMessageBox(bool pageCaption) const
{
    for (HWND wnd : TopWindows(kDialogClass, pageCaption ? kPageCaption : m_errorCaption.c_str()))
        if (::IsWindowVisible(wnd) && IsMessageBox(wnd)) return wnd;
    return nullptr;
}

bool Wizard::WaitForMessageBox(std::wstring* text, DWORD timeoutMs, bool pageCaption) const
{
    HWND box = nullptr;
    if (!WaitUntil([&] { return (box = FindMessageBox(pageCaption)) != nullptr; }, timeoutMs)) return false;
    if (text) {
        // The message is the box's static text control (id 0xFFFF in message boxes).
        text->clear();
        WaitUntil(
            [&] {
                HWND label = ::GetDlgItem(box, 0xFFFF);
                if (label) *text = WindowText(label);
                return !text->empty();
            },
            2000);
    }
    return true;
}

bool Wizard::AnswerMessageBox(DWORD timeoutMs, bool pageCaption, int button) const
{
    HWND box = nullptr;
    if (!WaitUntil([&] { return (box = FindMessageBox(pageCaption)) != nullptr; }, timeoutMs)) return false;
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, button)));
    return WaitUntil([&] { return !::IsWindow(box) || !::IsWindowVisible(box); }, timeoutMs);
}

HWND Wizard::BoxOwnedBy(HWND owner, DWORD timeoutMs) const
{
    HWND box = nullptr;
    WaitUntil(
        [&] {
            for (HWND wnd : TopWindows(kDialogClass, nullptr))
                if (::IsWindowVisible(wnd) && ::GetWindow(wnd, GW_OWNER) == owner && IsMessageBox(wnd)) box = wnd;
            return box != nullptr;
        },
        timeoutMs);
    return box;
}

bool Wizard::WaitForFileDialog(DWORD timeoutMs) const
{
    return WaitUntil(
        [&] {
            for (HWND wnd : TopWindows(kDialogClass, nullptr))
                if (::IsWindowVisible(wnd) && (::GetDlgItem(wnd, kFileNameCombo) || ::GetDlgItem(wnd, kFileNameEdit)))
                    return true;
            return false;
        },
        timeoutMs);
}

namespace {

// The item a combo box of another process shows as chosen.
std::wstring ComboChoice(HWND combo)
{
    DWORD_PTR chosen = 0, length = 0;
    if (!combo || !::SendMessageTimeoutW(combo, CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, 5000, &chosen) ||
        static_cast<LRESULT>(chosen) == CB_ERR ||
        !::SendMessageTimeoutW(combo, CB_GETLBTEXTLEN, chosen, 0, SMTO_ABORTIFHUNG, 5000, &length) ||
        static_cast<LRESULT>(length) == CB_ERR)
        return std::wstring();
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    ::SendMessageTimeoutW(combo, CB_GETLBTEXT, chosen, reinterpret_cast<LPARAM>(&text[0]), SMTO_ABORTIFHUNG, 5000,
                          &copied);
    text.resize(static_cast<LRESULT>(copied) == CB_ERR ? 0 : copied);
    return text;
}

}  // namespace

bool Wizard::ReadFileDialog(FileDialogView* view, DWORD timeoutMs) const
{
    constexpr int kFileTypes = 0x470, kLookIn = 0x471;  // the explorer-style dialog's boxes
    HWND dialog = nullptr;
    if (!WaitUntil(
            [&] {
                for (HWND wnd : TopWindows(kDialogClass, nullptr))
                    if (::IsWindowVisible(wnd) && ::GetDlgItem(wnd, kFileTypes)) dialog = wnd;
                return dialog != nullptr;
            },
            timeoutMs))
        return false;
    view->title = WindowText(dialog);
    view->fileType = ComboChoice(::GetDlgItem(dialog, kFileTypes));
    view->folder = ComboChoice(::GetDlgItem(dialog, kLookIn));
    return true;
}

bool Wizard::ChooseFile(const std::wstring& path, DWORD timeoutMs, bool byKeys) const
{
    HWND dialog = nullptr;
    HWND name = nullptr;
    bool found = WaitUntil(
        [&] {
            for (HWND wnd : TopWindows(kDialogClass, nullptr)) {
                if (!::IsWindowVisible(wnd)) continue;
                name = ::GetDlgItem(wnd, kFileNameCombo);
                if (!name) name = ::GetDlgItem(wnd, kFileNameEdit);
                if (name) {
                    dialog = wnd;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    if (!found) return false;
    if (path.empty()) {
        ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else {
        DWORD_PTR result;
        ::SendMessageTimeoutW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_ABORTIFHUNG, 5000,
                              &result);
        if (byKeys)
            PressKeyIn(dialog, VK_RETURN);
        else
            ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDOK)));
    }
    return WaitUntil([&] { return !::IsWindow(dialog) || !::IsWindowVisible(dialog); }, timeoutMs);
}

bool Wizard::Running() const { return m_pi.hProcess && ::WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT; }

bool Wizard::WaitForExit(DWORD timeoutMs, DWORD* exitCode) const
{
    if (!m_pi.hProcess || ::WaitForSingleObject(m_pi.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
    if (exitCode) ::GetExitCodeProcess(m_pi.hProcess, exitCode);
    return true;
}

bool Wizard::WaitForUnwind(DWORD quietMs, DWORD* exitCode) const
{
    int pages = PageWindowCount();
    DWORD quietSince = ::GetTickCount();
    while (!WaitForExit(100, exitCode)) {
        const int now = PageWindowCount();
        if (now < pages) {
            pages = now;
            quietSince = ::GetTickCount();
        } else if (::GetTickCount() - quietSince >= quietMs) {
            return false;
        }
    }
    return true;
}

void Wizard::Kill()
{
    if (!m_pi.hProcess) return;
    if (Running()) {
        ::TerminateProcess(m_pi.hProcess, 99);
        ::WaitForSingleObject(m_pi.hProcess, 5000);
    }
    ::CloseHandle(m_pi.hThread);
    ::CloseHandle(m_pi.hProcess);
    m_pi = PROCESS_INFORMATION{};
}

int CountChildWindows(HWND wnd)
{
    int count = 0;
    ::EnumChildWindows(
        wnd,
        [](HWND, LPARAM n) CALLBACK -> BOOL {
            ++*reinterpret_cast<int*>(n);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&count));
    return count;
}

bool WaitPainted(HWND wnd, DWORD timeoutMs)
{
    return WaitUntil(
        [&] {
            DWORD_PTR result;
            // A round trip through the page's thread first: what it had queued is then handled.
            if (!::SendMessageTimeoutW(wnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result)) return false;
            if (::GetUpdateRect(wnd, nullptr, FALSE)) return false;
            for (HWND child = ::GetWindow(wnd, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
                if (::GetUpdateRect(child, nullptr, FALSE)) return false;
            return true;
        },
        timeoutMs);
}

COLORREF Screenshot::At(int x, int y) const
{
    if (x < 0 || y < 0 || x >= width || y >= height) return CLR_INVALID;
    DWORD p = pixels[static_cast<size_t>(y) * width + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

bool Screenshot::Capture()
{
    HDC screen = ::GetDC(nullptr);
    width = ::GetDeviceCaps(screen, HORZRES);
    height = ::GetDeviceCaps(screen, VERTRES);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = ::CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC memory = ::CreateCompatibleDC(screen);
    HGDIOBJ old = ::SelectObject(memory, dib);
    BOOL ok = ::BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    ::GdiFlush();
    pixels.assign(static_cast<const DWORD*>(bits),
                  static_cast<const DWORD*>(bits) + static_cast<size_t>(width) * height);
    ::SelectObject(memory, old);
    ::DeleteDC(memory);
    ::DeleteObject(dib);
    ::ReleaseDC(nullptr, screen);
    return ok != FALSE;
}

bool Screenshot::SaveBmp(const std::wstring& path) const
{
    // 24 bits per pixel: a 32-bit BMP would leave readers guessing whether the fourth byte is alpha.
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    std::vector<BYTE> rows(static_cast<size_t>(stride) * height, 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            DWORD p = pixels[static_cast<size_t>(y) * width + x];
            BYTE* out = &rows[static_cast<size_t>(y) * stride + x * 3];
            out[0] = p & 0xFF;
            out[1] = (p >> 8) & 0xFF;
            out[2] = (p >> 16) & 0xFF;
        }
    BITMAPFILEHEADER fh{};
    BITMAPINFOHEADER ih{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof ih;
    fh.bfSize = fh.bfOffBits + static_cast<DWORD>(rows.size());
    ih.biSize = sizeof ih;
    ih.biWidth = width;
    ih.biHeight = -height;  // top-down
    ih.biPlanes = 1;
    ih.biBitCount = 24;
    ih.biCompression = BI_RGB;
    ih.biSizeImage = static_cast<DWORD>(rows.size());
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    bool ok = std::fwrite(&fh, sizeof fh, 1, f) == 1 && std::fwrite(&ih, sizeof ih, 1, f) == 1 &&
              std::fwrite(rows.data(), 1, rows.size(), f) == rows.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace robot

namespace robot {

namespace {
// The interfaces' ids, spelled out: the x64 import library of oleacc gives IID_IAccessible's
// name to an import thunk, not to the id.
const IID kIAccessible = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const IID kIOleWindow = {0x00000114, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
}  // namespace

std::vector<std::wstring> HeardTexts(HWND page)
{
    std::vector<std::wstring> heard;
    const HRESULT com = ::CoInitialize(nullptr);
    IAccessible* client = nullptr;
    if (SUCCEEDED(::AccessibleObjectFromWindow(page, OBJID_CLIENT, kIAccessible, reinterpret_cast<void**>(&client)))) {
        long count = 0;
        client->get_accChildCount(&count);
        std::vector<VARIANT> children(static_cast<size_t>(count));
        long got = 0;
        if (count > 0 && SUCCEEDED(::AccessibleChildren(client, 0, count, children.data(), &got))) {
            for (long i = 0; i < got; ++i) {
                VARIANT& child = children[static_cast<size_t>(i)];
                // A child window: its own client object carries its name.
                HWND wnd = nullptr;
                IOleWindow* window = nullptr;
                if (child.vt == VT_DISPATCH && child.pdispVal &&
                    SUCCEEDED(child.pdispVal->QueryInterface(kIOleWindow, reinterpret_cast<void**>(&window)))) {
                    window->GetWindow(&wnd);
                    window->Release();
                }
                if (wnd && !::IsWindowVisible(wnd)) {
                    ::VariantClear(&child);
                    continue;
                }
                IAccessible* object = nullptr;
                BSTR name = nullptr;
                VARIANT self;
                self.vt = VT_I4;
                self.lVal = CHILDID_SELF;
                if (wnd && SUCCEEDED(::AccessibleObjectFromWindow(wnd, OBJID_CLIENT, kIAccessible,
                                                                  reinterpret_cast<void**>(&object)))) {
                    object->get_accName(self, &name);
                    object->Release();
                } else if (child.vt == VT_I4) {
                    client->get_accName(child, &name);
                }
                heard.push_back(name ? name : L"");
                if (name) ::SysFreeString(name);
                ::VariantClear(&child);
            }
        }
        client->Release();
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    return heard;
}

}  // namespace robot
