// Checks what a wizard page shows on screen against the page's expected row: its artwork
// stretched over the client area, and its text lines in their bands, fonts and colours.
//
// The checker looks only at real screen pixels (a robot::Screenshot of the whole screen) and at
// the page window's geometry (client rectangle, children), so it works on any page of the
// shipped program, whichever road leads there. How to use it from another scenario:
//
//   #include "tests/painting/PagePaintCheck.h"
//   // and add ${CMAKE_SOURCE_DIR}/tests/painting/PagePaintCheck.cpp to the test's sources
//   ASSERT_TRUE(wizard.WaitForPage(robot::Page::Progress));
//   HWND page = wizard.PageWindow();
//   ASSERT_TRUE(robot::WaitPainted(page));
//   robot::Screenshot shot;
//   ASSERT_TRUE(shot.Capture());
//   painting::Verdict v = painting::CheckPagePaint(shot, page, painting::ProgressPage());
//   EXPECT_TRUE(v.ok()) << v.Text();
//   shot.SaveBmp(L"progress.bmp");           // for a human to look at
//
// The expected rows of all ten pages are below (WelcomePage() ... WarningPage()); they are
// written here from the pages' design, never read from the program, so a wrong row in the
// program makes the check fail. A test may also build its own ExpectedPage.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "tools/robot/Robot.h"

namespace painting {

constexpr COLORREF kPageBackground = RGB(181, 214, 213);   // the big artwork outside its picture panel
constexpr COLORREF kPanelBorder = RGB(4, 8, 11);           // 1-pixel frame of the picture panel
constexpr COLORREF kPlainBackground = RGB(177, 212, 215);  // bitmap 170, the small pages' plain artwork
constexpr COLORREF kEmphasis = RGB(240, 50, 70);
constexpr COLORREF kDisc = RGB(212, 210, 205);  // the license artwork's two grey discs

enum class Font { Regular, Bold, Small };  // Arial 16/400, 16/700, 14/400 in logical units
enum class Ink { Black, Emphasis };

struct Line {
    Font font;
    Ink ink;
    int x, y;  // logical units of the page's extent: the top left corner of the text cell
};

// Big artwork: 599x357, the picture panel at x 12..251, y 13..332 with its frame, the page
// background elsewhere. Plain artwork: bitmap 170, 600x150 of kPlainBackground.
enum class Art { Picture, Plain };

struct ExpectedPage {
    std::string name;
    SIZE extent{};  // logical extent mapped onto the whole client area
    Art art = Art::Picture;
    std::wstring artFile;       // Picture: file name in res/art of the bitmap the panel must show
    bool licenseDiscs = false;  // the license artwork: two grey discs beside the radio buttons
    std::vector<Line> lines;
};

ExpectedPage WelcomePage();
ExpectedPage LicensePage();
ExpectedPage ResetPage();
ExpectedPage SelectPage();
ExpectedPage DeviceCheckPage();
ExpectedPage ImagePage();
ExpectedPage ProgressPage();
ExpectedPage EndPage();
ExpectedPage NotReadyPage();
ExpectedPage WarningPage();

// The folder of the artwork files (res/art of the source tree), in the form CTest gives it;
// set at build time. Empty: the panel is not compared with the artwork.
std::wstring ArtFolder();

struct Verdict {
    std::vector<std::string> faults;  // one readable sentence per fault
    std::vector<std::string> notes;   // measurements, for the log
    bool ok() const { return faults.empty(); }
    std::string Text() const;  // all faults and notes, one a line
};

// Checks the page window `page` as `shot` shows it against `expected`:
//  - the background colour exactly, at points the text never covers;
//  - the picture panel's frame at its four edges (searching a pixel or two either side);
//  - the picture panel against the artwork file, sample by sample; the license page's discs;
//  - the plain artwork's colour over the whole client area, edge to edge, away from the text;
//  - each line: ink inside its band; its first glyphs' top 0.5 to 4.5 logical units below y;
//    no ink left of its x; the emphasis colour present in emphasis lines and absent from black
//    ones, black present in black lines and absent from emphasis ones; glyph height and
//    stroke width of its font (16 or 14, bold or not); not running off the page's right edge
//    nor under a control;
//  - no ink in the text column outside the union of the bands (child controls excluded).
// The page must be visible, unobstructed and painted when `shot` was taken, and still there
// when this is called (its geometry is read from the live window).
Verdict CheckPagePaint(const robot::Screenshot& shot, HWND page, const ExpectedPage& expected);

}  // namespace painting
