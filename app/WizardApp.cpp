#include "app/WizardApp.h"
#include "pages/WelcomeDlg.h"
#include "framework/Language.h"

CWizardApp theApp;

CWizardApp::CWizardApp() : CWinApp(nullptr) {}

BOOL CWizardApp::InitInstance()
{
    Enable3dControlsStatic();
    ChooseLanguage(::GetCommandLineW());
    CWelcomeDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    // The run is over once the welcome page's loop returns: no message loop of our own.
    return FALSE;
}
