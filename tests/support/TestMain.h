// The entry point of the suites that drive the shipped programs (library testmain):
//
//   <suite> --wizard=PATH-TO-RomUpgradeWizard.exe [--flasher=PATH-TO-romflash.exe] [gtest options]
//
// A test program with an entry point of its own defines these two itself.
#pragma once
#include <string>

// Path of RomUpgradeWizard.exe, given as --wizard=PATH.
const std::wstring& WizardPath();
// Path of romflash.exe, given as --flasher=PATH (for the suites that run it).
const std::wstring& FlasherPath();
