// The page painter: every page paints its artwork bitmap stretched over the client area and
// its instruction lines on top, from one row of data per page.
#pragma once
#include <windows.h>
#include <cstddef>

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

struct PageRow {
    UINT bitmapId;
    SIZE extent;  // logical extent mapped onto the whole client area
    const TextLine* lines;
    size_t lineCount;
};

template <size_t N>
constexpr PageRow MakeRow(UINT bitmapId, SIZE extent, const TextLine (&lines)[N])
{
    return PageRow{bitmapId, extent, lines, N};
}

// Paints `wnd` (inside its WM_PAINT) with `row`. Returns false when the bitmap could not be
// loaded; the page then shows only its controls and no text.
bool PaintPage(HWND wnd, const PageRow& row);

// The rows of the ten pages.
extern const PageRow kWelcomeRow, kLicenseRow, kResetRow, kSelectRow, kCheckUSBRow, kImageRow, kProgressRow, kEndRow,
    kUSBnotRdyRow, kWarnASynOpenRow;
