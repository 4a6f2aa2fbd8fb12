#include "tests/painting/PagePaintCheck.h"
#include "res/resource.h"
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

namespace painting {

// ---------------------------------------------------------------------------------------------
// The expected rows, from the pages' design.

namespace {
constexpr SIZE kBig{600, 350};
constexpr Font R = Font::Regular, B = Font::Bold, S = Font::Small;
constexpr Ink K = Ink::Black, E = Ink::Emphasis;

ExpectedPage Big(const char* name, const wchar_t* artFile, std::vector<Line> lines)
{
    ExpectedPage page;
    page.name = name;
    page.extent = kBig;
    page.art = Art::Picture;
    page.artFile = artFile;
    page.lines = std::move(lines);
    return page;
}

ExpectedPage Small(const char* name, SIZE extent, std::vector<Line> lines)
{
    ExpectedPage page;
    page.name = name;
    page.extent = extent;
    page.art = Art::Plain;
    page.lines = std::move(lines);
    return page;
}
}  // namespace

ExpectedPage WelcomePage()
{
    return Big("welcome", L"welcome.bmp",
               {{R, K, 270, 15},
                {R, K, 270, 35},
                {B, E, 270, 85},
                {B, E, 270, 105},
                {B, E, 270, 125},
                {R, K, 270, 190},
                {R, K, 270, 210},
                {R, K, 270, 230},
                {R, K, 270, 250},
                {R, K, 270, 270}});
}

ExpectedPage LicensePage()
{
    ExpectedPage page = Big("license", L"license.bmp",
                            {{R, K, 270, 15}, {R, K, 270, 35}, {R, K, 270, 55}, {S, K, 300, 245}, {S, K, 300, 273}});
    page.licenseDiscs = true;
    return page;
}

ExpectedPage ResetPage()
{
    return Big("reset", L"reset.bmp",
               {{B, E, 270, 15},
                {B, E, 270, 35},
                {B, E, 270, 55},
                {R, K, 270, 115},
                {B, E, 270, 135},
                {B, E, 270, 155},
                {R, K, 270, 195},
                {R, K, 270, 215}});
}

ExpectedPage SelectPage()
{
    return Big("select", L"select.bmp",
               {{R, K, 270, 15},
                {R, K, 270, 35},
                {R, K, 270, 75},
                {R, K, 270, 95},
                {R, K, 270, 150},
                {R, K, 270, 170},
                {R, K, 270, 190},
                {R, K, 270, 210},
                {R, K, 270, 230}});
}

ExpectedPage DeviceCheckPage() { return Small("device check", SIZE{300, 80}, {{R, K, 50, 20}, {R, K, 50, 50}}); }

ExpectedPage ImagePage() { return Big("image file", L"reset.bmp", {{R, K, 270, 15}, {R, K, 270, 35}}); }

ExpectedPage ProgressPage() { return Small("progress", SIZE{350, 150}, {{R, K, 60, 85}}); }

ExpectedPage EndPage()
{
    return Big(
        "end", L"end.bmp",
        {{R, K, 270, 15}, {B, E, 270, 55}, {B, E, 270, 75}, {R, K, 270, 150}, {R, K, 270, 170}, {R, K, 270, 190}});
}

ExpectedPage NotReadyPage()
{
    return Big(
        "not ready", L"usbnotrdy.bmp",
        {{B, E, 270, 15}, {R, K, 270, 100}, {R, K, 270, 140}, {R, K, 270, 160}, {R, K, 270, 190}, {R, K, 270, 210}});
}

ExpectedPage WarningPage()
{
    return Big("warning", L"welcome.bmp",
               {{B, E, 270, 15}, {B, E, 270, 35}, {R, K, 270, 110}, {R, K, 270, 130}, {R, K, 270, 150}});
}

std::wstring ArtFolder()
{
#ifdef PAINTING_ART_DIR
    std::string dir = PAINTING_ART_DIR;
    return robot::ToWindowsPath(std::wstring(dir.begin(), dir.end()));
#else
    return std::wstring();
#endif
}

std::string Verdict::Text() const
{
    std::string text;
    for (const auto& f : faults) text += "FAULT: " + f + "\n";
    for (const auto& n : notes) text += "note: " + n + "\n";
    return text;
}

// ---------------------------------------------------------------------------------------------
// The check.

namespace {

constexpr int kBandPad = 2;          // pixels either side of a band the rounding of the mapping may take
constexpr int kChildPad = 2;         // pixels around a child control its frame or focus may touch
constexpr double kBoldStroke = 1.4;  // stroke width (pixels at scale 1) from which a line is bold

int LineHeight(Font font) { return font == Font::Small ? 14 : 16; }
const char* FontName(Font font) { return font == Font::Bold ? "bold" : font == Font::Small ? "small" : "regular"; }

int R8(COLORREF c) { return GetRValue(c); }
int G8(COLORREF c) { return GetGValue(c); }
int B8(COLORREF c) { return GetBValue(c); }

bool Near(COLORREF a, COLORREF b, int tolerance)
{
    return std::abs(R8(a) - R8(b)) <= tolerance && std::abs(G8(a) - G8(b)) <= tolerance &&
           std::abs(B8(a) - B8(b)) <= tolerance;
}
constexpr COLORREF kTextBlack = RGB(0, 0, 0);

// How far `c` lies from the page background towards the text colour `ink`: 0 to 1.
double Coverage(COLORREF c, COLORREF ink, COLORREF background)
{
    double dr = R8(ink) - R8(background), dg = G8(ink) - G8(background), db = B8(ink) - B8(background);
    double t = ((R8(c) - R8(background)) * dr + (G8(c) - G8(background)) * dg + (B8(c) - B8(background)) * db) /
               (dr * dr + dg * dg + db * db);
    return std::min(1.0, std::max(0.0, t));
}

bool Reddish(COLORREF c) { return R8(c) >= G8(c) + 60 && R8(c) >= B8(c) + 60; }
bool Dark(COLORREF c) { return std::max({R8(c), G8(c), B8(c)}) <= 60; }

std::string Hex(COLORREF c)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "RGB(%d,%d,%d)", R8(c), G8(c), B8(c));
    return buf;
}

template <class... Args>
std::string Say(const char* format, Args... args)
{
    char buf[512];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}

// Logical units of the page's extent to screen pixels, as MM_ANISOTROPIC maps them.
struct Mapping {
    POINT origin{};
    int cw = 0, ch = 0;
    double sx = 1, sy = 1;

    int EdgeX(double lx) const { return origin.x + static_cast<int>(std::floor(lx * sx + 0.5)); }
    int EdgeY(double ly) const { return origin.y + static_cast<int>(std::floor(ly * sy + 0.5)); }
    int CentreX(double lx) const { return origin.x + static_cast<int>(std::floor((lx + 0.5) * sx)); }
    int CentreY(double ly) const { return origin.y + static_cast<int>(std::floor((ly + 0.5) * sy)); }
    double LogicalX(int px) const { return (px - origin.x) / sx; }
    double LogicalY(int py) const { return (py - origin.y) / sy; }
};

struct ChildBox {
    RECT rect;
    int id;
};

// A box of pixels with no ink expected in it: the span of ink found, for the message.
struct InkBox {
    int count = 0;
    int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;
    POINT first{};
    void Add(int x, int y)
    {
        if (count++ == 0) first = {x, y};
        left = std::min(left, x);
        top = std::min(top, y);
        right = std::max(right, x);
        bottom = std::max(bottom, y);
    }
};

class Checker {
public:
    Checker(const robot::Screenshot& shot, HWND page, const ExpectedPage& expected, Verdict& verdict)
        : m_shot(shot), m_page(page), m_expected(expected), m_verdict(verdict)
    {
    }

    void Run()
    {
        RECT client{};
        if (!::IsWindow(m_page) || !::GetClientRect(m_page, &client) || client.right <= 0 || client.bottom <= 0) {
            Fault("the page window is gone or has no client area");
            return;
        }
        m_map.cw = client.right;
        m_map.ch = client.bottom;
        ::ClientToScreen(m_page, &m_map.origin);
        m_map.sx = static_cast<double>(m_map.cw) / m_expected.extent.cx;
        m_map.sy = static_cast<double>(m_map.ch) / m_expected.extent.cy;
        Note(Say("client %dx%d px at (%ld,%ld); %.3f x %.3f px per logical unit", m_map.cw, m_map.ch, m_map.origin.x,
                 m_map.origin.y, m_map.sx, m_map.sy));
        if (m_map.origin.x < 0 || m_map.origin.y < 0 || m_map.origin.x + m_map.cw > m_shot.width ||
            m_map.origin.y + m_map.ch > m_shot.height) {
            Fault("the page's client area is not wholly on the screen");
            return;
        }
        CollectChildren();

        m_background = m_expected.art == Art::Picture ? kPageBackground : kPlainBackground;
        if (m_expected.art == Art::Picture) {
            // The text column: right of the panel, up to the last column the artwork covers.
            m_column = RECT{m_map.EdgeX(254), m_map.origin.y,
                            std::min<LONG>(m_map.EdgeX(598), m_map.origin.x + m_map.cw), m_map.origin.y + m_map.ch};
            CheckPictureBackground();
            CheckPanelFrame();
            CheckPanelArtwork();
            if (m_expected.licenseDiscs) CheckDiscs();
        } else {
            m_column = RECT{m_map.origin.x, m_map.origin.y, m_map.origin.x + m_map.cw, m_map.origin.y + m_map.ch};
            CheckPlainArtwork();
        }
        for (size_t i = 0; i < m_expected.lines.size(); ++i) CheckLine(i);
        CheckNothingOutsideBands();
    }

private:
    void Fault(const std::string& what) { m_verdict.faults.push_back(m_expected.name + ": " + what); }
    void Note(const std::string& what) { m_verdict.notes.push_back(m_expected.name + ": " + what); }

    void CollectChildren()
    {
        for (HWND child = ::GetWindow(m_page, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
            // The controls that carry the painted lines for screen readers paint nothing.
            if (!::IsWindowVisible(child) || ::GetDlgCtrlID(child) >= IDC_PAGE_LINE_BASE) continue;
            RECT r{};
            ::GetWindowRect(child, &r);
            m_children.push_back({r, ::GetDlgCtrlID(child)});
        }
    }

    // Within a child control, or `pad` pixels around it.
    bool InChild(int x, int y, int pad = kChildPad) const
    {
        for (const auto& c : m_children)
            if (x >= c.rect.left - pad && x < c.rect.right + pad && y >= c.rect.top - pad && y < c.rect.bottom + pad)
                return true;
        return false;
    }

    // Parts of the artwork other than the background that may lie in the text column.
    bool InArtMark(int x, int y) const
    {
        if (!m_expected.licenseDiscs) return false;
        double lx = m_map.LogicalX(x), ly = m_map.LogicalY(y);
        return lx >= 265 && lx < 290 && ly >= 243 && ly < 294;
    }

    bool IsInk(int x, int y) const { return m_shot.At(x, y) != m_background; }

    // (a) The page background, exactly, where no text, no control and no panel may be.
    void CheckPictureBackground()
    {
        static const POINT kPoints[] = {
            {5, 100},   {5, 300},   {100, 5},   {200, 5},   {595, 5},   {100, 342}, {200, 342},
            {258, 20},  {258, 150}, {258, 300}, {262, 340}, {450, 330}, {520, 300}, {560, 300},
            {580, 320}, {590, 340}, {595, 345}, {7, 7},     {7, 345},   {255, 345},
        };
        int checked = 0;
        for (POINT p : kPoints) {
            int x = m_map.CentreX(p.x), y = m_map.CentreY(p.y);
            if (InChild(x, y)) continue;
            ++checked;
            COLORREF c = m_shot.At(x, y);
            if (c != kPageBackground)
                Fault(Say("background at logical (%ld,%ld), screen (%d,%d), is %s, not %s", p.x, p.y, x, y,
                          Hex(c).c_str(), Hex(kPageBackground).c_str()));
        }
        if (checked < 12) Fault(Say("only %d background points lie outside the controls", checked));
    }

    // (b) The panel's 1-pixel frame on all four edges; stretching may move it by a pixel.
    void CheckPanelFrame()
    {
        auto findColumn = [&](int x0, int x1, int y) {
            for (int x = x0; x <= x1; ++x)
                if (m_shot.At(x, y) == kPanelBorder) return true;
            return false;
        };
        auto findRow = [&](int y0, int y1, int x) {
            for (int y = y0; y <= y1; ++y)
                if (m_shot.At(x, y) == kPanelBorder) return true;
            return false;
        };
        for (int ly : {30, 100, 170, 240, 310}) {
            int y = m_map.CentreY(ly);
            if (!findColumn(m_map.EdgeX(12) - 2, m_map.EdgeX(13) + 1, y))
                Fault(Say("no panel frame at its left edge (logical x 12) at logical y %d", ly));
            if (!findColumn(m_map.EdgeX(251) - 2, m_map.EdgeX(252) + 1, y))
                Fault(Say("no panel frame at its right edge (logical x 251) at logical y %d", ly));
        }
        for (int lx : {30, 90, 150, 210, 240}) {
            int x = m_map.CentreX(lx);
            if (!findRow(m_map.EdgeY(13) - 2, m_map.EdgeY(14) + 1, x))
                Fault(Say("no panel frame at its top edge (logical y 13) at logical x %d", lx));
            if (!findRow(m_map.EdgeY(332) - 2, m_map.EdgeY(333) + 1, x))
                Fault(Say("no panel frame at its bottom edge (logical y 332) at logical x %d", lx));
        }
    }

    // The panel shows the page's own picture: samples against the artwork file.
    void CheckPanelArtwork()
    {
        std::wstring folder = ArtFolder();
        if (folder.empty() || m_expected.artFile.empty()) return;
        std::wstring path = folder + L"\\" + m_expected.artFile;
        HBITMAP bitmap = static_cast<HBITMAP>(
            ::LoadImageW(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
        if (!bitmap) {
            Fault(Say("cannot load the artwork file %ls", path.c_str()));
            return;
        }
        BITMAP info{};
        ::GetObjectW(bitmap, sizeof info, &info);
        int w = info.bmWidth, h = info.bmHeight;
        std::vector<DWORD> art(static_cast<size_t>(w) * h);
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = -h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        HDC screen = ::GetDC(nullptr);
        int rows = ::GetDIBits(screen, bitmap, 0, h, art.data(), &bi, DIB_RGB_COLORS);
        ::ReleaseDC(nullptr, screen);
        ::DeleteObject(bitmap);
        if (rows != h) {
            Fault(Say("cannot read the artwork file %ls", path.c_str()));
            return;
        }
        auto artAt = [&](int x, int y) {
            DWORD p = art[static_cast<size_t>(y) * w + x];
            return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
        };
        int samples = 0, mismatches = 0;
        std::string first;
        for (int by = 15; by <= 330 && by + 1 < h; by += 5) {
            for (int bx = 14; bx <= 249 && bx + 1 < w; bx += 5) {
                int x = m_map.CentreX(bx), y = m_map.CentreY(by);
                if (InChild(x, y)) continue;
                ++samples;
                COLORREF seen = m_shot.At(x, y);
                bool match = false;
                for (int dy = -1; dy <= 1 && !match; ++dy)
                    for (int dx = -1; dx <= 1 && !match; ++dx) match = artAt(bx + dx, by + dy) == seen;
                if (!match && ++mismatches == 1)
                    first = Say("at picture pixel (%d,%d) the screen shows %s, the artwork %s", bx, by,
                                Hex(seen).c_str(), Hex(artAt(bx, by)).c_str());
            }
        }
        Note(Say("panel against %ls: %d of %d samples differ", m_expected.artFile.c_str(), mismatches, samples));
        if (samples < 1000 || mismatches * 100 > samples)
            Fault(Say("the picture panel does not show %ls: %d of %d samples differ; first %s",
                      m_expected.artFile.c_str(), mismatches, samples, first.c_str()));
    }

    // The license artwork's two grey discs, where the radio buttons sit.
    void CheckDiscs()
    {
        struct Disc {
            int x0, y0, x1, y1;
        };
        for (Disc d : {Disc{267, 245, 287, 264}, Disc{267, 271, 286, 291}}) {
            int found = 0;
            for (int y = m_map.EdgeY(d.y0); y < m_map.EdgeY(d.y1 + 1); ++y)
                for (int x = m_map.EdgeX(d.x0); x < m_map.EdgeX(d.x1 + 1); ++x)
                    if (!InChild(x, y, 0) && m_shot.At(x, y) == kDisc) ++found;
            Note(Say("disc at logical (%d..%d, %d..%d): %d grey pixels beside the controls", d.x0, d.x1, d.y0, d.y1,
                     found));
            if (found < 20)
                Fault(Say("the grey disc at logical x %d..%d, y %d..%d is missing (%d pixels of %s)", d.x0, d.x1, d.y0,
                          d.y1, found, Hex(kDisc).c_str()));
        }
    }

    bool InPaddedBandOfText(int x, int y) const
    {
        for (const Line& line : m_expected.lines)
            if (y >= m_map.EdgeY(line.y) - kBandPad && y < m_map.EdgeY(line.y + LineHeight(line.font)) + kBandPad &&
                x >= m_map.EdgeX(line.x) - kBandPad)
                return true;
        return false;
    }

    // (e) Bitmap 170's colour over the whole client area, edge to edge, away from the text.
    void CheckPlainArtwork()
    {
        std::vector<int> xs{0, 1}, ys{0, 1};
        for (int k = 1; k < 24; ++k) xs.push_back(m_map.cw * k / 24);
        for (int k = 1; k < 12; ++k) ys.push_back(m_map.ch * k / 12);
        xs.insert(xs.end(), {m_map.cw - 2, m_map.cw - 1});
        ys.insert(ys.end(), {m_map.ch - 2, m_map.ch - 1});
        int checked = 0, wrong = 0;
        std::string first;
        for (int cy : ys)
            for (int cx : xs) {
                int x = m_map.origin.x + cx, y = m_map.origin.y + cy;
                if (InChild(x, y) || InPaddedBandOfText(x, y)) continue;
                ++checked;
                COLORREF c = m_shot.At(x, y);
                if (c != kPlainBackground && ++wrong == 1)
                    first = Say("client pixel (%d,%d) is %s", cx, cy, Hex(c).c_str());
            }
        if (wrong)
            Fault(Say("%d of %d samples of the plain artwork are not %s; first: %s", wrong, checked,
                      Hex(kPlainBackground).c_str(), first.c_str()));
        if (checked < 100) Fault(Say("only %d samples of the plain artwork lie away from text and controls", checked));
        // The four corners, where a shrunken or misplaced bitmap shows first.
        for (POINT p :
             {POINT{0, 0}, POINT{m_map.cw - 1, 0}, POINT{0, m_map.ch - 1}, POINT{m_map.cw - 1, m_map.ch - 1}}) {
            COLORREF c = m_shot.At(m_map.origin.x + p.x, m_map.origin.y + p.y);
            if (c != kPlainBackground && !InChild(m_map.origin.x + p.x, m_map.origin.y + p.y))
                Fault(Say("client corner (%ld,%ld) is %s, not the plain artwork", p.x, p.y, Hex(c).c_str()));
        }
    }

    // What one line's band shows.
    struct LineInk {
        InkBox ink;         // ink in the padded band, right of the line's x
        InkBox early;       // ink in the padded band, left of the line's x
        int emphasis = 0;   // pixels of the emphasis colour in the band
        int reddish = 0;    // pixels of any strong red in the band
        int dark = 0;       // near-black pixels in the band
        double stroke = 0;  // median stroke width, pixels at scale 1
        double glyphs = 0;  // height of capitals and ascenders, logical units
    };

    bool Readable(int x, int y) const { return !InChild(x, y) && !InArtMark(x, y); }

    LineInk Measure(const Line& line) const
    {
        LineInk m;
        const int top = m_map.EdgeY(line.y), bottom = m_map.EdgeY(line.y + LineHeight(line.font));
        const int left = m_map.EdgeX(line.x);
        const int from = std::max<int>(left - kBandPad, m_column.left);
        for (int y = top - kBandPad; y < bottom + kBandPad; ++y) {
            for (int x = m_column.left; x < m_column.right; ++x) {
                if (!Readable(x, y) || !IsInk(x, y)) continue;
                if (x < from) {
                    m.early.Add(x, y);
                    continue;
                }
                m.ink.Add(x, y);
                if (y < top || y >= bottom) continue;  // colours are judged in the strict band
                COLORREF c = m_shot.At(x, y);
                if (Near(c, kEmphasis, 8)) ++m.emphasis;
                if (Reddish(c)) ++m.reddish;
                if (Dark(c)) ++m.dark;
            }
        }
        if (!m.ink.count) return m;

        // Stroke width: the median, over the horizontal runs of ink in the band, of the run's
        // coverage. Arial of 16 pixels draws its stems 1 pixel wide, its bold about 2.
        const COLORREF text = line.ink == Ink::Emphasis ? kEmphasis : kTextBlack;
        std::vector<double> runs;
        for (int y = top; y < bottom; ++y) {
            double run = 0;
            for (int x = from; x <= m_column.right; ++x) {
                double a = x < m_column.right && Readable(x, y) ? Coverage(m_shot.At(x, y), text, m_background) : 0;
                if (a > 0.15) {
                    run += a;
                } else if (run > 0) {
                    runs.push_back(run);
                    run = 0;
                }
            }
        }
        std::sort(runs.begin(), runs.end());
        // The font's pixel height follows the vertical scale, and its strokes with it.
        m.stroke = runs.empty() ? 0 : runs[runs.size() / 2] / m_map.sy;

        // Glyph height: from the top of the ink to the baseline, the last row with a quarter as
        // much ink as the busiest row (descenders are few).
        std::vector<int> rows;
        for (int y = m.ink.top; y <= m.ink.bottom; ++y) {
            int n = 0;
            for (int x = from; x < m_column.right; ++x)
                if (Readable(x, y) && IsInk(x, y)) ++n;
            rows.push_back(n);
        }
        int busiest = *std::max_element(rows.begin(), rows.end());
        int baseline = m.ink.top;
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i] * 4 >= busiest) baseline = m.ink.top + static_cast<int>(i) + 1;
        m.glyphs = (baseline - m.ink.top) / m_map.sy;
        return m;
    }

    // (c), (d) One line: ink in its band, in its colour, font and place.
    void CheckLine(size_t index)
    {
        const Line& line = m_expected.lines[index];
        const int h = LineHeight(line.font);
        const int top = m_map.EdgeY(line.y), bottom = m_map.EdgeY(line.y + h);
        const std::string which = Say("line %zu (%s, %s, x %d, y %d)", index + 1, FontName(line.font),
                                      line.ink == Ink::Emphasis ? "emphasis" : "black", line.x, line.y);
        const char* what = which.c_str();
        LineInk m = Measure(line);
        if (m.ink.count < 20) {
            Fault(
                Say("%s: no text in its band (screen rows %d..%d): %d ink pixels", what, top, bottom - 1, m.ink.count));
            return;
        }
        Note(Say("%s: ink at logical x %.0f..%.0f, y %.1f..%.1f; %d emphasis, %d dark pixels; strokes %.2f px; "
                 "glyphs %.1f high",
                 what, m_map.LogicalX(m.ink.left), m_map.LogicalX(m.ink.right), m_map.LogicalY(m.ink.top),
                 m_map.LogicalY(m.ink.bottom), m.emphasis, m.dark, m.stroke, m.glyphs));

        // Place. The top of the tallest glyph lies 2 to 3 logical units below the top of the cell
        // in these fonts: a line drawn a few units too high or too low shows here first.
        double inkTop = m_map.LogicalY(m.ink.top) - line.y;
        if (inkTop < 0.5 || inkTop > 4.5)
            Fault(Say("%s: its text starts %.1f logical units below y, not 0.5 to 4.5: drawn at the wrong y", what,
                      inkTop));
        if (m.early.count)
            Fault(Say("%s: %d ink pixels left of its x, from screen x %d", what, m.early.count, m.early.left));

        // Colour.
        if (line.ink == Ink::Emphasis) {
            if (m.emphasis < 15)
                Fault(
                    Say("%s: the emphasis colour %s is missing (%d pixels)", what, Hex(kEmphasis).c_str(), m.emphasis));
            if (m.dark) Fault(Say("%s: %d black pixels in an emphasis line", what, m.dark));
        } else {
            if (m.reddish) Fault(Say("%s: %d pixels of the emphasis colour in a black line", what, m.reddish));
            if (m.dark < 15) Fault(Say("%s: the line is not black (%d dark pixels)", what, m.dark));
        }

        // Font. Arial's capitals and ascenders stand about 0.62 of the cell height above the baseline.
        if (m.glyphs < 0.57 * h || m.glyphs > 0.69 * h)
            Fault(Say("%s: glyphs %.1f logical units high, not about %.1f: not a %s font of %d", what, m.glyphs,
                      0.625 * h, FontName(line.font), h));
        if (line.font == Font::Bold && m.stroke < kBoldStroke)
            Fault(Say("%s: not bold: its strokes are %.2f px wide", what, m.stroke));
        if (line.font != Font::Bold && m.stroke >= kBoldStroke)
            Fault(Say("%s: bold, not %s: its strokes are %.2f px wide", what, FontName(line.font), m.stroke));

        // Readability. A line that reaches the last pixels of the column runs off the page; a line
        // must not run under a control either.
        if (m.ink.right >= m_column.right - 2)
            Fault(Say("%s: runs to the page's right edge (screen x %d): clipped", what, m.ink.right));
        RECT span{m_map.EdgeX(line.x), top, m.ink.right + 1, bottom}, overlap;
        for (const auto& c : m_children)
            if (::IntersectRect(&overlap, &span, &c.rect)) Fault(Say("%s: runs under control %d", what, c.id));
    }

    // (d) No ink in the text column outside the union of the bands.
    void CheckNothingOutsideBands()
    {
        InkBox stray;
        for (int y = m_column.top; y < m_column.bottom; ++y) {
            bool inBand = false;
            for (const Line& line : m_expected.lines)
                if (y >= m_map.EdgeY(line.y) - kBandPad && y < m_map.EdgeY(line.y + LineHeight(line.font)) + kBandPad)
                    inBand = true;
            if (inBand) continue;
            for (int x = m_column.left; x < m_column.right; ++x)
                if (Readable(x, y) && IsInk(x, y)) stray.Add(x, y);
        }
        if (stray.count)
            Fault(Say("%d ink pixels in the text column outside every line's band, within logical x %.0f..%.0f, "
                      "y %.1f..%.1f (first at screen (%ld,%ld), %s)",
                      stray.count, m_map.LogicalX(stray.left), m_map.LogicalX(stray.right), m_map.LogicalY(stray.top),
                      m_map.LogicalY(stray.bottom), stray.first.x, stray.first.y,
                      Hex(m_shot.At(stray.first.x, stray.first.y)).c_str()));
    }

    const robot::Screenshot& m_shot;
    HWND m_page;
    const ExpectedPage& m_expected;
    Verdict& m_verdict;
    Mapping m_map;
    std::vector<ChildBox> m_children;
    COLORREF m_background = 0;
    RECT m_column{};
};

}  // namespace

Verdict CheckPagePaint(const robot::Screenshot& shot, HWND page, const ExpectedPage& expected)
{
    Verdict verdict;
    Checker(shot, page, expected, verdict).Run();
    return verdict;
}

}  // namespace painting
