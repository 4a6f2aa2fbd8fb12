#include "pages/PagePainter.h"
#include "framework/Handles.h"
#include "framework/CString.h"
#include "framework/Language.h"
#include "res/resource.h"
#include <algorithm>
#include <cwchar>
#include <vector>

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

// A face that has the language's glyphs: Arial for the Western languages; for Chinese and
// Japanese the face and character set every Windows with East Asian support has (XP with its
// East Asian pack, and every later Windows).
struct FontFace {
    const wchar_t* name;
    BYTE charset;
};

FontFace FaceFor(LANGID language)
{
    switch (PRIMARYLANGID(language)) {
    case LANG_CHINESE: return {L"SimSun", GB2312_CHARSET};
    case LANG_JAPANESE: return {L"MS UI Gothic", SHIFTJIS_CHARSET};
    default: return {L"Arial", ANSI_CHARSET};
    }
}

GdiObject<HFONT> MakeFont(PageFont font)
{
    const FontMetrics metrics = MetricsOf(font);
    const FontFace face = FaceFor(ProgramLanguage());
    return GdiObject<HFONT>(::CreateFontW(metrics.height, 0, 0, 0, metrics.weight, FALSE, FALSE, FALSE, face.charset,
                                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_SWISS,
                                          face.name));
}

// What the page's text controls do instead of painting: nothing, so the painter's pixels stay.
constexpr wchar_t kStaticProc[] = L"RomUpgradeWizard.StaticProc";

LRESULT CALLBACK UnpaintedText(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    const auto base = reinterpret_cast<WNDPROC>(::GetPropW(wnd, kStaticProc));
    switch (msg) {
    case WM_PAINT: ::ValidateRect(wnd, nullptr); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_NCHITTEST: return HTTRANSPARENT;
    case WM_NCDESTROY:
        ::SetWindowLongPtrW(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(base));
        ::RemovePropW(wnd, kStaticProc);
        break;
    default: break;
    }
    return ::CallWindowProcW(base, wnd, msg, wParam, lParam);
}

bool RowUses(const PageRow& row, PageFont font)
{
    for (size_t i = 0; i < row.lineCount; ++i)
        if (row.lines[i].font == font) return true;
    return false;
}

}  // namespace

namespace {

// Measures the row's lines as the painter lays them out on `page`: the page's mapping, as the
// painter sets it, and each line's font, made once as the lines need it.
class LineLayout {
public:
    LineLayout(HWND page, const PageRow& row) : m_dc(nullptr)  // measures as the screen does
    {
        RECT client;
        ::GetClientRect(page, &client);
        ::SetMapMode(m_dc.get(), MM_ANISOTROPIC);
        ::SetWindowExtEx(m_dc.get(), row.extent.cx, row.extent.cy, nullptr);
        ::SetViewportExtEx(m_dc.get(), client.right, client.bottom, nullptr);
    }
    RECT Place(const TextLine& line, const CString& text)
    {
        GdiObject<HFONT>& font = m_fonts[static_cast<int>(line.font)];
        if (!font) font = MakeFont(line.font);
        SelectObjectGuard selection(m_dc.get(), font.get());
        SIZE size{};
        ::GetTextExtentPoint32W(m_dc.get(), text.GetString(), text.GetLength(), &size);
        POINT corners[2] = {{line.x, line.y}, {line.x + size.cx, line.y + size.cy}};
        ::LPtoDP(m_dc.get(), corners, 2);
        return RECT{corners[0].x, corners[0].y, corners[1].x, corners[1].y};
    }

private:
    MemoryDC m_dc;
    GdiObject<HFONT> m_fonts[3];
};

}  // namespace

RECT PageLineRect(HWND page, const PageRow& row, UINT stringId)
{
    for (size_t i = 0; i < row.lineCount; ++i) {
        if (row.lines[i].stringId != stringId) continue;
        CString text;
        text.LoadString(stringId);
        return LineLayout(page, row).Place(row.lines[i], text);
    }
    return RECT{0, 0, 0, 0};
}

void ExposePageText(HWND page, const PageRow& row, std::initializer_list<UINT> namedByControls)
{
    CString label;
    for (size_t i = 0; i < row.textCount; ++i)
        if (row.texts[i].stringId && label.LoadString(row.texts[i].stringId))
            ::SetDlgItemTextW(page, row.texts[i].controlId, label);

    std::vector<const TextLine*> order;
    for (size_t i = 0; i < row.lineCount; ++i)
        if (std::find(namedByControls.begin(), namedByControls.end(), row.lines[i].stringId) == namedByControls.end())
            order.push_back(&row.lines[i]);
    std::stable_sort(order.begin(), order.end(), [](const TextLine* a, const TextLine* b) {
        return a->y != b->y ? a->y < b->y : a->x < b->x;
    });

    LineLayout layout(page, row);
    HWND after = HWND_TOP;
    CString text;
    for (const TextLine* line : order) {
        text.LoadString(line->stringId);
        const RECT place = layout.Place(*line, text);
        // Transparent: the page's paint is not clipped where the control stands.
        HWND control = ::CreateWindowExW(
            WS_EX_TRANSPARENT, L"STATIC", text.GetString(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, place.left,
            place.top, place.right - place.left, place.bottom - place.top, page,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PAGE_LINE_BASE + line->stringId)),
            ::GetModuleHandleW(nullptr), nullptr);
        if (!control) continue;
        ::SetPropW(control, kStaticProc, reinterpret_cast<HANDLE>(::GetWindowLongPtrW(control, GWLP_WNDPROC)));
        ::SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&UnpaintedText));
        ::SetWindowPos(control, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);
        after = control;
    }
}

bool HighContrast()
{
    HIGHCONTRASTW contrast{sizeof contrast};
    if (::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
        (contrast.dwFlags & HCF_HIGHCONTRASTON))
        return true;
    const wchar_t* line = ::GetCommandLineW();
    return line && std::wcsstr(line, L" /highcontrast") != nullptr;
}

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
    // In high contrast the page takes the theme's colours instead of its artwork.
    const bool plain = HighContrast();
    if (plain) {
        RECT all{0, 0, row.extent.cx, row.extent.cy};
        ::FillRect(hdc, &all, ::GetSysColorBrush(COLOR_WINDOW));
    } else {
        ::BitBlt(hdc, client.left, client.top, info.bmWidth, info.bmHeight, memory.get(), 0, 0, SRCCOPY);
    }

    // Only the fonts this row uses are created; all of them live until the paint ends.
    GdiObject<HFONT> fonts[3];
    for (PageFont f : {PageFont::Regular, PageFont::Bold, PageFont::Small})
        if (f == PageFont::Regular || RowUses(row, f)) fonts[static_cast<int>(f)] = MakeFont(f);

    SelectObjectGuard fontSelection(hdc, fonts[static_cast<int>(PageFont::Regular)].get());
    ::SetBkMode(hdc, TRANSPARENT);
    const COLORREF themeText = ::GetSysColor(COLOR_WINDOWTEXT);
    ::SetTextColor(hdc, plain ? themeText : kTextBlack);

    PageFont currentFont = PageFont::Regular;
    COLORREF currentColor = plain ? themeText : kTextBlack;
    CString text;
    for (size_t i = 0; i < row.lineCount; ++i) {
        const TextLine& line = row.lines[i];
        if (line.font != currentFont) {
            ::SelectObject(hdc, fonts[static_cast<int>(line.font)].get());
            currentFont = line.font;
        }
        const COLORREF color = plain ? themeText : line.color;  // emphasis stays bold
        if (color != currentColor) {
            ::SetTextColor(hdc, color);
            currentColor = color;
        }
        text.LoadString(line.stringId);
        ::TextOutW(hdc, line.x, line.y, text.GetString(), text.GetLength());
    }
    return true;
}
