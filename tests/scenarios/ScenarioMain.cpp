#include <gtest/gtest.h>
#include <cwchar>
#include "Scenario.h"

namespace {
std::wstring g_wizard;
std::wstring g_flasher;
}

const std::wstring& WizardPath() { return g_wizard; }
const std::wstring& FlasherPath() { return g_flasher; }

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::wcsncmp(argv[i], L"--wizard=", 9) == 0) g_wizard = argv[i] + 9;
        if (std::wcsncmp(argv[i], L"--flasher=", 10) == 0) g_flasher = argv[i] + 10;
    }
    if (g_wizard.empty()) {
        std::fprintf(stderr, "usage: %ls --wizard=PATH-TO-RomUpgradeWizard.exe [gtest options]\n", argv[0]);
        return 2;
    }
    return RUN_ALL_TESTS();
}
