// The check for a running ActiveSync when the user presses Next on the welcome page, or on the
// license page: only a window of class "DccMan Class" titled "DccMan" counts, and then the
// allowed connection types in HKCU decide between the warning page and the reset page.
#include "tests/activesync/ActiveSyncScenario.h"

using robot::Page;

namespace {

class ActiveSync : public ActiveSyncScenario {
protected:
    // Next on the visible page with the key missing: the error box, owned by that page, which is
    // hidden meanwhile and no other page is made; after OK the same page shows again.
    void ExpectRegistryErrorAfterNext()
    {
        HWND page = wizard.PageWindow();
        ASSERT_NE(page, nullptr) << "no single visible page";
        int pages = wizard.PageWindowCount();
        ASSERT_TRUE(wizard.Press(IDOK));
        std::wstring text;
        ASSERT_TRUE(wizard.WaitForMessageBox(&text)) << "no message box; visible: " << Visible();
        HWND box = wizard.FindMessageBox();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(Utf8(text), "ERROR in CheckRegistry");
        EXPECT_EQ(Utf8(TextOf(box)), "Error");
        EXPECT_EQ(::GetWindow(box, GW_OWNER), page) << "the box is not owned by the page it came from";
        EXPECT_FALSE(::IsWindowVisible(page)) << "the page stays visible under the box";
        EXPECT_EQ(wizard.PageWindowCount(), pages) << "a page was made behind the box";
        ASSERT_TRUE(wizard.AnswerMessageBox());
        ASSERT_TRUE(robot::WaitUntil([&] { return wizard.PageWindow() == page; }, 10000))
            << "the page did not show again; visible: " << Visible();
        EXPECT_EQ(wizard.PageWindowCount(), pages);
    }

    // On the license page, with the key set and ActiveSync running: the radio button `radio`
    // clicked (none when 0), then Next.
    void NextOnLicensePageWithKeySet(int radio)
    {
        ASSERT_NO_FATAL_FAILURE(OpenLicensePage());
        ASSERT_TRUE(key.SetDword(0x0F));
        StartActiveSync();
        if (radio != 0) {
            ASSERT_TRUE(wizard.ClickRadio(radio));
        }
        ASSERT_TRUE(wizard.Press(IDOK));
    }

    // From the welcome page on to the reset page and back: Next on the welcome page checks again.
    void ToResetPageAndBack()
    {
        Go(IDOK, Page::Reset);
        Go(IDC_RESET_BACK, Page::License);
        Go(IDC_LICENSE_BACK, Page::Welcome);
    }

    // The warning page: a single button, "OK", with the id of Cancel.
    void ExpectWarningPageWithOnlyOK()
    {
        ASSERT_TRUE(wizard.WaitForPage(Page::Warning)) << "expected the warning page, see " << Visible();
        HWND page = wizard.PageWindow();
        std::vector<HWND> buttons;
        for (HWND child = ::GetWindow(page, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
            wchar_t cls[64] = L"";
            ::GetClassNameW(child, cls, 64);
            if (::lstrcmpiW(cls, L"Button") == 0) buttons.push_back(child);
        }
        ASSERT_EQ(buttons.size(), 1u);
        EXPECT_EQ(::GetDlgCtrlID(buttons[0]), IDCANCEL);
        EXPECT_EQ(Utf8(TextOf(buttons[0])), "OK");
        EXPECT_TRUE(::IsWindowVisible(buttons[0]) && ::IsWindowEnabled(buttons[0]));
    }

    // Next leads straight to the reset page with no box (and, when given, this many page windows
    // in all); Cancel there ends the run.
    void NextOpensResetWithNoBoxAndCancelEnds(int pageWindows = 0)
    {
        Go(IDOK, Page::Reset);
        EXPECT_EQ(wizard.FindMessageBox(), nullptr);
        if (pageWindows) {
            EXPECT_EQ(wizard.PageWindowCount(), pageWindows);
        }
        ASSERT_TRUE(wizard.Press(IDCANCEL));
        ExpectRunEnds();
    }

    // Next meets ActiveSync holding USB connections: the warning page, whose OK ends the run.
    void NextShowsTheWarningWhoseOkEndsTheRun()
    {
        ASSERT_TRUE(wizard.Press(IDOK));
        ASSERT_NO_FATAL_FAILURE(ExpectWarningPageWithOnlyOK());
        ASSERT_TRUE(wizard.Press(IDCANCEL));
        ExpectRunEnds();
    }
};

// ---- No ActiveSync window: the reset page, whatever the registry holds ----------------------

enum class Stored { NoKey, NoValue, Usb, All, Short };

void Store(ActiveSyncKey& key, Stored stored)
{
    const BYTE shortUsb[2] = {0x08, 0x00};
    switch (stored) {
    case Stored::NoKey: ASSERT_TRUE(key.Remove()); break;
    case Stored::NoValue: ASSERT_TRUE(key.CreateEmpty()); break;
    case Stored::Usb: ASSERT_TRUE(key.SetDword(0x8)); break;
    case Stored::All: ASSERT_TRUE(key.SetDword(0xFFFFFFFF)); break;
    case Stored::Short: ASSERT_TRUE(key.SetRaw(REG_BINARY, shortUsb, sizeof shortUsb)); break;
    }
}

class ActiveSyncAbsent : public ActiveSync, public ::testing::WithParamInterface<Stored> {};

TEST_P(ActiveSyncAbsent, WelcomeNextOpensResetWhateverTheRegistryHolds)
{
    ASSERT_NO_FATAL_FAILURE(Store(key, GetParam()));
    StartWizard();
    NextOpensResetWithNoBoxAndCancelEnds(2);
}

TEST_P(ActiveSyncAbsent, LicenseNextOpensResetWhateverTheRegistryHolds)
{
    ASSERT_NO_FATAL_FAILURE(Store(key, GetParam()));
    ASSERT_NO_FATAL_FAILURE(OpenLicensePage());
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_ACCEPT));
    NextOpensResetWithNoBoxAndCancelEnds();
}

INSTANTIATE_TEST_SUITE_P(Registry, ActiveSyncAbsent,
                         ::testing::Values(Stored::NoKey, Stored::NoValue, Stored::Usb, Stored::All, Stored::Short));

// ---- Only the exact class and title together are ActiveSync ---------------------------------

struct Lookalike {
    const wchar_t* className;
    const wchar_t* title;
};

void PrintTo(const Lookalike& window, std::ostream* os)
{
    *os << "class \"" << std::string(window.className, window.className + ::lstrlenW(window.className)) << "\" title \""
        << std::string(window.title, window.title + ::lstrlenW(window.title)) << "\"";
}

class ActiveSyncLookalike : public ActiveSync, public ::testing::WithParamInterface<Lookalike> {};

TEST_P(ActiveSyncLookalike, IsNotActiveSyncEvenWithUsbAllowed)
{
    ASSERT_TRUE(key.SetDword(0x0F));
    StartActiveSync(GetParam().className, GetParam().title);
    StartWizard();
    Go(IDOK, Page::Reset);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

TEST_P(ActiveSyncLookalike, IsNotActiveSyncEvenWithTheKeyMissing)
{
    StartActiveSync(GetParam().className, GetParam().title);
    StartWizard();
    NextOpensResetWithNoBoxAndCancelEnds();
}

INSTANTIATE_TEST_SUITE_P(Windows, ActiveSyncLookalike,
                         ::testing::Values(Lookalike{L"DccMan Class", L"Connection Manager"},
                                           Lookalike{L"DccMan Class", L""}, Lookalike{L"Other Class", L"DccMan"},
                                           Lookalike{L"DccMan", L"DccMan Class"}));

// ---- ActiveSync running: bit 0x8 of the allowed connection types -----------------------------

class ActiveSyncBits : public ActiveSync, public ::testing::WithParamInterface<DWORD> {};

TEST_P(ActiveSyncBits, UsbAllowedShowsTheWarningPage)
{
    ASSERT_TRUE(key.SetDword(GetParam()));
    StartActiveSync();
    StartWizard();
    ASSERT_TRUE(wizard.Press(IDOK));
    ExpectWarningPageWithOnlyOK();
    EXPECT_EQ(wizard.PageWindowCount(), 2) << "welcome hidden beneath the warning, nothing else";
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

INSTANTIATE_TEST_SUITE_P(UsbBitSet, ActiveSyncBits, ::testing::Values(0x8u, 0xFu, 0x80000008u, 0xFFFFFFFFu));

class ActiveSyncNoUsb : public ActiveSync, public ::testing::WithParamInterface<DWORD> {};

TEST_P(ActiveSyncNoUsb, OpensTheResetPage)
{
    ASSERT_TRUE(key.SetDword(GetParam()));
    StartActiveSync();
    StartWizard();
    NextOpensResetWithNoBoxAndCancelEnds(2);
}

INSTANTIATE_TEST_SUITE_P(UsbBitClear, ActiveSyncNoUsb,
                         ::testing::Values(0x0u, 0x1u, 0x4u, 0x7u, 0x10u, 0x80000000u, 0xFFFFFFF7u));

// ---- ActiveSync running: a value that is missing or not four bytes counts as 0 ---------------

struct Shape {
    const char* name;
    DWORD type;
    std::vector<BYTE> bytes;
};

void PrintTo(const Shape& shape, std::ostream* os) { *os << shape.name; }

class ActiveSyncValueShape : public ActiveSync, public ::testing::WithParamInterface<Shape> {};

TEST_P(ActiveSyncValueShape, CountsAsNothingAllowed)
{
    ASSERT_TRUE(key.SetRaw(GetParam().type, GetParam().bytes.data(), static_cast<DWORD>(GetParam().bytes.size())));
    StartActiveSync();
    StartWizard();
    NextOpensResetWithNoBoxAndCancelEnds();
}

INSTANTIATE_TEST_SUITE_P(
    NotAWord, ActiveSyncValueShape,
    ::testing::Values(Shape{"OneByte", REG_BINARY, {0x0F}}, Shape{"TwoBytes", REG_BINARY, {0x0F, 0x00}},
                      Shape{"ThreeBytes", REG_BINARY, {0x0F, 0x00, 0x00}},
                      Shape{"EightBytes", REG_BINARY, {0x0F, 0, 0, 0, 0, 0, 0, 0}},
                      Shape{"Qword", REG_QWORD, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
                      Shape{"Empty", REG_DWORD, {}},
                      // "hhh" in UTF-16: through the ANSI registry call it reads as 4 bytes 68 68 68 00,
                      // whose bit 0x8 is set; text is no flag word all the same.
                      Shape{"Text", REG_SZ, {'h', 0, 'h', 0, 'h', 0, 0, 0}}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

TEST_F(ActiveSync, KeyWithoutTheValueOpensTheResetPage)
{
    ASSERT_TRUE(key.CreateEmpty());
    StartActiveSync();
    StartWizard();
    NextOpensResetWithNoBoxAndCancelEnds();
}

// ---- The warning page ends the run every way ---------------------------------------------------

enum class Way { OK, Escape, CloseBox };

class ActiveSyncWarningEnding : public ActiveSync, public ::testing::WithParamInterface<Way> {};

TEST_P(ActiveSyncWarningEnding, EndsTheWholeRun)
{
    ASSERT_TRUE(key.SetDword(0x0F));
    StartActiveSync();
    StartWizard();
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::Warning)) << "see " << Visible();
    switch (GetParam()) {
    case Way::OK: ASSERT_TRUE(wizard.Press(IDCANCEL)); break;
    case Way::Escape: ASSERT_TRUE(wizard.PressEscape()); break;
    case Way::CloseBox: ASSERT_TRUE(wizard.PressCloseBox()); break;
    }
    ExpectRunEnds();
}

INSTANTIATE_TEST_SUITE_P(Ways, ActiveSyncWarningEnding, ::testing::Values(Way::OK, Way::Escape, Way::CloseBox));

// ---- ActiveSync running, key missing: the error box, then the page works on ----------------------

TEST_F(ActiveSync, MissingKeyOnWelcomeShowsTheErrorThenNextStillWorks)
{
    StartActiveSync();
    StartWizard();
    ASSERT_NO_FATAL_FAILURE(ExpectRegistryErrorAfterNext());
    ASSERT_NO_FATAL_FAILURE(ExpectRegistryErrorAfterNext());  // the same again: Next is live
    ASSERT_TRUE(key.SetDword(0));
    Go(IDOK, Page::Reset);
    EXPECT_EQ(wizard.PageWindowCount(), 2);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

TEST_F(ActiveSync, MissingKeyOnWelcomeShowsTheErrorThenCancelEndsTheRun)
{
    StartActiveSync();
    StartWizard();
    ASSERT_NO_FATAL_FAILURE(ExpectRegistryErrorAfterNext());
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

TEST_F(ActiveSync, MissingKeyOnLicenseShowsTheErrorThenNextStillWorks)
{
    ASSERT_NO_FATAL_FAILURE(OpenLicensePage());
    StartActiveSync();
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_ACCEPT));
    ASSERT_NO_FATAL_FAILURE(ExpectRegistryErrorAfterNext());
    ASSERT_TRUE(key.SetDword(0x0F));
    NextShowsTheWarningWhoseOkEndsTheRun();
}

TEST_F(ActiveSync, MissingKeyOnLicenseShowsTheErrorThenCancelEndsTheRun)
{
    ASSERT_NO_FATAL_FAILURE(OpenLicensePage());
    StartActiveSync();
    ASSERT_NO_FATAL_FAILURE(ExpectRegistryErrorAfterNext());  // neither radio checked
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

// ---- The license page's Next goes through the same check; declining skips it -----------------------

TEST_F(ActiveSync, LicenseAcceptThenNextShowsTheWarning)
{
    ASSERT_NO_FATAL_FAILURE(NextOnLicensePageWithKeySet(IDC_LICENSE_ACCEPT));
    ExpectWarningPageWithOnlyOK();
    ASSERT_TRUE(wizard.PressEscape());
    ExpectRunEnds();
}

TEST_F(ActiveSync, LicenseNextWithNeitherCheckedShowsTheWarning)
{
    ASSERT_NO_FATAL_FAILURE(NextOnLicensePageWithKeySet(0));
    ExpectWarningPageWithOnlyOK();
    ASSERT_TRUE(wizard.PressCloseBox());
    ExpectRunEnds();
}

TEST_F(ActiveSync, LicenseDeclineThenNextEndsTheRunWithoutTheCheck)
{
    ASSERT_NO_FATAL_FAILURE(OpenLicensePage());
    StartActiveSync();  // key missing: a check would show the error box
    ASSERT_TRUE(wizard.ClickRadio(IDC_LICENSE_DECLINE));
    PressAndExpectRunEndsWithNoFurtherPage(IDOK);
}

// ---- Going back to the welcome page runs the whole check again ------------------------------------

TEST_F(ActiveSync, SecondPassFindsActiveSyncStartedMeanwhile)
{
    ASSERT_TRUE(key.SetDword(0x0F));
    StartWizard();
    ToResetPageAndBack();  // no ActiveSync yet
    StartActiveSync();
    NextShowsTheWarningWhoseOkEndsTheRun();
}

TEST_F(ActiveSync, SecondPassReadsTheRegistryAgain)
{
    ASSERT_TRUE(key.SetDword(0x07));
    StartActiveSync();
    StartWizard();
    ToResetPageAndBack();
    ASSERT_TRUE(key.SetDword(0x0F));
    NextShowsTheWarningWhoseOkEndsTheRun();
}

TEST_F(ActiveSync, SecondPassFindsTheKeyGone)
{
    ASSERT_TRUE(key.SetDword(0));
    StartActiveSync();
    StartWizard();
    ToResetPageAndBack();
    ASSERT_TRUE(key.Remove());
    ASSERT_NO_FATAL_FAILURE(ExpectRegistryErrorAfterNext());
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

}  // namespace
