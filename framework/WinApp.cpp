#include "WinApp.h"
#include <commctrl.h>

namespace {
CWinApp* g_app = nullptr;  // the one application object, registered by its constructor
}

CWinApp::CWinApp(const wchar_t*) : m_hInstance(::GetModuleHandleW(nullptr)) { g_app = this; }

CWinApp::~CWinApp()
{
    if (g_app == this) g_app = nullptr;
}

HICON CWinApp::LoadIcon(UINT nIDResource) const
{
    return ::LoadIconW(m_hInstance, MAKEINTRESOURCEW(nIDResource));
}

CWinApp* AfxGetApp() { return g_app; }

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // DLLs loaded from here on come from the system directory only, never from the current
    // directory or the folder the image file was picked from.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    ::SetDllDirectoryW(L"");
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&icc);
    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    app->InitInstance();
    return 0;
}
