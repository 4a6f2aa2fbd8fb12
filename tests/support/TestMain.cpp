#include "tests/support/TestMain.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/TestSupport.h"

namespace {
std::wstring g_wizard;
std::wstring g_flasher;
}  // namespace

const std::wstring& WizardPath() { return g_wizard; }
const std::wstring& FlasherPath() { return g_flasher; }

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (const wchar_t* path = OptionValue(argv[i], L"--wizard=")) g_wizard = path;
        if (const wchar_t* path = OptionValue(argv[i], L"--flasher=")) g_flasher = path;
    }
    if (g_wizard.empty()) {
        std::fprintf(stderr, "usage: %ls --wizard=PATH-TO-RomUpgradeWizard.exe [gtest options]\n", argv[0]);
        return 2;
    }
    return RUN_ALL_TESTS();
}
