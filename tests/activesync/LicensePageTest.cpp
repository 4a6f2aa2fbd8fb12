// The license page on the shipped program: its starting state, the two radio buttons, where each
// way of leaving goes, and that a repaint puts the agreement back at its first line.
#include "tests/activesync/ActiveSyncScenario.h"

using robot::Page;

namespace {

constexpr int kAgreementLength = 8575;

// The agreement as the wizard's own resources hold it: string resources 1 to 14, one after another.
std::wstring AgreementFromResources()
{
    std::wstring exe = robot::ToWindowsPath(WizardPath());
    HMODULE module = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return std::wstring();
    std::wstring agreement;
    for (UINT id = IDS_AGREEMENT_FIRST; id <= IDS_AGREEMENT_LAST; ++id) {
        const wchar_t* text = nullptr;
        int length = ::LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
        if (text && length > 0) agreement.append(text, static_cast<size_t>(length));
    }
    ::FreeLibrary(module);
    return agreement;
}

LRESULT Send(HWND wnd, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    DWORD_PTR result = static_cast<DWORD_PTR>(-1);
    if (!::SendMessageTimeoutW(wnd, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result)) return -1;
    return static_cast<LRESULT>(result);
}

class LicensePage : public ActiveSyncScenario {
protected:
    HWND Agreement() const { return wizard.Control(IDC_LICENSE_TEXT); }
    LRESULT FirstLine() const { return Send(Agreement(), EM_GETFIRSTVISIBLELINE); }
};

TEST_F(LicensePage, OpensWithNeitherCheckedAndTheAgreementAtItsFirstLine)
{
    ASSERT_NO_FATAL_FAILURE(OpenLicensePage());
    HWND box = Agreement();
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(robot::WaitPainted(wizard.PageWindow()));
    EXPECT_FALSE(wizard.IsChecked(IDC_LICENSE_ACCEPT));
    EXPECT_FALSE(wizard.IsChecked(IDC_LICENSE_DECLINE));
    EXPECT_EQ(FirstLine(), 0);
    EXPECT_EQ(Send(box, WM_GETTEXTLENGTH), kAgreementLength);
    std::wstring expected = AgreementFromResources();
    ASSERT_EQ(expected.size(), static_cast<size_t>(kAgreementLength));
    EXPECT_TRUE(TextOf(box, kAgreementLength + 100) == expected) << "the box does not hold strings 1 to 14";
    EXPECT_GT(Send(box, EM_GETLINECOUNT), 10) << "the agreement should need scrolling";
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

TEST_F(LicensePage, NextWithNeitherCheckedOpensTheResetPage)
{
    ASSERT_NO_FATAL_FAILURE(OpenLicensePage());
    Go(IDOK, Page::Reset);
    EXPECT_EQ(wizard.PageWindowCount(), 4);  // welcome, reset, license hidden beneath
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

TEST_F(LicensePage, AcceptThenNextOpensTheResetPage)
{
    ASSERT_NO_FATAL_FAILURE(OpenLicensePage());
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_ACCEPT));
    EXPECT_TRUE(wizard.IsChecked(IDC_LICENSE_ACCEPT));
    Go(IDOK, Page::Reset);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

TEST_F(LicensePage, DeclineThenNextEndsTheRunWithNoFurtherPage)
{
    ASSERT_NO_FATAL_FAILURE(OpenLicensePage());
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_DECLINE));
    EXPECT_TRUE(wizard.IsChecked(IDC_LICENSE_DECLINE));
    PressAndExpectRunEndsWithNoFurtherPage(IDOK);
}

TEST_F(LicensePage, AcceptThenDeclineThenNextEndsTheRun)
{
    ASSERT_NO_FATAL_FAILURE(OpenLicensePage());
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_ACCEPT));
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_DECLINE));
    PressAndExpectRunEndsWithNoFurtherPage(IDOK);
}

TEST_F(LicensePage, EachRadioButtonClearsTheOther)
{
    ASSERT_NO_FATAL_FAILURE(OpenLicensePage());
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_ACCEPT));
    EXPECT_TRUE(wizard.IsChecked(IDC_LICENSE_ACCEPT));
    EXPECT_FALSE(wizard.IsChecked(IDC_LICENSE_DECLINE));
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_DECLINE));
    EXPECT_FALSE(wizard.IsChecked(IDC_LICENSE_ACCEPT));
    EXPECT_TRUE(wizard.IsChecked(IDC_LICENSE_DECLINE));
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_ACCEPT));
    EXPECT_TRUE(wizard.IsChecked(IDC_LICENSE_ACCEPT));
    EXPECT_FALSE(wizard.IsChecked(IDC_LICENSE_DECLINE));
    // And what is checked last decides: accepted, Next goes on.
    Go(IDOK, Page::Reset);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

// Scrolled away from the start, the agreement stays where the reader left it when the page
// repaints (a minimise, a window passing over it).
enum class Scroll { Lines, PageDown };

class LicenseScroll : public LicensePage, public ::testing::WithParamInterface<Scroll> {};

TEST_P(LicenseScroll, RepaintKeepsTheAgreementWhereTheReaderLeftIt)
{
    ASSERT_NO_FATAL_FAILURE(OpenLicensePage());
    HWND page = wizard.PageWindow();
    HWND box = Agreement();
    ASSERT_TRUE(robot::WaitPainted(page));
    ASSERT_EQ(FirstLine(), 0);
    if (GetParam() == Scroll::Lines)
        Send(box, EM_LINESCROLL, 0, 12);
    else
        for (int i = 0; i < 3; ++i) Send(box, WM_VSCROLL, SB_PAGEDOWN, 0);
    ASSERT_TRUE(robot::WaitPainted(page));
    ASSERT_GT(FirstLine(), 0) << "the box did not scroll";
    // Scrolling alone does not repaint the page: the box stays where the user put it.
    ::Sleep(200);
    ASSERT_TRUE(robot::WaitPainted(page));
    const int scrolled = FirstLine();
    EXPECT_GT(scrolled, 0) << "the box went back without a repaint of the page";

    ASSERT_TRUE(::InvalidateRect(page, nullptr, TRUE));
    ASSERT_TRUE(robot::WaitPainted(page));
    EXPECT_EQ(FirstLine(), scrolled) << "the repaint threw the reader back";
    EXPECT_EQ(Send(box, WM_GETTEXTLENGTH), kAgreementLength);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

INSTANTIATE_TEST_SUITE_P(Ways, LicenseScroll, ::testing::Values(Scroll::Lines, Scroll::PageDown));

TEST_F(LicensePage, BackOpensANewWelcomePageWhoseNextSkipsTheLicensePage)
{
    StartWizard();
    HWND firstWelcome = wizard.PageWindow();
    Go(IDOK, Page::Reset);
    Go(IDC_RESET_BACK, Page::License);
    HWND license = wizard.PageWindow();
    Go(IDC_LICENSE_BACK, Page::Welcome);
    HWND secondWelcome = wizard.PageWindow();
    EXPECT_NE(secondWelcome, firstWelcome) << "Back should open a new welcome page";
    EXPECT_TRUE(::IsWindow(license) && !::IsWindowVisible(license)) << "the license page waits hidden";
    EXPECT_EQ(wizard.PageWindowCount(), 4);
    Go(IDOK, Page::Reset);
    EXPECT_EQ(wizard.PageWindowCount(), 5);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

}  // namespace
