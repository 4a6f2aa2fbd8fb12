// Shared ground of the scenario tests: the shipped program's path (from the command line)
// and a fixture that starts it with the robot and checks that every run ends cleanly.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include "tools/robot/Robot.h"
#include "tests/support/TestSupport.h"
#include "res/resource.h"

class WizardScenario : public ::testing::Test {
protected:
    void StartWizard(const std::wstring& path = WizardPath(), const std::wstring& arguments = L"")
    {
        ASSERT_TRUE(wizard.Start(path, 15000, arguments)) << "the wizard showed no page";
        ASSERT_TRUE(wizard.WaitForPage(robot::Page::Welcome));
    }

    // The visible page, for readable failure messages.
    std::string Visible() const { return robot::PageName(wizard.VisiblePage()); }

    void ExpectPage(robot::Page page)
    {
        EXPECT_TRUE(wizard.WaitForPage(page)) << "expected " << robot::PageName(page) << ", see " << Visible();
    }

    // Presses `button` on the visible page; the page `expected` must follow.
    void Go(int button, robot::Page expected, DWORD timeoutMs = 10000)
    {
        ASSERT_TRUE(wizard.Press(button)) << "no visible, enabled button " << button << " on " << Visible();
        ASSERT_TRUE(wizard.WaitForPage(expected, timeoutMs))
            << "expected " << robot::PageName(expected) << ", see " << Visible()
            << (wizard.FindMessageBox() ? " under a message box" : "");
    }

    // The whole program ends, with exit code 0, and no page is left behind; a deep stack of
    // pages may take its time to unwind, as long as pages keep closing.
    void ExpectRunEnds()
    {
        DWORD code = 12345;
        ASSERT_TRUE(wizard.WaitForUnwind(10000, &code))
            << "the run did not end; visible: " << Visible() << ", page windows: " << wizard.PageWindowCount();
        EXPECT_EQ(code, 0u);
    }

    robot::Wizard wizard;
};
