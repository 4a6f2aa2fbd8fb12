// What the pages the user reaches without a handheld show on screen: artwork, panel, text lines
// in their bands and colours, checked on real screenshots of the shipped program. That repainting
// a page again and again does not make the program hold more objects is PageLeakTest.cpp's
// (CTest entry page_leaks), kept apart because it takes minutes.
#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>
#include "framework/Handles.h"
#include "tests/painting/PagePaintCheck.h"
#include "tests/scenarios/Scenario.h"
#include "res/resource.h"

using robot::Page;

namespace {

// The client area of `page` as the screen shows it, for telling a settled screen.
std::vector<DWORD> ClientPixels(const robot::Screenshot& shot, HWND page)
{
    RECT client{};
    ::GetClientRect(page, &client);
    POINT origin{0, 0};
    ::ClientToScreen(page, &origin);
    std::vector<DWORD> pixels;
    for (int y = 0; y < client.bottom; ++y)
        for (int x = 0; x < client.right; ++x) pixels.push_back(shot.At(origin.x + x, origin.y + y));
    return pixels;
}

class PagePainting : public WizardScenario {
protected:
    // Waits until the visible page has painted and the screen shows it unchanged for a moment,
    // then takes the screenshot the checks look at. `busyPage`: the page's thread may be busy
    // (the device check page sleeps in its timer), so no message round trip is asked of it:
    // its paint, which comes before any timer, is over once no update region is left.
    bool Settle(HWND page, robot::Screenshot* shot, bool busyPage = false)
    {
        bool painted = busyPage ? robot::WaitUntil(
                                      [&] {
                                          if (::GetUpdateRect(page, nullptr, FALSE)) return false;
                                          for (HWND child = ::GetWindow(page, GW_CHILD); child;
                                               child = ::GetWindow(child, GW_HWNDNEXT))
                                              if (::GetUpdateRect(child, nullptr, FALSE)) return false;
                                          return true;
                                      },
                                      5000)
                                : robot::WaitPainted(page);
        if (!painted) return false;
        std::vector<DWORD> before;
        return robot::WaitUntil(
            [&] {
                if (!shot->Capture()) return false;
                std::vector<DWORD> now = ClientPixels(*shot, page);
                bool same = !before.empty() && now == before;
                before = std::move(now);
                if (!same) ::Sleep(100);
                return same;
            },
            3000);
    }

    // Checks the visible page against `expected` and saves the screenshot as page_<file>.bmp.
    void ExpectPainted(Page page, const painting::ExpectedPage& expected, const std::wstring& file,
                       bool busyPage = false)
    {
        ASSERT_EQ(wizard.VisiblePage(), page) << "see " << Visible();
        HWND wnd = wizard.PageWindow();
        ASSERT_TRUE(wnd);
        robot::Screenshot shot;
        ASSERT_TRUE(Settle(wnd, &shot, busyPage)) << "the " << expected.name << " page did not settle on screen";
        // (No message to the page here: its thread may be busy.)
        ASSERT_TRUE(::IsWindowVisible(wnd)) << "the " << expected.name << " page went while the screen was taken";
        std::wstring path = L"page_" + file + L".bmp";
        EXPECT_TRUE(shot.SaveBmp(path));
        painting::Verdict verdict = painting::CheckPagePaint(shot, wnd, expected);
        EXPECT_TRUE(verdict.ok()) << verdict.Text() << "screenshot: " << std::string(path.begin(), path.end());
        if (verdict.ok()) std::printf("%s", verdict.Text().c_str());
    }

    // What a screen reader hears of the visible page, in order: its lines, then its controls.
    void ExpectHeard(const std::vector<std::wstring>& expected)
    {
        EXPECT_EQ(robot::HeardTexts(wizard.PageWindow()), expected);
    }

    // Leaves by the page's own button, as a user would; the fixture ends whatever remains.
    void Leave()
    {
        if (!wizard.Press(IDCANCEL)) wizard.Press(IDOK);
        wizard.WaitForExit(10000);
    }
};

TEST_F(PagePainting, WelcomePage)
{
    StartWizard();
    ExpectPainted(Page::Welcome, painting::WelcomePage(), L"welcome");
    ExpectHeard({L"Please follow this step-by-step procedure to", L"update the ROM image on your Pocket PC.",
                 L"DO NOT CONNECT the USB cable with the", L"host PC and Pocket PC until instructed to", L"do so.",
                 L"NOTE:", L"1. Disable the standby and hibernation modes",
                 L"    and close all applications on your host PC.", L"2. Keep the power adapter connecting with",
                 L"    your Pocket PC during upgrade.", L"Cancel", L"Next"});
    Leave();
}

TEST_F(PagePainting, ResetPage)
{
    StartWizard();
    Go(IDOK, Page::Reset);
    ExpectPainted(Page::Reset, painting::ResetPage(), L"reset");
    ExpectHeard({L"Warning: all data will be reased when you", L"enter the Image Upgrade Mode. Please backup",
                 L"all your data in Pocket PC before you follow.", L"1. Go into the Image Upgrade mode.",
                 L"    Scroll down the jog-wheel and press", L"    the RESET button at the same time.",
                 L"2. Press NOTE button to enter the Image Upgrade", L"    Mode.", L"Cancel", L"Back", L"Next"});
    Leave();
}

TEST_F(PagePainting, SelectPage)
{
    StartWizard();
    Go(IDOK, Page::Reset);
    Go(IDOK, Page::Select);
    ExpectPainted(Page::Select, painting::SelectPage(), L"select");
    ExpectHeard({L"1. Connect USB cable with the host PC and", L"    PocketPC.",
                 L"2. Select the \"USB\" item by jog-wheel, then", L"    press ACTION button to confirm.", L"NOTE:",
                 L"DO NOT remove the USB connection or ", L"power adapter from the Pocket PC during",
                 L"upgrading. This interruption may damage", L"your device.", L"Cancel", L"Back", L"Next"});
    Leave();
}

TEST_F(PagePainting, LicensePage)
{
    StartWizard();
    Go(IDOK, Page::Reset);
    Go(IDC_RESET_BACK, Page::License);
    ExpectPainted(Page::License, painting::LicensePage(), L"license");
    EXPECT_EQ(robot::HeardTexts(wizard.PageWindow()),
              (std::vector<std::wstring>{L"LICENSE AGREEMENT", L"Please read the following license agreement",
                                         L"carefully.", L"LICENSE AGREEMENT",
                                         L"I accept the terms in the license agreement.",
                                         L"I do not accept the terms in the license agreement.", L"Cancel", L"Back",
                                         L"Next"}))
        << "each line once, the agreement's box named by the title, the choices by their captions, everything in the "
           "order of the screen";

    // Where the page paints a line of the expected page, on the screen.
    HWND page = wizard.PageWindow();
    const painting::ExpectedPage expected = painting::LicensePage();
    RECT client{};
    ::GetClientRect(page, &client);
    auto onScreen = [&](const painting::Line& line) {
        POINT p{line.x * client.right / expected.extent.cx, line.y * client.bottom / expected.extent.cy};
        ::ClientToScreen(page, &p);
        return p;
    };
    const POINT accept = onScreen(expected.lines[3]), decline = onScreen(expected.lines[4]);

    // A click on a caption, as the mouse makes it, makes that choice.
    auto click = [](POINT at) {
        // The place goes with each button event, not before them: under Wine the desktop hears
        // of every cursor move from X in its own time and then puts the cursor where X said, so
        // the last click's late move can take a SetCursorPos back before this press.
        const int w = ::GetSystemMetrics(SM_CXSCREEN), h = ::GetSystemMetrics(SM_CYSCREEN);
        INPUT press[2] = {};
        for (INPUT& in : press) {
            in.type = INPUT_MOUSE;
            in.mi.dx = (at.x * 65536 + w - 1) / w;
            in.mi.dy = (at.y * 65536 + h - 1) / h;
        }
        press[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTDOWN;
        press[1].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTUP;
        ::SendInput(2, press, sizeof(INPUT));
    };
    click(POINT{decline.x + 60, decline.y + 6});
    EXPECT_TRUE(robot::WaitUntil([&] { return wizard.IsChecked(IDC_LICENSE_DECLINE); }, 5000))
        << "a click on the decline caption chose nothing";
    click(POINT{accept.x + 120, accept.y + 6});
    EXPECT_TRUE(robot::WaitUntil([&] { return wizard.IsChecked(IDC_LICENSE_ACCEPT); }, 5000))
        << "a click on the accept caption chose nothing";
    EXPECT_FALSE(wizard.IsChecked(IDC_LICENSE_DECLINE));

    // The radio button is too small to show its focus: the page frames the caption beside it.
    // Each Tab waits for the focus to move, so none is pressed past the choice on a slow machine.
    for (int i = 0; i < 6 && ::GetDlgCtrlID(robot::Wizard::FocusIn(page)) != IDC_LICENSE_ACCEPT; ++i) {
        HWND before = robot::Wizard::FocusIn(page);
        robot::Wizard::PressKeyIn(page, VK_TAB);
        robot::WaitUntil([&] { return robot::Wizard::FocusIn(page) != before; }, 5000);
    }
    ASSERT_EQ(::GetDlgCtrlID(robot::Wizard::FocusIn(page)), IDC_LICENSE_ACCEPT);
    robot::Screenshot shot;
    ASSERT_TRUE(Settle(page, &shot));
    shot.SaveBmp(L"page_license_focus.bmp");
    int dark = 0;
    for (int x = accept.x; x < accept.x + 150; ++x) {
        const COLORREF c = shot.At(x, accept.y - 1);
        dark += GetRValue(c) + GetGValue(c) + GetBValue(c) < 150;
    }
    EXPECT_GE(dark, 50) << "no focus seen above the accept caption";
    Leave();
}

// The device check page shows for about two seconds, then, with no handheld, the not-ready page.
TEST_F(PagePainting, DeviceCheckPage)
{
    StartWizard();
    Go(IDOK, Page::Reset);
    Go(IDOK, Page::Select);
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::CheckUSB, 5000)) << "see " << Visible();
    DWORD shown = ::GetTickCount();
    ExpectPainted(Page::CheckUSB, painting::DeviceCheckPage(), L"devicecheck", true);
    std::printf("device check page checked %lu ms after it was seen\n", ::GetTickCount() - shown);
    ASSERT_TRUE(wizard.WaitForPage(Page::NotReady, 10000)) << "see " << Visible();
    Leave();
}

TEST_F(PagePainting, NotReadyPage)
{
    StartWizard();
    Go(IDOK, Page::Reset);
    Go(IDOK, Page::Select);
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::NotReady, 10000)) << "see " << Visible();
    ExpectPainted(Page::NotReady, painting::NotReadyPage(), L"notready");
    ExpectHeard({L"ERROR: CONNECT ERROR", L"Please check the following possible factors:",
                 L"1. Does the Pocket PC connect to the USB", L"    cable properly?",
                 L"2. Does the USB cable connect to the PC", L"    properly?", L"Exit"});
    Leave();
}

// A dark high-contrast scheme for as long as the object lives; the old colours come back.
class DarkScheme {
public:
    DarkScheme()
    {
        for (int i = 0; i < kCount; ++i) m_old[i] = ::GetSysColor(kElements[i]);
        const COLORREF dark[kCount] = {RGB(0, 0, 0), RGB(255, 255, 255), RGB(0, 0, 0), RGB(255, 255, 255)};
        ::SetSysColors(kCount, kElements, dark);
    }
    ~DarkScheme() { ::SetSysColors(kCount, kElements, m_old); }

private:
    static constexpr int kCount = 4;
    static constexpr INT kElements[kCount] = {COLOR_WINDOW, COLOR_WINDOWTEXT, COLOR_BTNFACE, COLOR_BTNTEXT};
    COLORREF m_old[kCount];
};

// In high contrast (here asked for with /highcontrast, since Wine keeps Windows' setting off)
// a page takes the theme's colours: its background, no artwork, every line in the theme's text
// colour, still heard by a screen reader.
TEST_F(PagePainting, HighContrastPagesTakeTheThemesColours)
{
    const DarkScheme scheme;
    StartWizard(WizardPath(), L"/highcontrast");
    HWND page = wizard.PageWindow();
    robot::Screenshot shot;
    ASSERT_TRUE(Settle(page, &shot));
    shot.SaveBmp(L"page_highcontrast.bmp");
    POINT origin{0, 0};
    ::ClientToScreen(page, &origin);
    RECT client{};
    ::GetClientRect(page, &client);
    // Where the picture panel and the page's light background were: the theme's background.
    for (POINT p : {POINT{100, 150}, POINT{client.right - 10, 200}, POINT{5, client.bottom - 5}})
        EXPECT_EQ(shot.At(origin.x + p.x, origin.y + p.y), RGB(0, 0, 0)) << "at " << p.x << "," << p.y;
    // The first line (and the emphasised third) in the theme's text colour.
    for (int top : {15, 85}) {
        int ink = 0;
        for (int y = top; y < top + 16; ++y)
            for (int x = 270; x < 500; ++x) ink += shot.At(origin.x + x, origin.y + y) == RGB(255, 255, 255);
        EXPECT_GT(ink, 100) << "the line at logical y " << top;
    }
    const std::vector<std::wstring> heard = robot::HeardTexts(page);
    ASSERT_FALSE(heard.empty()) << "nothing heard";
    EXPECT_EQ(heard.front(), L"Please follow this step-by-step procedure to");
    Leave();
}

INT_PTR CALLBACK Inert(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// The page template `id` as the program shows it in `language`: the language's own where it
// has one, else the English.
LPCDLGTEMPLATEW TemplateIn(HMODULE program, UINT id, LANGID language)
{
    HRSRC found = ::FindResourceExW(program, RT_DIALOG, MAKEINTRESOURCEW(id), language);
    if (!found) found = ::FindResourceExW(program, RT_DIALOG, MAKEINTRESOURCEW(id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    return found ? static_cast<LPCDLGTEMPLATEW>(::LockResource(::LoadResource(program, found))) : nullptr;
}

// Every line of every page, in each of the six languages, fits where the English one is
// painted: measured with the page's font for that language, at 100 % and at 150 %.
TEST(PageLanguages, EveryLineFitsItsPlaceInEveryLanguage)
{
    struct Language {
        const char* name;
        LANGID id;
        const wchar_t* face;
        BYTE charset;
    };
    const Language languages[] = {
        {"en", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), L"Arial", ANSI_CHARSET},
        {"de", MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), L"Arial", ANSI_CHARSET},
        {"fr", MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH), L"Arial", ANSI_CHARSET},
        {"es", MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN), L"Arial", ANSI_CHARSET},
        {"zh", MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), L"SimSun", GB2312_CHARSET},
        {"ja", MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), L"MS UI Gothic", SHIFTJIS_CHARSET},
    };
    // Each page's template, and its string ids in the order of its expected lines (top down).
    const struct {
        painting::ExpectedPage page;
        UINT templateId;
        std::vector<UINT> ids;
    } pages[] = {
        {painting::WelcomePage(), IDD_WELCOME, {15, 16, 22, 23, 24, 17, 18, 19, 20, 21}},
        {painting::LicensePage(), IDD_LICENSE, {25, 26, 27, 28, 29}},
        {painting::ResetPage(), IDD_RESET, {33, 34, 35, 30, 36, 37, 31, 32}},
        {painting::SelectPage(), IDD_SELECT, {38, 39, 40, 41, 42, 43, 44, 45, 46}},
        {painting::DeviceCheckPage(), IDD_CHECKUSB, {47, 48}},
        {painting::ImagePage(), IDD_IMAGE, {67, 68}},
        {painting::ProgressPage(), IDD_PROGRESS, {49}},
        {painting::EndPage(), IDD_END, {50, 54, 55, 51, 52, 53}},
        {painting::NotReadyPage(), IDD_USBNOTRDY, {61, 56, 57, 58, 59, 60}},
        {painting::WarningPage(), IDD_WARNASYNOPEN, {65, 66, 62, 63, 64}},
    };
    const std::wstring exe = robot::ToWindowsPath(WizardPath());
    HMODULE program = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr) << "cannot read " << std::string(exe.begin(), exe.end());
    HDC dc = ::CreateCompatibleDC(nullptr);
    for (const Language& language : languages) {
        for (const auto& [page, templateId, ids] : pages) {
            ASSERT_EQ(page.lines.size(), ids.size()) << page.name;
            // The page's own client area, from its template: how a logical unit stretches.
            LPCDLGTEMPLATEW found = TemplateIn(program, templateId, language.id);
            ASSERT_NE(found, nullptr) << page.name;
            HWND made = ::CreateDialogIndirectParamW(::GetModuleHandleW(nullptr), found, nullptr, &Inert, 0);
            ASSERT_NE(made, nullptr) << page.name;
            RECT client{};
            ::GetClientRect(made, &client);
            ::DestroyWindow(made);
            const double across = static_cast<double>(client.right) / page.extent.cx;
            const double down = static_cast<double>(client.bottom) / page.extent.cy;
            for (size_t i = 0; i < ids.size(); ++i) {
                const painting::Line& line = page.lines[i];
                // The string in that language, from the program's own resources.
                HRSRC block = ::FindResourceExW(program, RT_STRING, MAKEINTRESOURCEW(ids[i] / 16 + 1), language.id);
                const WORD* p = block ? static_cast<const WORD*>(::LockResource(::LoadResource(program, block))) : nullptr;
                ASSERT_NE(p, nullptr) << language.name << " has no strings of " << page.name;
                for (UINT n = 0; n < ids[i] % 16; ++n) p += 1 + *p;
                const std::wstring text(reinterpret_cast<const wchar_t*>(p + 1), *p);
                EXPECT_FALSE(text.empty()) << language.name << " " << page.name << " line " << i + 1;
                for (double scale : {1.0, 1.5}) {
                    const int height =
                        static_cast<int>((line.font == painting::Font::Small ? 14 : 16) * down * scale + 0.5);
                    HFONT font = ::CreateFontW(height, 0, 0, 0, line.font == painting::Font::Bold ? FW_BOLD : FW_NORMAL,
                                               FALSE, FALSE, FALSE, language.charset, OUT_DEFAULT_PRECIS,
                                               CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_SWISS, language.face);
                    HGDIOBJ old = ::SelectObject(dc, font);
                    SIZE size{};
                    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
                    ::SelectObject(dc, old);
                    ::DeleteObject(font);
                    const double right = line.x + size.cx / (across * scale);
                    EXPECT_LE(right, page.extent.cx - 2)
                        << language.name << " " << page.name << " line " << i + 1 << " at " << scale * 100
                        << " %: \"" << Utf8(text) << "\" ends at " << right << " of " << page.extent.cx;
                }
            }
        }
    }
    ::DeleteDC(dc);
    ::FreeLibrary(program);
}

// The string `id` of the program in `language`, from its resources ("" when it has none).
std::wstring ProgramString(HMODULE program, UINT id, LANGID language)
{
    HRSRC block = ::FindResourceExW(program, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    const WORD* p = block ? static_cast<const WORD*>(::LockResource(::LoadResource(program, block))) : nullptr;
    if (!p) return std::wstring();
    for (UINT n = 0; n < id % 16; ++n) p += 1 + *p;
    return std::wstring(reinterpret_cast<const wchar_t*>(p + 1), *p);
}

// Every control whose words change with the language fits them, in each of the six: the
// buttons on one line, the stall line and the figures line within their places, measured with
// the page's own font at 100 % and 150 %. The East Asian faces Windows has differ from the
// one this prefix stands in with, so their words must leave a tenth of the room free.
TEST(PageLanguages, EveryControlFitsItsWordsInEveryLanguage)
{
    const LANGID languages[] = {
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),         MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN),
        MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH),               MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN),
        MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN),
    };
    const struct {
        UINT templateId;
        int control;
        UINT text;
        bool wraps;  // a static whose words wrap onto its lines
    } controls[] = {
        {IDD_WELCOME, IDOK, IDS_BUTTON_NEXT, false},          {IDD_WELCOME, IDCANCEL, IDS_BUTTON_CANCEL, false},
        {IDD_LICENSE, IDC_LICENSE_BACK, IDS_BUTTON_BACK, false}, {IDD_RESET, IDC_RESET_BACK, IDS_BUTTON_BACK, false},
        {IDD_SELECT, IDC_SELECT_BACK, IDS_BUTTON_BACK, false},   {IDD_SELECT, IDCANCEL, IDS_BUTTON_CANCEL, false},
        {IDD_IMAGE, IDC_IMAGE_FILE, IDS_BUTTON_IMAGE_FILE, false}, {IDD_IMAGE, IDCANCEL, IDS_BUTTON_CANCEL, false},
        {IDD_END, IDOK, IDS_BUTTON_FINISH, false},             {IDD_USBNOTRDY, IDOK, IDS_BUTTON_EXIT, false},
        {IDD_WARNASYNOPEN, IDCANCEL, IDS_BUTTON_OK, false},     {IDD_PROGRESS, IDC_STALL_NOTE, IDS_STALL_NOTE, true},
        {IDD_PROGRESS, IDC_PROGRESS_FIGURES, IDS_FIGURES_LEFT, false},
        {IDD_PROGRESS, IDC_TRANSFER_STOPPED, IDS_TRANSFER_STOPPED, true},
    };
    const std::wstring exe = robot::ToWindowsPath(WizardPath());
    HMODULE program = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);
    HDC dc = ::CreateCompatibleDC(nullptr);
    for (LANGID language : languages) {
        const bool eastAsian = PRIMARYLANGID(language) == LANG_CHINESE || PRIMARYLANGID(language) == LANG_JAPANESE;
        for (const auto& c : controls) {
            LPCDLGTEMPLATEW found = TemplateIn(program, c.templateId, language);
            ASSERT_NE(found, nullptr);
            HWND page = ::CreateDialogIndirectParamW(::GetModuleHandleW(nullptr), found, nullptr, &Inert, 0);
            ASSERT_NE(page, nullptr);
            HWND control = ::GetDlgItem(page, c.control);
            ASSERT_NE(control, nullptr) << c.templateId << "/" << c.control;
            RECT place{};
            ::GetClientRect(control, &place);
            LOGFONTW face{};
            ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(page, WM_GETFONT, 0, 0)), sizeof face, &face);
            ::DestroyWindow(page);
            std::wstring text = ProgramString(program, c.text, language);
            if (c.text == IDS_FIGURES_LEFT) {
                // The longest the figures get: a large image, minutes left.
                std::wstring minutes = ProgramString(program, IDS_TIME_MINUTES, language);
                for (const wchar_t* mark : {L"%1", L"%2"})
                    if (minutes.find(mark) != std::wstring::npos) minutes.replace(minutes.find(mark), 2, L"59");
                for (const auto& [mark, value] : {std::pair<const wchar_t*, std::wstring>{L"%1", L"4095.99"},
                                                  {L"%2", L"4096.00"}, {L"%3", L"12.34"}, {L"%4", minutes}})
                    if (text.find(mark) != std::wstring::npos) text.replace(text.find(mark), 2, value);
            }
            if (c.text == IDS_TRANSFER_STOPPED) {
                // The longest it gets: a large image, the longest of the reasons.
                std::wstring why;
                for (UINT reason = IDS_STOPPED_UNPLUGGED; reason <= IDS_STOPPED_UNREADABLE; ++reason) {
                    const std::wstring words = ProgramString(program, reason, language);
                    if (words.size() > why.size()) why = words;
                }
                for (const auto& [mark, value] : {std::pair<const wchar_t*, std::wstring>{L"%1", L"8388607"},
                                                  {L"%2", L"8388608"}, {L"%3", L"4095.99"}, {L"%4", L"4096.00"},
                                                  {L"%5", why}})
                    if (text.find(mark) != std::wstring::npos) text.replace(text.find(mark), 2, value);
            }
            ASSERT_FALSE(text.empty()) << language << " has no string " << c.text;
            for (double scale : {1.0, 1.5}) {
                LOGFONTW scaled = face;
                scaled.lfHeight = static_cast<LONG>(face.lfHeight * scale);
                GdiObject<HFONT> font(::CreateFontIndirectW(&scaled));
                const SelectObjectGuard select(dc, font.get());
                // Buttons keep a margin inside their frame.
                const bool button = !c.wraps && c.control != IDC_PROGRESS_FIGURES;
                const int room = static_cast<int>(place.right * scale) - (button ? 8 : 0);
                const int usable = eastAsian ? room * 9 / 10 : room;
                RECT need{0, 0, usable, 0};
                ::DrawTextW(dc, text.c_str(), -1, &need,
                            DT_CALCRECT | DT_NOPREFIX | (c.wraps ? DT_WORDBREAK : DT_SINGLELINE));
                const std::string where = "language " + std::to_string(language) + ", template " +
                                          std::to_string(c.templateId) + ", control " + std::to_string(c.control) +
                                          " at " + std::to_string(static_cast<int>(scale * 100)) + " %: \"" +
                                          Utf8(text) + "\"";
                EXPECT_LE(need.right, usable) << where << " needs " << need.right << " of " << usable << " px";
                if (c.wraps) {
                    EXPECT_LE(need.bottom, static_cast<int>(place.bottom * scale))
                        << where << " needs " << need.bottom << " px high";
                }
            }
        }
    }
    ::DeleteDC(dc);
    ::FreeLibrary(program);
}

}  // namespace
