// The application object: runs the welcome page as the main window; the whole run lives
// inside the nested modal loops of the pages.
#pragma once
#include "framework/WinApp.h"

class CWizardApp : public CWinApp {
public:
    CWizardApp();
    BOOL InitInstance() override;
};

extern CWizardApp theApp;
