// Ground of the ActiveSync and license page scenarios: the wizard under the robot, the ActiveSync
// registry key and the dccman.exe window, each cleaned up after every test, failed or not.
#pragma once
#include <algorithm>
#include <string>
#include <vector>
#include "tools/dccman/ActiveSyncKey.h"
#include "tools/dccman/DccMan.h"
#include "tests/scenarios/Scenario.h"
#include "tests/support/TestSupport.h"

class ActiveSyncScenario : public WizardScenario {
protected:
    void SetUp() override
    {
        // A window left by someone else would make every "no ActiveSync" case a lie.
        ASSERT_EQ(::FindWindowW(kDccManClass, kDccManTitle), nullptr) << "an ActiveSync window is already open";
        ASSERT_TRUE(key.Begin()) << "cannot clear HKCU\\Software\\Microsoft\\Windows CE Services";
    }

    void StartActiveSync(const std::wstring& className = kDccManClass, const std::wstring& title = kDccManTitle)
    {
        std::wstring error;
        ASSERT_TRUE(dccman.Start(className, title, &error)) << Utf8(error);
    }

    // Welcome, Next, reset page, Back: the license page, with two pages hidden beneath it.
    void OpenLicensePage()
    {
        StartWizard();
        ASSERT_NO_FATAL_FAILURE(Go(IDOK, robot::Page::Reset));
        ASSERT_NO_FATAL_FAILURE(Go(IDC_RESET_BACK, robot::Page::License));
    }

    // Presses `button` and waits for the run to end, failing if a further page opens meanwhile (a
    // page window, hidden or not, that was not there before) or a message box shows. The pages
    // beneath may show again for a moment while the run unwinds: they are not further pages.
    void PressAndExpectRunEndsWithNoFurtherPage(int button)
    {
        std::vector<HWND> before = wizard.PageWindows();
        ASSERT_TRUE(wizard.Press(button)) << "no visible, enabled button " << button << " on " << Visible();
        std::string further;  // the visible page when a new page window was found
        bool box = false;
        bool ended = robot::WaitUntil(
            [&] {
                for (HWND page : wizard.PageWindows())
                    if (std::find(before.begin(), before.end(), page) == before.end())
                        further = robot::PageName(wizard.VisiblePage());
                box = box || wizard.FindMessageBox();
                return !wizard.Running();
            },
            10000);
        EXPECT_TRUE(further.empty()) << "a further page window was made; visible then: " << further;
        EXPECT_FALSE(box) << "a message box showed";
        ASSERT_TRUE(ended) << "the run did not end; visible: " << Visible();
        ExpectRunEnds();
    }

    // Declared after the wizard (in the base): these go first, then the wizard is ended.
    ActiveSyncKey key;
    DccMan dccman;
};

// Top-level window text, read through WM_GETTEXT as the robot does across processes.
inline std::wstring TextOf(HWND wnd, size_t capacity = 1024)
{
    std::vector<wchar_t> buf(capacity + 1, L'\0');
    DWORD_PTR copied = 0;
    ::SendMessageTimeoutW(wnd, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG, 5000,
                          &copied);
    return std::wstring(buf.data(), copied);
}
