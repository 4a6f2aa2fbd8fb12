// The application object: runs the welcome page as the main window; the whole run lives
// inside the nested modal loops of the pages.
#pragma once
#include <memory>
#include <string>

#include "device/DeviceWatch.h"
#include "device/PlugMemory.h"
#include "framework/WinApp.h"

class CWizardApp : public CWinApp {
public:
    CWizardApp();
    BOOL InitInstance() override;

    // Takes the handheld at devicePath (UTF-8) for this plug, PC-wide: Taken when another
    // program (romflash, or another wizard) took it in this plug, NotOurs when its name is
    // not ours (*error says why). A handheld taken stays spoken for until it is unplugged or
    // the wizard ends, so that no romflash line writes it again after this run.
    PlugMemory::Look TakePlug(const std::string& devicePath, DWORD* error);

private:
    PlugMemory m_plugs;
    std::unique_ptr<DeviceWatch> m_watch;  // hears the unplugs, from the first handheld taken
};

extern CWizardApp theApp;
