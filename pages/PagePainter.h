// The page painter: every page paints its artwork bitmap stretched over the client area and
// its instruction lines on top, from one row of data per page.
#pragma once
#include <windows.h>
#include <cstddef>
#include <initializer_list>

enum class PageFont { Regular, Bold, Small };

constexpr COLORREF kTextBlack = RGB(0, 0, 0);
constexpr COLORREF kEmphasis = RGB(240, 50, 70);
constexpr COLORREF kStatusBackground = RGB(177, 212, 215);  // bitmap 170's plain colour

struct TextLine {
    UINT stringId;
    PageFont font;
    COLORREF color;
    int x, y;  // logical units of the row's extent
};

// A control of the page's template whose text is a string of the program's language.
struct ControlText {
    int controlId;
    UINT stringId;
};

struct PageRow {
    UINT bitmapId;
    SIZE extent;  // logical extent mapped onto the whole client area
    const TextLine* lines;
    size_t lineCount;
    const ControlText* texts;
    size_t textCount;
};

template <size_t N, size_t M>
constexpr PageRow MakeRow(UINT bitmapId, SIZE extent, const TextLine (&lines)[N], const ControlText (&texts)[M])
{
    return PageRow{bitmapId, extent, lines, N, texts, M};
}

// Gives every line the row paints a static control of its own on `page`, carrying the same
// text over the same place, in reading order (top to bottom, then left to right) and ahead of
// the page's own controls: a screen reader finds the page's words where the eye does. The
// controls paint nothing and let clicks through, so the page looks exactly as painted. Called
// once, from the page's OnInitDialog. Each control's id is IDC_PAGE_LINE_BASE plus the
// line's string id. The template's own controls get their texts in the program's language.
// Lines in `namedByControls` are left out: a control of the page carries their words already
// (the license page's radio buttons their captions), and a screen reader must hear them once.
void ExposePageText(HWND page, const PageRow& row, std::initializer_list<UINT> namedByControls = {});

// Where the row's line `stringId` lands on `page`, in client coordinates (empty when the row
// has no such line).
RECT PageLineRect(HWND page, const PageRow& row, UINT stringId);

// Whether the pages take the theme's colours instead of their artwork: Windows' high-contrast
// setting is on, or the wizard was started with /highcontrast (for a user who wants it in this
// program alone, or on a system that does not say).
bool HighContrast();

// Paints `wnd` (inside its WM_PAINT) with `row`. Returns false when the bitmap could not be
// loaded; the page then shows only its controls and no text.
bool PaintPage(HWND wnd, const PageRow& row);

// The rows of the ten pages.
extern const PageRow kWelcomeRow, kLicenseRow, kResetRow, kSelectRow, kCheckUSBRow, kImageRow, kProgressRow, kEndRow,
    kUSBnotRdyRow, kWarnASynOpenRow;
