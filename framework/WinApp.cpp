#include "framework/WinApp.h"
#include <commctrl.h>
#include "framework/SystemLibrary.h"

namespace {
CWinApp* g_app = nullptr;  // the one application object, registered by its constructor
}

CWinApp::CWinApp(const wchar_t*) : m_hInstance(::GetModuleHandleW(nullptr)) { g_app = this; }

CWinApp::~CWinApp()
{
    if (g_app == this) g_app = nullptr;
}

HICON CWinApp::LoadIcon(UINT nIDResource) const { return ::LoadIconW(m_hInstance, MAKEINTRESOURCEW(nIDResource)); }

CWinApp* AfxGetApp() { return g_app; }

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // DLLs loaded from here on come from the system directory only, never from the current
    // directory, the program's folder or the folder the image file was picked from.
    RestrictDllSearch();
    // The common controls (the progress bar) stay loaded for the whole run.
    SystemLibrary commonControls(L"comctl32.dll");
    using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    if (auto init = commonControls.Function<InitFn>("InitCommonControlsEx")) {
        INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        init(&icc);
    }
    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    app->InitInstance();
    return 0;
}
