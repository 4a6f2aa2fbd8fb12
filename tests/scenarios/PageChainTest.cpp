// The page chain on the shipped program: which page each button opens, that earlier pages
// wait hidden beneath, and that every way of finishing ends the whole run.
#include "tests/scenarios/Scenario.h"

using robot::Page;

namespace {

class PageChain : public WizardScenario {};

TEST_F(PageChain, NextOnWelcomeOpensResetAndLeavesWelcomeHidden)
{
    StartWizard();
    Go(IDOK, Page::Reset);
    EXPECT_EQ(wizard.PageWindowCount(), 2);
    Go(IDOK, Page::Select);
    EXPECT_EQ(wizard.PageWindowCount(), 3);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

TEST_F(PageChain, BackAndNextStackFreshPagesAndCancelEndsThemAll)
{
    StartWizard();
    Go(IDOK, Page::Reset);
    Go(IDC_RESET_BACK, Page::License);
    Go(IDC_LICENSE_BACK, Page::Welcome);
    Go(IDOK, Page::Reset);  // the license page is not on this road
    Go(IDOK, Page::Select);
    Go(IDC_SELECT_BACK, Page::Reset);
    Go(IDOK, Page::Select);
    // welcome, reset, license, welcome, reset, select, reset, select: one visible, the rest hidden
    EXPECT_EQ(wizard.PageWindowCount(), 8);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

TEST_F(PageChain, BackOpensAFreshPageWithNothingCarriedOver)
{
    StartWizard();
    Go(IDOK, Page::Reset);
    Go(IDC_RESET_BACK, Page::License);
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_DECLINE));
    Go(IDC_LICENSE_BACK, Page::Welcome);
    Go(IDOK, Page::Reset);
    Go(IDC_RESET_BACK, Page::License);
    EXPECT_FALSE(wizard.IsChecked(IDC_LICENSE_ACCEPT));
    EXPECT_FALSE(wizard.IsChecked(IDC_LICENSE_DECLINE));
    ASSERT_TRUE(wizard.PressEscape());
    ExpectRunEnds();
}

TEST_F(PageChain, LicenseNextWithNeitherOrAcceptOpensReset)
{
    StartWizard();
    Go(IDOK, Page::Reset);
    Go(IDC_RESET_BACK, Page::License);
    Go(IDOK, Page::Reset);  // no choice made: proceeds as acceptance
    Go(IDC_RESET_BACK, Page::License);
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_ACCEPT));
    Go(IDOK, Page::Reset);
    ASSERT_TRUE(wizard.PressCloseBox());
    ExpectRunEnds();
}

TEST_F(PageChain, DeclineEndsTheRunWithNoFurtherPage)
{
    StartWizard();
    Go(IDOK, Page::Reset);
    Go(IDC_RESET_BACK, Page::License);
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_ACCEPT));
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_DECLINE));
    EXPECT_FALSE(wizard.IsChecked(IDC_LICENSE_ACCEPT)) << "one radio button clears the other";
    ASSERT_TRUE(wizard.Press(IDOK));
    ExpectRunEnds();
}

TEST_F(PageChain, NotReadyExitEndsTheRunAlthoughPagesBeneathWouldShowAgain)
{
    // Exit makes no quit request: the run ends because the not-ready page is the main window.
    // Beneath it a reset page waits for its Back to return, and would end with IDCANCEL,
    // which would show the welcome page again: only the quit ends that one.
    StartWizard();
    Go(IDOK, Page::Reset);
    Go(IDC_RESET_BACK, Page::License);
    Go(IDOK, Page::Reset);
    Go(IDOK, Page::Select);
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::NotReady, 15000)) << "no device plugged in; see " << Visible();
    ASSERT_TRUE(wizard.Press(IDOK));  // Exit
    ExpectRunEnds();
}

// Sets pagefail.dll's hook on the wizard's thread: the next page window it makes is refused.
class RefusedPageCreation {
public:
    explicit RefusedPageCreation(DWORD thread) : m_module(::LoadLibraryW(L"pagefail.dll"))
    {
        auto proc = m_module ? reinterpret_cast<HOOKPROC>(::GetProcAddress(m_module, "RefuseNextPage")) : nullptr;
        if (proc) m_hook = ::SetWindowsHookExW(WH_CBT, proc, m_module, thread);
    }
    ~RefusedPageCreation()
    {
        if (m_hook) ::UnhookWindowsHookEx(m_hook);
        if (m_module) ::FreeLibrary(m_module);
    }
    RefusedPageCreation(const RefusedPageCreation&) = delete;
    RefusedPageCreation& operator=(const RefusedPageCreation&) = delete;
    bool Set() const { return m_hook != nullptr; }

private:
    HMODULE m_module;
    HHOOK m_hook = nullptr;
};

TEST_F(PageChain, APageThatCannotBeCreatedEndsTheRunWithAnErrorBox)
{
    StartWizard();
    RefusedPageCreation refused(::GetWindowThreadProcessId(wizard.PageWindow(), nullptr));
    ASSERT_TRUE(refused.Set()) << "hook not set, error " << ::GetLastError();
    ASSERT_TRUE(wizard.Press(IDOK));  // the reset page cannot be made
    std::wstring text;
    ASSERT_TRUE(wizard.WaitForMessageBox(&text)) << "no error box; see " << Visible();
    EXPECT_EQ(text, L"A page of the wizard could not be shown. The wizard will close now.");
    ASSERT_TRUE(wizard.AnswerMessageBox());
    ExpectRunEnds();
}

// Cancel, Escape and the close box end the run from every instruction page, at any depth.
enum class Way { CancelButton, Escape, CloseBox };

class EveryEnding : public PageChain, public ::testing::WithParamInterface<std::tuple<Way, Page>> {};

TEST_P(EveryEnding, EndsTheWholeRun)
{
    auto [way, where] = GetParam();
    StartWizard();
    switch (where) {
    case Page::Welcome: break;
    case Page::Reset: Go(IDOK, Page::Reset); break;
    case Page::License:
        Go(IDOK, Page::Reset);
        Go(IDC_RESET_BACK, Page::License);
        break;
    case Page::Select:
        Go(IDOK, Page::Reset);
        Go(IDOK, Page::Select);
        break;
    default: FAIL();
    }
    switch (way) {
    case Way::CancelButton: ASSERT_TRUE(wizard.Press(IDCANCEL)); break;
    case Way::Escape: ASSERT_TRUE(wizard.PressEscape()); break;
    case Way::CloseBox: ASSERT_TRUE(wizard.PressCloseBox()); break;
    }
    ExpectRunEnds();
}

INSTANTIATE_TEST_SUITE_P(InstructionPages, EveryEnding,
                         ::testing::Combine(::testing::Values(Way::CancelButton, Way::Escape, Way::CloseBox),
                                            ::testing::Values(Page::Welcome, Page::Reset, Page::License,
                                                              Page::Select)));

}  // namespace
