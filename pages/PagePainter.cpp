#include "pages/PagePainter.h"
#include "framework/Handles.h"
#include "framework/CString.h"

namespace {

struct FontMetrics {
    int height;
    int weight;
};

FontMetrics MetricsOf(PageFont font)
{
    switch (font) {
    case PageFont::Bold: return {16, FW_BOLD};
    case PageFont::Small: return {14, FW_NORMAL};
    case PageFont::Regular: break;
    }
    return {16, FW_NORMAL};
}

GdiObject<HFONT> MakeFont(PageFont font)
{
    FontMetrics metrics = MetricsOf(font);
    return GdiObject<HFONT>(::CreateFontW(metrics.height, 0, 0, 0, metrics.weight, FALSE, FALSE, FALSE, ANSI_CHARSET,
                                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_SWISS,
                                          L"Arial"));
}

bool RowUses(const PageRow& row, PageFont font)
{
    for (size_t i = 0; i < row.lineCount; ++i)
        if (row.lines[i].font == font) return true;
    return false;
}

}  // namespace

bool PaintPage(HWND wnd, const PageRow& row)
{
    CPaintDC dc(wnd);
    HDC hdc = dc.get();

    GdiObject<HBITMAP> bitmap(::LoadBitmapW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(row.bitmapId)));
    if (!bitmap) {
        ::OutputDebugStringA("ERROR: Where's IDB_BITMAP1?\n");
        return false;
    }
    BITMAP info{};
    ::GetObjectW(bitmap.get(), sizeof info, &info);

    MemoryDC memory(nullptr);  // compatible with the screen
    SelectObjectGuard memorySelection(memory.get(), bitmap.get());

    RECT client;
    ::GetClientRect(wnd, &client);
    ::SetMapMode(hdc, MM_ANISOTROPIC);
    ::SetWindowExtEx(hdc, row.extent.cx, row.extent.cy, nullptr);
    ::SetViewportExtEx(hdc, client.right, client.bottom, nullptr);
    ::BitBlt(hdc, client.left, client.top, info.bmWidth, info.bmHeight, memory.get(), 0, 0, SRCCOPY);

    // Only the fonts this row uses are created; all of them live until the paint ends.
    GdiObject<HFONT> fonts[3];
    for (PageFont f : {PageFont::Regular, PageFont::Bold, PageFont::Small})
        if (f == PageFont::Regular || RowUses(row, f)) fonts[static_cast<int>(f)] = MakeFont(f);

    SelectObjectGuard fontSelection(hdc, fonts[static_cast<int>(PageFont::Regular)].get());
    ::SetBkMode(hdc, TRANSPARENT);
    ::SetTextColor(hdc, kTextBlack);

    PageFont currentFont = PageFont::Regular;
    COLORREF currentColor = kTextBlack;
    CString text;
    for (size_t i = 0; i < row.lineCount; ++i) {
        const TextLine& line = row.lines[i];
        if (line.font != currentFont) {
            ::SelectObject(hdc, fonts[static_cast<int>(line.font)].get());
            currentFont = line.font;
        }
        if (line.color != currentColor) {
            ::SetTextColor(hdc, line.color);
            currentColor = line.color;
        }
        text.LoadString(line.stringId);
        ::TextOutW(hdc, line.x, line.y, text.GetString(), text.GetLength());
    }
    return true;
}
