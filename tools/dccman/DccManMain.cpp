// dccman.exe: a test fixture that stands in for ActiveSync's connection manager. While it runs it
// owns one hidden top-level window, by default of class "DccMan Class" titled "DccMan", which is
// what the wizard looks for with FindWindow.
//
//   dccman.exe [--class NAME] [--title TEXT] [--ready-file FILE] [--time-limit SECONDS]
//
//   --class NAME          window class name (default "DccMan Class")
//   --title TEXT          window title (default "DccMan")
//   --ready-file FILE     deleted at start, written once the window exists; it holds the
//                         process id and the window handle in decimal, one line
//   --time-limit SECONDS  exit by itself after this long (default 120; fractions allowed)
//
// It ends on WM_CLOSE (exit code 0) or when the time limit runs out (exit code 3). Bad options
// give exit code 2, a failure to create the window or the ready file exit code 1.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

constexpr UINT_PTR kTimeLimitTimer = 1;
constexpr int kExitClosed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimeLimit = 3;

struct Options {
    std::wstring className = L"DccMan Class";
    std::wstring title = L"DccMan";
    std::wstring readyFile;
    double timeLimitSeconds = 120.0;
};

int g_exitCode = kExitClosed;

bool ParseSeconds(const wchar_t* text, double* seconds)
{
    wchar_t* end = nullptr;
    double value = std::wcstod(text, &end);
    if (end == text || *end != L'\0' || !(value > 0.0) || value > 86400.0 * 24) return false;
    *seconds = value;
    return true;
}

bool ParseOptions(Options* options)
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) return false;
    bool ok = true;
    for (int i = 1; i < argc && ok; ++i) {
        std::wstring name = argv[i];
        if (i + 1 >= argc) {
            ok = false;
            break;
        }
        const wchar_t* value = argv[++i];
        if (name == L"--class") {
            options->className = value;
            ok = !options->className.empty();
        } else if (name == L"--title") {
            options->title = value;
        } else if (name == L"--ready-file") {
            options->readyFile = value;
            ok = !options->readyFile.empty();
        } else if (name == L"--time-limit") {
            ok = ParseSeconds(value, &options->timeLimitSeconds);
        } else {
            ok = false;
        }
    }
    LocalFree(argv);
    return ok;
}

// Writes the ready file under a temporary name first, then renames it, so that whoever polls
// for the file never sees it half written.
bool WriteReadyFile(const std::wstring& path, HWND window)
{
    std::wstring temporary = path + L".tmp";
    HANDLE file =
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string line =
        std::to_string(GetCurrentProcessId()) + " " + std::to_string(reinterpret_cast<UINT_PTR>(window)) + "\r\n";
    DWORD written = 0;
    BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != line.size()) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_TIMER:
        if (wParam == kTimeLimitTimer) {
            KillTimer(window, kTimeLimitTimer);
            g_exitCode = kExitTimeLimit;
            DestroyWindow(window);
            return 0;
        }
        break;
    case WM_CLOSE: DestroyWindow(window); return 0;
    case WM_DESTROY: PostQuitMessage(g_exitCode); return 0;
    default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    Options options;
    if (!ParseOptions(&options)) return kExitUsage;
    if (!options.readyFile.empty()) DeleteFileW(options.readyFile.c_str());

    WNDCLASSEXW windowClass = {sizeof windowClass};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = options.className.c_str();
    if (!RegisterClassExW(&windowClass)) return kExitFailed;

    // A top-level window that is never shown: FindWindow sees it, the screen does not.
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, options.className.c_str(), options.title.c_str(),
                                  WS_OVERLAPPEDWINDOW, 0, 0, 160, 60, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return kExitFailed;

    double milliseconds = options.timeLimitSeconds * 1000.0;
    UINT delay = milliseconds < 1.0 ? 1u : static_cast<UINT>(milliseconds);
    if (!SetTimer(window, kTimeLimitTimer, delay, nullptr)) {
        DestroyWindow(window);
        return kExitFailed;
    }

    if (!options.readyFile.empty() && !WriteReadyFile(options.readyFile, window)) {
        DestroyWindow(window);
        return kExitFailed;
    }

    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) return kExitFailed;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
