#include "app/WizardApp.h"
#include "pages/WelcomeDlg.h"
#include "framework/Language.h"
#include "log/CrashRecord.h"

CWizardApp theApp;

CWizardApp::CWizardApp() : CWinApp(nullptr) {}

BOOL CWizardApp::InitInstance()
{
    RecordCrashes(L"RomUpgradeWizard", nullptr);
    Enable3dControlsStatic();
    ChooseLanguage(::GetCommandLineW());
    CWelcomeDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_watch.reset();
    // The run is over once the welcome page's loop returns: no message loop of our own.
    return FALSE;
}

PlugMemory::Look CWizardApp::TakePlug(const std::string& devicePath, DWORD* error)
{
    if (!m_watch) m_watch = std::make_unique<DeviceWatch>(m_plugs);
    // An unplug the watch did not hear (it was not listening yet) is found by the looks.
    m_plugs.LookAtHandhelds();
    return m_plugs.Present(FromUtf8(devicePath), nullptr, error);
}
