// The entry point of the suites that drive the shipped programs (library testmain):
//
//   <suite> --wizard=PATH-TO-RomUpgradeWizard.exe [--flasher=PATH-TO-romflash.exe] [gtest options]
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/TestSupport.h"

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::wstring wizard, flasher;
    for (int i = 1; i < argc; ++i) {
        if (const wchar_t* path = OptionValue(argv[i], L"--wizard=")) wizard = path;
        if (const wchar_t* path = OptionValue(argv[i], L"--flasher=")) flasher = path;
    }
    if (wizard.empty()) {
        std::fprintf(stderr, "usage: %ls --wizard=PATH-TO-RomUpgradeWizard.exe [gtest options]\n", argv[0]);
        return 2;
    }
    SetProgramPaths(wizard, flasher);
    return RUN_ALL_TESTS();
}
