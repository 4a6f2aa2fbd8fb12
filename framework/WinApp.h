// The application object: one per program, constructed statically; the framework's entry
// point calls its InitInstance and ends the program when it returns.
#pragma once
#include <windows.h>

class CWnd;

class CWinApp {
public:
    explicit CWinApp(const wchar_t* appName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual BOOL InitInstance() { return FALSE; }

    HICON LoadIcon(UINT nIDResource) const;
    HINSTANCE m_hInstance;

    // The page that stands for the application; destroying it ends the run.
    CWnd* m_pMainWnd = nullptr;
};

CWinApp* AfxGetApp();

// Kept for the pages' start-up sequence; the look of the controls comes from the manifest.
inline void Enable3dControlsStatic() {}
