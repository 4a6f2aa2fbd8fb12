// artgen: draws the wizard's page pictures and application icon.
//
// A small, deterministic generator built with the native host compiler (see
// make-art.sh). Everything is drawn with a handful of primitives into an
// in-memory, supersampled RGB raster, resolved to 8-bit RGB, quantised to a
// 256-entry palette and written as uncompressed BMP / ICO files.
//
//   artgen <outdir>          write all pictures into <outdir>
//   artgen --check <dir>     verify the files in <dir>
//
// Only the C++ standard library is used.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// ---------------------------------------------------------------------------
// Colours, points, shapes, paints
// ---------------------------------------------------------------------------

struct Col {
    double r, g, b;
};

constexpr Col rgb(int r, int g, int b) { return {double(r), double(g), double(b)}; }

Col mix(const Col& a, const Col& b, double t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

struct Pt {
    double x, y;
};

Pt operator+(Pt a, Pt b) { return {a.x + b.x, a.y + b.y}; }
Pt operator-(Pt a, Pt b) { return {a.x - b.x, a.y - b.y}; }
Pt operator*(Pt a, double k) { return {a.x * k, a.y * k}; }

Pt unit(Pt a)
{
    double l = std::sqrt(a.x * a.x + a.y * a.y);
    return l > 0 ? Pt{a.x / l, a.y / l} : Pt{0, 0};
}

Pt perp(Pt a) { return {-a.y, a.x}; }

struct Box {
    double x0, y0, x1, y1;
};

struct Shape {
    Box box;
    std::function<bool(double, double)> in;
};

Shape rect(double x0, double y0, double x1, double y1)
{
    return {{x0, y0, x1, y1}, [=](double x, double y) { return x >= x0 && x < x1 && y >= y0 && y < y1; }};
}

Shape rrect(double x0, double y0, double x1, double y1, double r)
{
    r = std::min(r, std::min((x1 - x0) / 2, (y1 - y0) / 2));
    return {{x0, y0, x1, y1}, [=](double x, double y) {
                if (x < x0 || x >= x1 || y < y0 || y >= y1) return false;
                double cx = std::clamp(x, x0 + r, x1 - r);
                double cy = std::clamp(y, y0 + r, y1 - r);
                double dx = x - cx, dy = y - cy;
                return dx * dx + dy * dy <= r * r;
            }};
}

Shape ellipse(double cx, double cy, double rx, double ry)
{
    return {{cx - rx, cy - ry, cx + rx, cy + ry}, [=](double x, double y) {
                double dx = (x - cx) / rx, dy = (y - cy) / ry;
                return dx * dx + dy * dy <= 1.0;
            }};
}

Shape circle(double cx, double cy, double r) { return ellipse(cx, cy, r, r); }
Shape circle(Pt c, double r) { return ellipse(c.x, c.y, r, r); }

double segDist2(Pt p, Pt a, Pt b)
{
    Pt ab = b - a, ap = p - a;
    double l2 = ab.x * ab.x + ab.y * ab.y;
    double t = l2 > 0 ? std::clamp((ap.x * ab.x + ap.y * ab.y) / l2, 0.0, 1.0) : 0.0;
    Pt q = a + ab * t;
    double dx = p.x - q.x, dy = p.y - q.y;
    return dx * dx + dy * dy;
}

// Thick polyline with round caps and joins.
Shape stroke(std::vector<Pt> pts, double w, bool closed = false)
{
    if (closed && !pts.empty()) pts.push_back(pts.front());
    double h = w / 2;
    Box b{1e9, 1e9, -1e9, -1e9};
    for (const Pt& p : pts) {
        b.x0 = std::min(b.x0, p.x - h);
        b.y0 = std::min(b.y0, p.y - h);
        b.x1 = std::max(b.x1, p.x + h);
        b.y1 = std::max(b.y1, p.y + h);
    }
    double h2 = h * h;
    return {b, [pts, h2](double x, double y) {
                Pt p{x, y};
                if (pts.size() == 1) return segDist2(p, pts[0], pts[0]) <= h2;
                for (size_t i = 0; i + 1 < pts.size(); ++i)
                    if (segDist2(p, pts[i], pts[i + 1]) <= h2) return true;
                return false;
            }};
}

Shape line(Pt a, Pt b, double w) { return stroke({a, b}, w); }

// Filled polygon, even-odd rule.
Shape polygon(std::vector<Pt> pts)
{
    Box b{1e9, 1e9, -1e9, -1e9};
    for (const Pt& p : pts) {
        b.x0 = std::min(b.x0, p.x);
        b.y0 = std::min(b.y0, p.y);
        b.x1 = std::max(b.x1, p.x);
        b.y1 = std::max(b.y1, p.y);
    }
    return {b, [pts](double x, double y) {
                bool inside = false;
                size_t n = pts.size();
                for (size_t i = 0, j = n - 1; i < n; j = i++) {
                    const Pt& a = pts[i];
                    const Pt& c = pts[j];
                    if ((a.y > y) != (c.y > y)) {
                        double xi = a.x + (y - a.y) * (c.x - a.x) / (c.y - a.y);
                        if (x < xi) inside = !inside;
                    }
                }
                return inside;
            }};
}

Shape minus(Shape a, Shape b)
{
    return {a.box, [a, b](double x, double y) { return a.in(x, y) && !b.in(x, y); }};
}

Shape inter(Shape a, Shape b)
{
    Box bx{std::max(a.box.x0, b.box.x0), std::max(a.box.y0, b.box.y0), std::min(a.box.x1, b.box.x1),
           std::min(a.box.y1, b.box.y1)};
    return {bx, [a, b](double x, double y) { return a.in(x, y) && b.in(x, y); }};
}

Shape ring(Pt c, double r, double w) { return minus(circle(c, r + w / 2), circle(c, r - w / 2)); }

// Linear gradient between two points (solid when both colours are equal).
struct Paint {
    Col c0, c1;
    Pt p0, p1;
    Col at(double x, double y) const
    {
        double dx = p1.x - p0.x, dy = p1.y - p0.y, l2 = dx * dx + dy * dy;
        if (l2 <= 0) return c0;
        double t = ((x - p0.x) * dx + (y - p0.y) * dy) / l2;
        return mix(c0, c1, std::clamp(t, 0.0, 1.0));
    }
};

Paint solid(Col c) { return {c, c, {0, 0}, {0, 0}}; }
Paint vgrad(Col top, Col bottom, double y0, double y1) { return {top, bottom, {0, y0}, {0, y1}}; }

// ---------------------------------------------------------------------------
// Rasters
// ---------------------------------------------------------------------------

struct RGB8 {
    uint8_t r, g, b;
    bool operator==(const RGB8& o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const RGB8& o) const { return !(*this == o); }
};

uint32_t key(RGB8 c) { return (uint32_t(c.r) << 16) | (uint32_t(c.g) << 8) | c.b; }

struct Image {
    int w = 0, h = 0;
    std::vector<RGB8> px;
    Image() = default;
    Image(int w_, int h_, RGB8 fill) : w(w_), h(h_), px(size_t(w_) * h_, fill) {}
    RGB8& at(int x, int y) { return px[size_t(y) * w + x]; }
    const RGB8& at(int x, int y) const { return px[size_t(y) * w + x]; }
};

// Supersampled drawing surface covering image pixels [ox, ox+w) x [oy, oy+h).
// Shapes use image coordinates; pixel (x, y) spans [x, x+1) x [y, y+1).
class Canvas {
public:
    Canvas(int ox, int oy, int w, int h, int ss)
        : ox_(ox), oy_(oy), w_(w), h_(h), ss_(ss), px_(size_t(w) * ss * h * ss, Col{0, 0, 0})
    {
    }

    void fill(const Shape& s, const Paint& p, double alpha = 1.0)
    {
        const int sw = w_ * ss_, sh = h_ * ss_;
        auto lo = [&](double v, double o, int n) {
            return int(std::clamp(std::floor((v - o) * ss_) - 1, 0.0, double(n)));
        };
        auto hi = [&](double v, double o, int n) {
            return int(std::clamp(std::ceil((v - o) * ss_) + 1, 0.0, double(n)));
        };
        int i0 = lo(s.box.x0, ox_, sw), i1 = hi(s.box.x1, ox_, sw);
        int j0 = lo(s.box.y0, oy_, sh), j1 = hi(s.box.y1, oy_, sh);
        for (int j = j0; j < j1; ++j) {
            double y = oy_ + (j + 0.5) / ss_;
            for (int i = i0; i < i1; ++i) {
                double x = ox_ + (i + 0.5) / ss_;
                if (!s.in(x, y)) continue;
                Col& d = px_[size_t(j) * sw + i];
                d = alpha >= 1.0 ? p.at(x, y) : mix(d, p.at(x, y), alpha);
            }
        }
    }

    void fill(const Shape& s, Col c, double alpha = 1.0) { fill(s, solid(c), alpha); }

    // Averages the subsamples and writes the result into img at (ox, oy).
    void resolve(Image& img) const
    {
        const int sw = w_ * ss_;
        const double n = double(ss_) * ss_;
        for (int y = 0; y < h_; ++y)
            for (int x = 0; x < w_; ++x) {
                double r = 0, g = 0, b = 0;
                for (int j = 0; j < ss_; ++j)
                    for (int i = 0; i < ss_; ++i) {
                        const Col& c = px_[size_t(y * ss_ + j) * sw + x * ss_ + i];
                        r += c.r;
                        g += c.g;
                        b += c.b;
                    }
                auto q = [n](double v) { return uint8_t(std::clamp(std::lround(v / n), 0L, 255L)); };
                img.at(ox_ + x, oy_ + y) = {q(r), q(g), q(b)};
            }
    }

private:
    int ox_, oy_, w_, h_, ss_;
    std::vector<Col> px_;
};

// ---------------------------------------------------------------------------
// Palette quantisation (median cut, deterministic)
// ---------------------------------------------------------------------------

struct Indexed {
    std::array<RGB8, 256> pal{};
    std::vector<uint8_t> idx;
};

Indexed quantise(const Image& img, const std::vector<RGB8>& fixed)
{
    struct Entry {
        RGB8 c;
        uint64_t n;
    };
    std::map<uint32_t, uint64_t> hist;
    for (const RGB8& c : img.px) {
        if (std::find(fixed.begin(), fixed.end(), c) == fixed.end()) ++hist[key(c)];
    }
    std::vector<Entry> e;
    for (const auto& [k, n] : hist) e.push_back({{uint8_t(k >> 16), uint8_t(k >> 8), uint8_t(k)}, n});

    Indexed out;
    size_t used = 0;
    for (const RGB8& c : fixed) out.pal[used++] = c;
    const size_t budget = 256 - used;

    auto chan = [](const RGB8& c, int ch) { return ch == 0 ? c.r : ch == 1 ? c.g : c.b; };

    if (e.size() <= budget) {
        for (const Entry& x : e) out.pal[used++] = x.c;
    } else {
        struct Range {
            size_t b, e;
        };
        std::vector<Range> boxes{{0, e.size()}};
        while (boxes.size() < budget) {
            // split the box whose colours carry the largest squared error along one channel
            int best = -1, bestCh = 0;
            double bestErr = 0;
            for (size_t k = 0; k < boxes.size(); ++k) {
                if (boxes[k].e - boxes[k].b < 2) continue;
                for (int ch = 0; ch < 3; ++ch) {
                    double sn = 0, sv = 0, sq = 0;
                    for (size_t i = boxes[k].b; i < boxes[k].e; ++i) {
                        double v = chan(e[i].c, ch), n = double(e[i].n);
                        sn += n;
                        sv += v * n;
                        sq += v * v * n;
                    }
                    double err = sq - sv * sv / sn;
                    if (err > bestErr + 1e-9) {
                        bestErr = err;
                        best = int(k);
                        bestCh = ch;
                    }
                }
            }
            if (best < 0) break;
            Range r = boxes[size_t(best)];
            std::stable_sort(e.begin() + long(r.b), e.begin() + long(r.e),
                             [&](const Entry& a, const Entry& b) { return chan(a.c, bestCh) < chan(b.c, bestCh); });
            uint64_t total = 0, acc = 0;
            for (size_t i = r.b; i < r.e; ++i) total += e[i].n;
            size_t split = r.b + 1;
            for (size_t i = r.b; i + 1 < r.e; ++i) {
                acc += e[i].n;
                split = i + 1;
                if (acc * 2 >= total) break;
            }
            boxes[size_t(best)] = {r.b, split};
            boxes.push_back({split, r.e});
        }
        for (const Range& r : boxes) {
            double sr = 0, sg = 0, sb = 0, sn = 0;
            for (size_t i = r.b; i < r.e; ++i) {
                sr += double(e[i].c.r) * double(e[i].n);
                sg += double(e[i].c.g) * double(e[i].n);
                sb += double(e[i].c.b) * double(e[i].n);
                sn += double(e[i].n);
            }
            out.pal[used++] = {uint8_t(std::lround(sr / sn)), uint8_t(std::lround(sg / sn)),
                               uint8_t(std::lround(sb / sn))};
        }
    }
    for (size_t i = used; i < 256; ++i) out.pal[i] = {0, 0, 0};

    std::unordered_map<uint32_t, uint8_t> cache;
    out.idx.resize(img.px.size());
    for (size_t p = 0; p < img.px.size(); ++p) {
        const RGB8 c = img.px[p];
        auto it = cache.find(key(c));
        if (it == cache.end()) {
            size_t bi = 0;
            long bd = -1;
            for (size_t i = 0; i < used; ++i) {
                long dr = long(c.r) - out.pal[i].r, dg = long(c.g) - out.pal[i].g, db = long(c.b) - out.pal[i].b;
                long d = dr * dr + dg * dg + db * db;
                if (bd < 0 || d < bd) {
                    bd = d;
                    bi = i;
                }
            }
            it = cache.emplace(key(c), uint8_t(bi)).first;
        }
        out.idx[p] = it->second;
    }
    return out;
}

// ---------------------------------------------------------------------------
// File writers
// ---------------------------------------------------------------------------

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint32_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

void put32(Bytes& b, uint32_t v)
{
    put16(b, v & 0xffff);
    put16(b, v >> 16);
}

void infoHeader(Bytes& b, int w, int h, int bpp, uint32_t sizeImage, uint32_t clrUsed)
{
    put32(b, 40);
    put32(b, uint32_t(w));
    put32(b, uint32_t(h));
    put16(b, 1);
    put16(b, uint32_t(bpp));
    put32(b, 0);  // BI_RGB
    put32(b, sizeImage);
    put32(b, 2835);
    put32(b, 2835);
    put32(b, clrUsed);
    put32(b, 0);
}

bool writeFile(const std::string& path, const Bytes& b)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    f.close();
    if (!f) {
        std::fprintf(stderr, "artgen: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

bool writeBmp8(const std::string& path, const Image& img, const std::vector<RGB8>& fixed)
{
    Indexed q = quantise(img, fixed);
    const uint32_t stride = (uint32_t(img.w) + 3) & ~3u;
    const uint32_t sizeImage = stride * uint32_t(img.h);
    const uint32_t off = 14 + 40 + 256 * 4;
    Bytes b;
    b.push_back('B');
    b.push_back('M');
    put32(b, off + sizeImage);
    put32(b, 0);
    put32(b, off);
    infoHeader(b, img.w, img.h, 8, sizeImage, 256);
    for (const RGB8& c : q.pal) {
        b.push_back(c.b);
        b.push_back(c.g);
        b.push_back(c.r);
        b.push_back(0);
    }
    for (int y = img.h - 1; y >= 0; --y) {
        for (int x = 0; x < img.w; ++x) b.push_back(q.idx[size_t(y) * img.w + x]);
        for (uint32_t x = uint32_t(img.w); x < stride; ++x) b.push_back(0);
    }
    return writeFile(path, b);
}

void rows24(Bytes& b, const Image& img)
{
    const uint32_t stride = (uint32_t(img.w) * 3 + 3) & ~3u;
    for (int y = img.h - 1; y >= 0; --y) {
        for (int x = 0; x < img.w; ++x) {
            const RGB8& c = img.at(x, y);
            b.push_back(c.b);
            b.push_back(c.g);
            b.push_back(c.r);
        }
        for (uint32_t x = uint32_t(img.w) * 3; x < stride; ++x) b.push_back(0);
    }
}

bool writeBmp24(const std::string& path, const Image& img)
{
    const uint32_t stride = (uint32_t(img.w) * 3 + 3) & ~3u;
    const uint32_t sizeImage = stride * uint32_t(img.h);
    Bytes b;
    b.push_back('B');
    b.push_back('M');
    put32(b, 54 + sizeImage);
    put32(b, 0);
    put32(b, 54);
    infoHeader(b, img.w, img.h, 24, sizeImage, 0);
    rows24(b, img);
    return writeFile(path, b);
}

bool writeIco24(const std::string& path, const Image& img)
{
    const uint32_t xorSize = ((uint32_t(img.w) * 3 + 3) & ~3u) * uint32_t(img.h);
    const uint32_t andStride = ((uint32_t(img.w) + 31) / 32) * 4;
    const uint32_t andSize = andStride * uint32_t(img.h);
    const uint32_t resSize = 40 + xorSize + andSize;
    Bytes b;
    put16(b, 0);  // reserved
    put16(b, 1);  // icon
    put16(b, 1);  // one image
    b.push_back(uint8_t(img.w));
    b.push_back(uint8_t(img.h));
    b.push_back(0);  // no palette
    b.push_back(0);
    put16(b, 1);   // planes
    put16(b, 24);  // bits per pixel
    put32(b, resSize);
    put32(b, 6 + 16);
    infoHeader(b, img.w, img.h * 2, 24, xorSize + andSize, 0);
    rows24(b, img);
    b.insert(b.end(), andSize, 0);  // all opaque
    return writeFile(path, b);
}

// ---------------------------------------------------------------------------
// Page layout and palette of the drawings
// ---------------------------------------------------------------------------

constexpr int kPageW = 599, kPageH = 357;
constexpr int kPanelX0 = 12, kPanelY0 = 13, kPanelX1 = 251, kPanelY1 = 332;  // inclusive
constexpr int kStatusW = 600, kStatusH = 150;

constexpr RGB8 kPageBg{181, 214, 213};
constexpr RGB8 kPanelBorder{4, 8, 11};
constexpr RGB8 kMarkGrey{212, 210, 205};
constexpr RGB8 kStatusBg{177, 212, 215};

struct Mark {
    int x0, y0, x1, y1;  // inclusive bounds
};
constexpr Mark kMarks[2] = {{267, 245, 287, 264}, {267, 271, 286, 291}};

const Col kPanelTop = rgb(236, 245, 246);
const Col kPanelBottom = rgb(200, 224, 228);
const Col kOutline = rgb(34, 40, 52);
const Col kBodyTop = rgb(98, 112, 136);
const Col kBodyBottom = rgb(68, 80, 100);
const Col kBezel = rgb(22, 26, 34);
const Col kSilver = rgb(196, 203, 214);
const Col kSilverDark = rgb(122, 132, 148);
const Col kButton = rgb(126, 140, 164);
const Col kButtonDark = rgb(60, 70, 88);
const Col kOrange = rgb(243, 144, 30);
const Col kYellow = rgb(255, 212, 72);
const Col kGreen = rgb(46, 170, 84);
const Col kGreenDark = rgb(26, 118, 58);
const Col kRed = rgb(214, 44, 48);
const Col kBlue = rgb(44, 120, 214);
const Col kTitleBlue = rgb(38, 88, 166);
const Col kWhite = rgb(255, 255, 255);
const Col kShadow = rgb(30, 60, 70);
const Col kTextDark = rgb(88, 102, 122);
const Col kTextLight = rgb(150, 164, 182);
const Col kCable = rgb(52, 58, 70);

// Panel interior canvas with the soft banded gradient already painted.
Canvas panelCanvas()
{
    const int x0 = kPanelX0 + 1, y0 = kPanelY0 + 1;
    const int w = kPanelX1 - kPanelX0 - 1, h = kPanelY1 - kPanelY0 - 1;
    Canvas c(x0, y0, w, h, 4);
    const int bands = 16;
    for (int i = 0; i < bands; ++i) {
        int a = y0 + h * i / bands, b = y0 + h * (i + 1) / bands;
        c.fill(rect(x0, a, x0 + w, b), mix(kPanelTop, kPanelBottom, (i + 0.5) / bands));
    }
    return c;
}

Image composePage(const Canvas& c)
{
    Image img(kPageW, kPageH, kPageBg);
    for (int x = kPanelX0; x <= kPanelX1; ++x) {
        img.at(x, kPanelY0) = kPanelBorder;
        img.at(x, kPanelY1) = kPanelBorder;
    }
    for (int y = kPanelY0; y <= kPanelY1; ++y) {
        img.at(kPanelX0, y) = kPanelBorder;
        img.at(kPanelX1, y) = kPanelBorder;
    }
    c.resolve(img);
    return img;
}

bool inMarkDisc(const Mark& m, int x, int y)
{
    double cx = (m.x0 + m.x1) / 2.0, cy = (m.y0 + m.y1) / 2.0;
    double rx = (m.x1 - m.x0 + 1) / 2.0, ry = (m.y1 - m.y0 + 1) / 2.0;
    double dx = (x - cx) / rx, dy = (y - cy) / ry;
    return dx * dx + dy * dy <= 1.0;
}

// ---------------------------------------------------------------------------
// Drawing helpers
// ---------------------------------------------------------------------------

void fillOutlined(Canvas& c, const std::vector<Pt>& pts, Col fill, Col outline, double w)
{
    c.fill(polygon(pts), fill);
    c.fill(stroke(pts, w, true), outline);
}

// Arrow polygon from tail to head.
std::vector<Pt> arrow(Pt tail, Pt head, double shaftW, double headW, double headL)
{
    Pt d = unit(head - tail), n = perp(d);
    Pt base = head - d * headL;
    return {tail + n * (shaftW / 2), base + n * (shaftW / 2), base + n * (headW / 2), head,
            base - n * (headW / 2),  base - n * (shaftW / 2), tail - n * (shaftW / 2)};
}

// Quad along direction d, between distances a and b from origin o, half width hw.
std::vector<Pt> band(Pt o, Pt d, double a, double b, double hw)
{
    Pt n = perp(d);
    return {o + d * a + n * hw, o + d * b + n * hw, o + d * b - n * hw, o + d * a - n * hw};
}

std::vector<Pt> arcPts(Pt c, double rx, double ry, double a0, double a1, int steps)
{
    std::vector<Pt> p;
    for (int i = 0; i <= steps; ++i) {
        double t = (a0 + (a1 - a0) * i / steps) * kPi / 180.0;
        p.push_back({c.x + rx * std::cos(t), c.y + ry * std::sin(t)});
    }
    return p;
}

std::vector<Pt> bezier(Pt p0, Pt p1, Pt p2, Pt p3, int steps, double t0 = 0, double t1 = 1)
{
    std::vector<Pt> p;
    for (int i = 0; i <= steps; ++i) {
        double t = t0 + (t1 - t0) * i / steps, u = 1 - t;
        p.push_back(p0 * (u * u * u) + p1 * (3 * u * u * t) + p2 * (3 * u * t * t) + p3 * (t * t * t));
    }
    return p;
}

std::vector<Pt> star(Pt c, double r0, double r1, int points, double rot = -90)
{
    std::vector<Pt> p;
    for (int i = 0; i < points * 2; ++i) {
        double r = (i % 2) ? r1 : r0;
        double t = (rot + 180.0 * i / points) * kPi / 180.0;
        p.push_back({c.x + r * std::cos(t), c.y + r * std::sin(t)});
    }
    return p;
}

// "USB" drawn with simple strokes; (x, y) is the top left, h the letter height.
void drawUsbWord(Canvas& c, double x, double y, double h, Col col)
{
    const double w = h * 0.16, adv = h * 0.92;
    auto map = [&](std::vector<Pt> pts, double ox) {
        for (Pt& p : pts) p = {x + ox + p.x * h, y + p.y * h};
        return pts;
    };
    std::vector<Pt> u{{0, 0}, {0, 0.62}};
    for (const Pt& p : arcPts({0.33, 0.62}, 0.33, 0.38, 180, 0, 12)) u.push_back(p);
    u.push_back({0.66, 0});
    std::vector<Pt> s = arcPts({0.33, 0.26}, 0.31, 0.24, -25, -270, 16);
    for (const Pt& p : arcPts({0.33, 0.75}, 0.33, 0.25, -90, 155, 16)) s.push_back(p);
    std::vector<Pt> bb{{0, 1}, {0, 0}, {0.36, 0}};
    for (const Pt& p : arcPts({0.36, 0.24}, 0.24, 0.24, -90, 90, 10)) bb.push_back(p);
    bb.push_back({0, 0.48});
    bb.push_back({0.4, 0.48});
    for (const Pt& p : arcPts({0.4, 0.74}, 0.26, 0.26, -90, 90, 10)) bb.push_back(p);
    bb.push_back({0, 1});
    c.fill(stroke(map(u, 0), w), col);
    c.fill(stroke(map(s, adv), w), col);
    c.fill(stroke(map(bb, 2 * adv), w), col);
}

// ---------------------------------------------------------------------------
// The handheld
// ---------------------------------------------------------------------------

enum class Screen { Today, Dark, UsbList, Warning, Done };

struct DeviceOpts {
    Screen screen = Screen::Today;
    bool jogHighlight = false;
    bool resetHighlight = false;
};

constexpr double kDevW = 124, kDevH = 224;

struct Device {
    double x, y, s;
    Pt at(double u, double v) const { return {x + u * s, y + v * s}; }
    Pt jog() const { return at(-1, 76); }
    Pt reset() const { return at(kDevW - 18, kDevH - 12); }
};

void drawTitleBar(Canvas& c, double x0, double y0, double x1, double s)
{
    c.fill(rect(x0, y0, x1, y0 + 11 * s), vgrad(rgb(58, 112, 196), kTitleBlue, y0, y0 + 11 * s));
    c.fill(circle(x0 + 7 * s, y0 + 5.5 * s, 3.2 * s), kWhite, 0.9);
    c.fill(rrect(x1 - 22 * s, y0 + 4 * s, x1 - 5 * s, y0 + 7 * s, 1.5 * s), kWhite, 0.75);
}

void drawMenuBar(Canvas& c, double x0, double y1, double x1, double s)
{
    c.fill(rect(x0, y1 - 10 * s, x1, y1), rgb(214, 224, 236));
    c.fill(rect(x0, y1 - 10 * s, x1, y1 - 9 * s), rgb(170, 184, 204));
    c.fill(rrect(x0 + 5 * s, y1 - 6.5 * s, x0 + 20 * s, y1 - 3.5 * s, 1.5 * s), kTextLight);
    c.fill(rrect(x1 - 16 * s, y1 - 7.5 * s, x1 - 6 * s, y1 - 2.5 * s, 1.5 * s), kTextLight);
}

void drawScreen(Canvas& c, double x0, double y0, double x1, double y1, double s, Screen mode)
{
    const Col bgTop = rgb(234, 243, 251), bgBottom = rgb(194, 219, 240);
    const Shape area = rect(x0, y0, x1, y1);
    switch (mode) {
    case Screen::Today:
    case Screen::Warning: {
        c.fill(area, vgrad(bgTop, bgBottom, y0, y1));
        drawTitleBar(c, x0, y0, x1, s);
        const Col icons[5] = {kOrange, kGreen, kBlue, rgb(150, 92, 190), rgb(30, 160, 170)};
        const double len[5] = {50, 40, 56, 36, 46};
        for (int i = 0; i < 5; ++i) {
            double ry = y0 + 17 * s + i * 20 * s;
            c.fill(rrect(x0 + 6 * s, ry, x0 + 18 * s, ry + 12 * s, 3 * s), icons[i]);
            c.fill(rrect(x0 + 6 * s, ry, x0 + 18 * s, ry + 5 * s, 2 * s), kWhite, 0.25);
            c.fill(rrect(x0 + 24 * s, ry + 1.5 * s, x0 + (24 + len[i]) * s, ry + 5 * s, 1.5 * s), kTextDark);
            c.fill(rrect(x0 + 24 * s, ry + 7.5 * s, x0 + (24 + len[i] * 0.7) * s, ry + 10.5 * s, 1.5 * s), kTextLight);
        }
        drawMenuBar(c, x0, y1, x1, s);
        if (mode == Screen::Warning) {
            c.fill(area, rgb(20, 30, 50), 0.35);
            double cx = (x0 + x1) / 2, cy = (y0 + y1) / 2 + 2 * s;
            c.fill(rrect(cx - 38 * s, cy - 30 * s, cx + 38 * s, cy + 30 * s, 5 * s), rgb(70, 80, 100));
            c.fill(rrect(cx - 37 * s, cy - 29 * s, cx + 37 * s, cy + 29 * s, 4.5 * s), rgb(250, 251, 253));
            std::vector<Pt> tri{{cx, cy - 22 * s}, {cx + 17 * s, cy + 6 * s}, {cx - 17 * s, cy + 6 * s}};
            c.fill(polygon(tri), kYellow);
            c.fill(stroke(tri, 3 * s, true), rgb(200, 130, 20));
            c.fill(line({cx, cy - 12 * s}, {cx, cy - 3 * s}, 3.2 * s), kOutline);
            c.fill(circle(cx, cy + 1.5 * s, 1.8 * s), kOutline);
            c.fill(rrect(cx - 26 * s, cy + 13 * s, cx + 26 * s, cy + 16 * s, 1.5 * s), kRed);
            c.fill(rrect(cx - 18 * s, cy + 20 * s, cx + 18 * s, cy + 23 * s, 1.5 * s), kTextLight);
        }
        break;
    }
    case Screen::Dark: {
        c.fill(area, vgrad(rgb(40, 50, 72), rgb(18, 22, 34), y0, y1));
        const double len[3] = {44, 58, 30};
        for (int i = 0; i < 3; ++i) {
            double ry = y0 + 10 * s + i * 8 * s;
            c.fill(rrect(x0 + 7 * s, ry, x0 + (7 + len[i]) * s, ry + 3 * s, 1.5 * s), rgb(104, 150, 200));
        }
        c.fill(rect(x0 + 7 * s, y0 + 34 * s, x0 + 11 * s, y0 + 38 * s), rgb(230, 236, 245));
        break;
    }
    case Screen::UsbList: {
        c.fill(area, vgrad(bgTop, bgBottom, y0, y1));
        drawTitleBar(c, x0, y0, x1, s);
        const double len[4] = {44, 0, 52, 38};
        for (int i = 0; i < 4; ++i) {
            double ry = y0 + 17 * s + i * 24 * s;
            Shape item = rrect(x0 + 5 * s, ry, x1 - 5 * s, ry + 19 * s, 3 * s);
            if (i == 1) {
                c.fill(rrect(x0 + 4 * s, ry - 1 * s, x1 - 4 * s, ry + 20 * s, 4 * s), rgb(24, 78, 160));
                c.fill(item, vgrad(rgb(70, 146, 232), kBlue, ry, ry + 19 * s));
                drawUsbWord(c, x0 + 13 * s, ry + 4.5 * s, 10 * s, kWhite);
                c.fill(polygon({{x1 - 16 * s, ry + 5 * s}, {x1 - 10 * s, ry + 9.5 * s}, {x1 - 16 * s, ry + 14 * s}}),
                       kWhite);
            } else {
                c.fill(item, rgb(246, 249, 252));
                c.fill(rrect(x0 + 11 * s, ry + 8 * s, x0 + (11 + len[i]) * s, ry + 11.5 * s, 1.5 * s), kTextLight);
            }
        }
        drawMenuBar(c, x0, y1, x1, s);
        break;
    }
    case Screen::Done: {
        c.fill(area, vgrad(bgTop, bgBottom, y0, y1));
        drawTitleBar(c, x0, y0, x1, s);
        c.fill(rrect(x0 + 8 * s, y0 + 22 * s, x0 + 62 * s, y0 + 26 * s, 2 * s), kTextDark);
        c.fill(rrect(x0 + 8 * s, y0 + 31 * s, x0 + 44 * s, y0 + 34.5 * s, 1.75 * s), kTextLight);
        double by = y0 + 46 * s;
        c.fill(rrect(x0 + 8 * s, by, x1 - 8 * s, by + 10 * s, 5 * s), rgb(150, 166, 188));
        c.fill(rrect(x0 + 9 * s, by + 1 * s, x1 - 9 * s, by + 9 * s, 4 * s),
               vgrad(rgb(96, 206, 120), kGreen, by, by + 10 * s));
        c.fill(rrect(x0 + 8 * s, by + 18 * s, x0 + 70 * s, by + 21.5 * s, 1.75 * s), kTextLight);
        c.fill(rrect(x0 + 8 * s, by + 27 * s, x0 + 52 * s, by + 30.5 * s, 1.75 * s), kTextLight);
        drawMenuBar(c, x0, y1, x1, s);
        break;
    }
    }
    // glass reflection
    c.fill(inter(area, polygon({{x0, y0}, {x0 + 60 * s, y0}, {x0, y0 + 78 * s}})), kWhite, 0.12);
}

void drawFloorShadow(Canvas& c, const Device& d)
{
    Pt b = d.at(kDevW / 2, kDevH + 4);
    c.fill(ellipse(b.x, b.y, 70 * d.s, 9 * d.s), kShadow, 0.10);
    c.fill(ellipse(b.x, b.y, 56 * d.s, 6 * d.s), kShadow, 0.10);
}

void drawDevice(Canvas& c, const Device& d, const DeviceOpts& o)
{
    const double s = d.s;
    auto R = [&](double u0, double v0, double u1, double v1, double r) {
        Pt a = d.at(u0, v0), b = d.at(u1, v1);
        return rrect(a.x, a.y, b.x, b.y, r * s);
    };

    // stylus cap in its silo, behind the body
    c.fill(R(kDevW - 27, -7, kDevW - 15, 6, 2.5), kOutline);
    c.fill(R(kDevW - 25.5, -5.5, kDevW - 16.5, 6, 1.5), vgrad(kSilver, kSilverDark, d.y - 6 * s, d.y));

    // jog-wheel on the left side
    if (o.jogHighlight) {
        Pt j = d.jog();
        c.fill(ellipse(j.x, j.y, 20 * s, 30 * s), kYellow, 0.35);
        c.fill(ellipse(j.x, j.y, 14 * s, 23 * s), kYellow, 0.45);
    }
    c.fill(R(-7, 60, 6, 92, 4), kOutline);
    c.fill(R(-5.5, 61.5, 6, 90.5, 3), o.jogHighlight
                                          ? Paint(vgrad(rgb(255, 200, 90), kOrange, d.y + 60 * s, d.y + 92 * s))
                                          : vgrad(kSilver, kSilverDark, d.y + 60 * s, d.y + 92 * s));
    for (int i = 0; i < 6; ++i) {
        double v = 66 + i * 4.5;
        c.fill(line(d.at(-5, v), d.at(-1.5, v), 1.1 * s), o.jogHighlight ? rgb(190, 100, 20) : kSilverDark);
    }

    // body
    c.fill(R(0, 0, kDevW, kDevH, 20), kOutline);
    c.fill(R(2.5, 2.5, kDevW - 2.5, kDevH - 2.5, 17.5), vgrad(kBodyTop, kBodyBottom, d.y, d.y + kDevH * s));
    c.fill(minus(R(2.5, 2.5, kDevW - 2.5, kDevH - 2.5, 17.5), R(4.5, 5, kDevW - 4.5, kDevH - 2.5, 16)),
           rgb(200, 212, 230), 0.45);

    // speaker and LED
    for (int i = 0; i < 4; ++i) {
        double u = 50 + i * 8;
        c.fill(line(d.at(u, 11), d.at(u + 4, 11), 2.2 * s), rgb(44, 52, 66));
    }
    c.fill(circle(d.at(18, 12), 3 * s), rgb(40, 48, 60));
    c.fill(circle(d.at(18, 12), 2 * s), rgb(120, 230, 140));

    // screen
    c.fill(R(9, 21, kDevW - 9, 165, 6), kBezel);
    Pt s0 = d.at(15, 27), s1 = d.at(kDevW - 15, 159);
    drawScreen(c, s0.x, s0.y, s1.x, s1.y, s, o.screen);

    // d-pad and application buttons
    Pt pad = d.at(kDevW / 2, 192);
    c.fill(circle(pad, 16 * s), kOutline);
    c.fill(circle(pad, 14.5 * s), vgrad(rgb(150, 164, 188), kButton, pad.y - 14 * s, pad.y + 14 * s));
    c.fill(circle(pad, 7 * s), kButtonDark);
    c.fill(circle(pad.x, pad.y - 1 * s, 5.5 * s), rgb(80, 92, 112));
    for (double u : {20.0, 38.0, kDevW - 38.0, kDevW - 20.0}) {
        Pt b = d.at(u, 190);
        c.fill(circle(b, 7.5 * s), kOutline);
        c.fill(circle(b, 6.2 * s), vgrad(rgb(150, 164, 188), kButton, b.y - 6 * s, b.y + 6 * s));
    }

    // reset hole
    Pt r = d.reset();
    if (o.resetHighlight) {
        c.fill(circle(r, 7 * s), kYellow, 0.6);
        c.fill(ring(r, 5.5 * s, 2 * s), kOrange);
    }
    c.fill(circle(r, 2.6 * s), rgb(160, 172, 190));
    c.fill(circle(r, 1.8 * s), kBezel);

    // sync / USB socket on the bottom edge
    c.fill(R(kDevW / 2 - 16, kDevH - 3, kDevW / 2 + 16, kDevH + 1.5, 1.5), kBezel);
}

// A PC tower on the right with a USB cable plugged into its side.
struct Tower {
    double x0, y0, x1, y1;
    Pt port() const { return {x0, y1 - 36}; }
};

void drawTower(Canvas& c, const Tower& t)
{
    c.fill(ellipse((t.x0 + t.x1) / 2, t.y1 + 1, (t.x1 - t.x0) * 0.62, 6), kShadow, 0.12);
    c.fill(rrect(t.x0, t.y0, t.x1, t.y1, 7), kOutline);
    c.fill(rrect(t.x0 + 2, t.y0 + 2, t.x1 - 2, t.y1 - 2, 5.5),
           vgrad(rgb(226, 231, 238), rgb(178, 187, 201), t.y0, t.y1));
    c.fill(rect(t.x0 + 2, t.y0 + 8, t.x0 + 6, t.y1 - 8), kWhite, 0.35);
    for (int i = 0; i < 2; ++i) {
        double y = t.y0 + 12 + i * 17;
        c.fill(rrect(t.x0 + 10, y, t.x1 - 10, y + 12, 2), rgb(120, 130, 148));
        c.fill(rrect(t.x0 + 11, y + 1, t.x1 - 11, y + 11, 1.5), rgb(160, 170, 186));
        c.fill(line({t.x0 + 16, y + 6}, {t.x1 - 24, y + 6}, 2), rgb(90, 100, 118));
        c.fill(circle(t.x1 - 17, y + 6, 1.6), rgb(90, 100, 118));
    }
    Pt pw{(t.x0 + t.x1) / 2, t.y0 + 62};
    c.fill(circle(pw, 7.5), rgb(120, 130, 148));
    c.fill(circle(pw, 6), rgb(210, 216, 226));
    c.fill(minus(ring(pw, 3.2, 1.5), polygon({{pw.x - 1.8, pw.y - 5}, {pw.x + 1.8, pw.y - 5}, {pw.x, pw.y}})), kGreen);
    c.fill(line({pw.x, pw.y - 4.2}, {pw.x, pw.y - 1}, 1.5), kGreen);
    for (int i = 0; i < 5; ++i) {
        double y = t.y1 - 58 + i * 6;
        c.fill(line({t.x0 + 14, y}, {t.x1 - 14, y}, 2), rgb(150, 160, 176));
    }
}

// USB plug (type A) lying horizontally, metal end entering at `tip` from the left.
void drawPlug(Canvas& c, Pt tip)
{
    const double y = tip.y;
    c.fill(rrect(tip.x - 14, y - 6, tip.x + 4, y + 6, 1), kOutline);
    c.fill(rect(tip.x - 13, y - 5, tip.x + 4, y + 5), vgrad(rgb(230, 234, 240), rgb(160, 168, 182), y - 5, y + 5));
    c.fill(rect(tip.x - 9, y - 2, tip.x - 6, y), rgb(110, 118, 132));
    c.fill(rect(tip.x - 4, y - 2, tip.x - 1, y), rgb(110, 118, 132));
    c.fill(rrect(tip.x - 40, y - 9, tip.x - 12, y + 9, 3.5), kOutline);
    c.fill(rrect(tip.x - 38.5, y - 7.5, tip.x - 13.5, y + 7.5, 2.5),
           vgrad(rgb(110, 120, 140), rgb(64, 72, 88), y - 8, y + 8));
    for (int i = 0; i < 3; ++i) {
        double x = tip.x - 34 + i * 5;
        c.fill(line({x, y - 4.5}, {x, y + 4.5}, 1.3), rgb(46, 52, 64));
    }
    c.fill(rrect(tip.x - 50, y - 5, tip.x - 38, y + 5, 2.5), kOutline);
}

void drawCable(Canvas& c, const std::vector<Pt>& pts)
{
    c.fill(stroke(pts, 7), kCable);
    std::vector<Pt> hl;
    for (const Pt& p : pts) hl.push_back({p.x - 1, p.y - 1});
    c.fill(stroke(hl, 1.5), rgb(120, 130, 148), 0.6);
}

// Connector head of the cable under the handheld's socket.
void drawSyncHead(Canvas& c, const Device& d)
{
    Pt a = d.at(kDevW / 2 - 13, kDevH + 1), b = d.at(kDevW / 2 + 13, kDevH + 9);
    c.fill(rrect(a.x - 1, a.y - 1, b.x + 1, b.y + 1, 3), kOutline);
    c.fill(rrect(a.x, a.y, b.x, b.y, 2.5), vgrad(rgb(110, 120, 140), rgb(64, 72, 88), a.y, b.y));
    Pt m = d.at(kDevW / 2, kDevH + 9);
    c.fill(rrect(m.x - 6, m.y - 1, m.x + 6, m.y + 6, 2.5), kOutline);
}

void drawUsbSymbol(Canvas& c, Pt o, double k, Col col)
{
    // o is the centre of the bottom dot, k a scale factor
    auto P = [&](double x, double y) { return Pt{o.x + x * k, o.y + y * k}; };
    c.fill(circle(o, 8 * k), col);
    c.fill(line(P(0, 0), P(0, -80), 5 * k), col);
    c.fill(polygon({P(0, -96), P(10, -78), P(-10, -78)}), col);
    c.fill(stroke({P(0, -22), P(-22, -40), P(-22, -52)}, 5 * k), col);
    c.fill(circle(P(-22, -57), 6.5 * k), col);
    c.fill(stroke({P(0, -34), P(22, -52), P(22, -60)}, 5 * k), col);
    Pt sq = P(22, -64);
    c.fill(rect(sq.x - 6 * k, sq.y - 6 * k, sq.x + 6 * k, sq.y + 6 * k), col);
}

void drawHalo(Canvas& c, Pt centre, double r)
{
    c.fill(circle(centre, r), kWhite, 0.30);
    c.fill(circle(centre, r * 0.78), kWhite, 0.20);
}

// ---------------------------------------------------------------------------
// The pages
// ---------------------------------------------------------------------------

Image pageWelcome()
{
    Canvas c = panelCanvas();
    drawHalo(c, {132, 158}, 104);
    // a few soft decorative dots
    c.fill(circle(40, 52, 9), kWhite, 0.55);
    c.fill(circle(222, 76, 6), kWhite, 0.55);
    c.fill(circle(214, 282, 11), kWhite, 0.45);
    c.fill(circle(48, 262, 5), kWhite, 0.55);
    Device d{132 - kDevW / 2, 50, 1.0};
    drawFloorShadow(c, d);
    drawDevice(c, d, {});
    return composePage(c);
}

Image pageReset()
{
    Canvas c = panelCanvas();
    drawHalo(c, {150, 160}, 100);
    Device d{100, 44, 1.0};
    drawFloorShadow(c, d);
    drawDevice(c, d, {Screen::Dark, true, true});

    // "scroll down" arrow beside the jog-wheel
    Pt j = d.jog();
    double ax = j.x - 40;
    fillOutlined(c, arrow({ax, j.y - 34}, {ax, j.y + 36}, 11, 28, 20), kOrange, rgb(180, 90, 10), 2.2);

    // stylus pressing the reset button
    Pt tip = d.reset() + Pt{0.8, 0.8};
    Pt dir = unit({0.45, 1.0});
    Pt n = perp(dir);
    const double L = 70;
    for (int i = 0; i < 3; ++i) {
        double a = (-165 + i * 45) * kPi / 180.0;
        Pt u{std::cos(a), std::sin(a)};
        c.fill(line(tip + u * 10, tip + u * 17, 2.4), kOrange);
    }
    c.fill(polygon(band(tip + Pt{4, 3}, dir, 10, L, 4)), kShadow, 0.15);
    fillOutlined(c, {tip, tip + dir * 12 + n * 3.6, tip + dir * 12 - n * 3.6}, kSilverDark, kOutline, 1.4);
    fillOutlined(c, band(tip, dir, 12, L - 14, 4), kSilver, kOutline, 1.6);
    c.fill(line(tip + dir * 16 + n * 1.5, tip + dir * (L - 18) + n * 1.5, 1.6), kWhite, 0.7);
    const Col cap = rgb(70, 84, 110);
    c.fill(circle(tip + dir * L, 5.2), kOutline);
    fillOutlined(c, band(tip, dir, L - 14, L, 4.4), cap, kOutline, 1.6);
    c.fill(circle(tip + dir * L, 3.6), cap);
    c.fill(polygon(band(tip, dir, L - 13, L, 3.6)), cap);
    return composePage(c);
}

Image pageSelect()
{
    Canvas c = panelCanvas();
    drawHalo(c, {96, 128}, 92);
    drawUsbSymbol(c, {196, 150}, 0.95, rgb(120, 170, 220));

    Device d{30, 26, 0.8};
    Tower t{182, 190, 242, 318};
    drawFloorShadow(c, d);
    Pt plugTip{t.x0 + 3, t.port().y};
    Pt head = d.at(kDevW / 2, kDevH + 15);
    drawCable(c, bezier(head, {head.x, head.y + 60}, {plugTip.x - 110, plugTip.y}, {plugTip.x - 52, plugTip.y}, 48));
    drawPlug(c, plugTip);
    drawTower(c, t);
    drawDevice(c, d, {Screen::UsbList, false, false});
    drawSyncHead(c, d);
    return composePage(c);
}

Image pageEnd()
{
    Canvas c = panelCanvas();
    drawHalo(c, {122, 156}, 100);
    Device d{54, 42, 1.0};
    drawFloorShadow(c, d);
    drawDevice(c, d, {Screen::Done, false, false});

    std::vector<Pt> check{{128, 236}, {163, 273}, {232, 176}};
    c.fill(stroke(check, 34), kShadow, 0.18);
    c.fill(stroke(check, 30), kWhite);
    c.fill(stroke(check, 21), kGreenDark);
    c.fill(stroke(check, 16), kGreen);
    std::vector<Pt> shine{{131, 232}, {162, 265}};
    c.fill(stroke(shine, 3), rgb(150, 230, 170), 0.8);
    return composePage(c);
}

Image pageUsbNotReady()
{
    Canvas c = panelCanvas();
    drawHalo(c, {96, 128}, 92);

    Device d{30, 26, 0.8};
    Tower t{182, 190, 242, 318};
    drawFloorShadow(c, d);
    Pt plugTip{t.x0 + 3, t.port().y};
    Pt head = d.at(kDevW / 2, kDevH + 15);
    std::vector<Pt> partA =
        bezier(head, {head.x, head.y + 26}, {head.x + 1, head.y + 36}, {head.x + 6, head.y + 44}, 24);
    std::vector<Pt> partB = bezier({plugTip.x - 52, plugTip.y}, {plugTip.x - 58, plugTip.y},
                                   {plugTip.x - 66, plugTip.y + 1}, {plugTip.x - 72, plugTip.y + 4}, 10);
    drawCable(c, partA);
    drawCable(c, partB);
    // frayed wire ends
    const Col wires[3] = {rgb(214, 120, 50), rgb(230, 190, 60), rgb(200, 60, 60)};
    Pt ea = partA.back(), da = unit(partA.back() - partA[partA.size() - 2]);
    Pt eb = partB.back(), db = unit(partB.back() - partB[partB.size() - 2]);
    for (int i = 0; i < 3; ++i) {
        double off = (i - 1) * 2.2;
        c.fill(line(ea + perp(da) * off, ea + da * (5 + (i % 2) * 2) + perp(da) * (off * 1.6), 1.6), wires[i]);
        c.fill(line(eb + perp(db) * off, eb + db * (5 + ((i + 1) % 2) * 2) + perp(db) * (off * 1.6), 1.6), wires[i]);
    }
    drawPlug(c, plugTip);
    drawTower(c, t);
    drawDevice(c, d, {Screen::Warning, false, false});
    drawSyncHead(c, d);

    // sparks and red cross at the break
    Pt cx{120, 240};
    c.fill(polygon(star(ea + da * 7, 7, 2.8, 5, -60)), kYellow);
    c.fill(polygon(star(eb + db * 7, 6.5, 2.6, 5, -20)), kYellow);
    c.fill(polygon(star(ea + da * 7, 3, 1.3, 5, -60)), kWhite);
    c.fill(polygon(star(eb + db * 7, 2.8, 1.2, 5, -20)), kWhite);
    const double k = 15;
    std::vector<Pt> s1{cx + Pt{-k, -k}, cx + Pt{k, k}}, s2{cx + Pt{k, -k}, cx + Pt{-k, k}};
    c.fill(circle(cx, 25), kWhite, 0.9);
    c.fill(ring(cx, 24, 3), kRed);
    c.fill(stroke(s1, 8.5), kRed);
    c.fill(stroke(s2, 8.5), kRed);
    return composePage(c);
}

void drawPen(Canvas& c, Pt tip, Pt dir, double L)
{
    Pt n = perp(dir);
    const Col body = rgb(34, 72, 146), bodyDark = rgb(20, 44, 96);
    // shadow on the paper
    c.fill(polygon(band(tip + Pt{5, 6}, dir, 8, L, 5.5)), kShadow, 0.12);
    fillOutlined(c, {tip, tip + dir * 15 + n * 4.6, tip + dir * 15 - n * 4.6}, rgb(226, 186, 84), kOutline, 1.4);
    c.fill(line(tip + dir * 1.5, tip + dir * 9, 1.1), rgb(120, 90, 30));
    fillOutlined(c, band(tip, dir, 15, 24, 5.2), rgb(52, 58, 72), kOutline, 1.5);
    c.fill(circle(tip + dir * L, 6.55), kOutline);
    fillOutlined(c, band(tip, dir, 24, L, 5.8), body, kOutline, 1.5);
    c.fill(circle(tip + dir * L, 5.05), body);
    c.fill(polygon(band(tip, dir, 25, L, 5.05)), body);
    c.fill(line(tip + dir * 26 + n * 2.2, tip + dir * (L - 2) + n * 2.2, 2), rgb(110, 150, 220), 0.8);
    c.fill(line(tip + dir * 26 - n * 3.5, tip + dir * (L - 2) - n * 3.5, 1.5), bodyDark, 0.8);
    c.fill(stroke({tip + dir * (L - 30) - n * 6.5, tip + dir * (L - 4) - n * 6.5}, 2.6), kSilver);
}

Image pageLicense()
{
    Canvas c = panelCanvas();
    drawHalo(c, {130, 160}, 104);

    const double x0 = 46, y0 = 32, x1 = 212, y1 = 300, fold = 24;
    std::vector<Pt> paper{{x0, y0}, {x1 - fold, y0}, {x1, y0 + fold}, {x1, y1}, {x0, y1}};
    std::vector<Pt> shadow;
    for (const Pt& p : paper) shadow.push_back(p + Pt{5, 6});
    c.fill(polygon(shadow), kShadow, 0.16);
    fillOutlined(c, paper, rgb(252, 252, 249), rgb(120, 134, 150), 1.6);
    fillOutlined(c, {{x1 - fold, y0}, {x1, y0 + fold}, {x1 - fold, y0 + fold}}, rgb(214, 224, 234), rgb(120, 134, 150),
                 1.6);

    // heading and text lines
    c.fill(rrect(x0 + 16, y0 + 16, x0 + 104, y0 + 24, 4), kTitleBlue);
    c.fill(rrect(x0 + 16, y0 + 30, x0 + 72, y0 + 34, 2), kTextLight);
    const double lens[14] = {132, 126, 134, 118, 80, 0, 130, 134, 122, 128, 96, 0, 126, 70};
    double y = y0 + 48;
    for (double len : lens) {
        if (len > 0)
            c.fill(rrect(x0 + 16, y, x0 + 16 + len, y + 3.6, 1.8), len < 100 ? kTextLight : rgb(128, 142, 160));
        y += len > 0 ? 10.5 : 7;
    }

    // signature line with a flourish
    const double sy = y1 - 30;
    c.fill(line({x0 + 84, sy}, {x1 - 16, sy}, 1.4), rgb(120, 134, 150));
    std::vector<Pt> sig;
    for (int i = 0; i <= 60; ++i) {
        double t = i / 60.0;
        double xx = x0 + 90 + t * 62;
        double yy = sy - 8 - 6 * std::sin(t * kPi * 3.2) * (1 - 0.5 * t) + t * 3;
        sig.push_back({xx, yy});
    }
    c.fill(stroke(sig, 1.8), rgb(30, 70, 160));

    // seal with ribbons
    Pt sc{x0 + 38, y1 - 26};
    const Col red = rgb(196, 36, 44), redDark = rgb(150, 22, 32), redLight = rgb(226, 72, 76);
    std::vector<Pt> rib1{sc + Pt{-12, 4}, sc + Pt{-2, 6}, sc + Pt{-8, 46}, sc + Pt{-14, 39}, sc + Pt{-22, 44}};
    std::vector<Pt> rib2{sc + Pt{2, 6}, sc + Pt{12, 4}, sc + Pt{22, 42}, sc + Pt{14, 38}, sc + Pt{8, 45}};
    fillOutlined(c, rib1, redDark, rgb(110, 16, 24), 1.2);
    fillOutlined(c, rib2, redDark, rgb(110, 16, 24), 1.2);
    c.fill(polygon(star(sc, 29, 25, 18)), rgb(120, 18, 26));
    c.fill(polygon(star(sc, 27.5, 23.5, 18)), red);
    c.fill(circle(sc, 19), redLight);
    c.fill(ring(sc, 15.5, 1.4), rgb(255, 210, 200), 0.8);
    c.fill(polygon(star(sc, 9, 4, 5)), rgb(255, 226, 160));

    drawPen(c, {x1 - 34, sy - 12}, unit({1.0, -0.78}), 76);
    return composePage(c);
}

Image pageStatus() { return Image(kStatusW, kStatusH, kStatusBg); }

Image appIcon()
{
    Image img(32, 32, {0, 0, 0});
    Canvas c(0, 0, 32, 32, 8);
    c.fill(rect(0, 0, 32, 32), vgrad(rgb(206, 232, 232), rgb(150, 196, 198), 0, 32));
    // handheld
    c.fill(rrect(5, 2, 21, 30.5, 3.2), kOutline);
    c.fill(rrect(6, 3, 20, 29.5, 2.4), vgrad(kBodyTop, kBodyBottom, 3, 29.5));
    c.fill(rect(4.2, 9, 5.5, 13), kSilver);
    c.fill(rect(7.5, 5, 18.5, 21), kBezel);
    c.fill(rect(8.5, 6, 17.5, 20), vgrad(rgb(234, 243, 251), rgb(170, 204, 236), 6, 20));
    c.fill(rect(8.5, 6, 17.5, 8), kTitleBlue);
    c.fill(rect(9.5, 10, 12, 12), kOrange);
    c.fill(rect(13, 10.5, 16.5, 11.5), kTextDark);
    c.fill(rect(9.5, 14, 12, 16), kGreen);
    c.fill(rect(13, 14.5, 16, 15.5), kTextDark);
    c.fill(circle(13, 25, 2.6), rgb(150, 164, 188));
    c.fill(circle(9.2, 25, 1.3), rgb(150, 164, 188));
    c.fill(circle(16.8, 25, 1.3), rgb(150, 164, 188));
    // upgrade arrow
    std::vector<Pt> a = arrow({24.5, 30}, {24.5, 11}, 5.5, 13, 8);
    c.fill(stroke(a, 3.2, true), kWhite);
    c.fill(polygon(a), kWhite);
    c.fill(polygon(a), vgrad(rgb(80, 210, 110), kGreenDark, 11, 30));
    c.resolve(img);
    return img;
}

// ---------------------------------------------------------------------------
// Self-check
// ---------------------------------------------------------------------------

struct Bmp {
    int w = 0, h = 0, bpp = 0;
    Image img;
    size_t palSize = 0;
};

uint32_t rd16(const Bytes& b, size_t o) { return b[o] | (uint32_t(b[o + 1]) << 8); }
uint32_t rd32(const Bytes& b, size_t o) { return rd16(b, o) | (rd16(b, o + 2) << 16); }

bool readAll(const std::string& path, Bytes& out)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

// Parses a 40-byte BITMAPINFOHEADER DIB at `o` (pixels at `bits`); returns an error or "".
std::string parseDib(const Bytes& b, size_t o, size_t bits, int wantBpp, Bmp& out, int heightDiv = 1)
{
    if (b.size() < o + 40) return "truncated header";
    if (rd32(b, o) != 40) return "not a BITMAPINFOHEADER";
    int w = int(rd32(b, o + 4)), h = int(int32_t(rd32(b, o + 8)));
    if (h <= 0) return "not bottom-up";
    h /= heightDiv;
    int bpp = int(rd16(b, o + 14));
    if (rd16(b, o + 12) != 1) return "planes != 1";
    if (rd32(b, o + 16) != 0) return "compressed";
    if (bpp != wantBpp) return "bit depth " + std::to_string(bpp);
    std::vector<RGB8> pal;
    if (bpp == 8) {
        uint32_t used = rd32(b, o + 32);
        if (used != 0 && used != 256) return "palette has " + std::to_string(used) + " entries";
        size_t p = o + 40;
        if (b.size() < p + 1024 || bits < p + 1024) return "palette truncated";
        for (int i = 0; i < 256; ++i) pal.push_back({b[p + i * 4 + 2], b[p + i * 4 + 1], b[p + i * 4]});
        out.palSize = 256;
    }
    const size_t stride = ((size_t(w) * bpp / 8) + 3) & ~size_t(3);
    if (b.size() < bits + stride * size_t(h)) return "pixel data truncated";
    out.w = w;
    out.h = h;
    out.bpp = bpp;
    out.img = Image(w, h, {0, 0, 0});
    for (int y = 0; y < h; ++y) {
        size_t row = bits + stride * size_t(h - 1 - y);
        for (int x = 0; x < w; ++x) {
            if (bpp == 8)
                out.img.at(x, y) = pal[b[row + x]];
            else
                out.img.at(x, y) = {b[row + x * 3 + 2], b[row + x * 3 + 1], b[row + x * 3]};
        }
    }
    return "";
}

std::string readBmp(const std::string& path, int wantBpp, Bmp& out)
{
    Bytes b;
    if (!readAll(path, b)) return "cannot read";
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return "not a BMP";
    if (rd32(b, 2) != b.size()) return "bfSize mismatch";
    return parseDib(b, 14, rd32(b, 10), wantBpp, out);
}

std::string checkPage(const std::string& path, bool license)
{
    Bmp bmp;
    std::string err = readBmp(path, 8, bmp);
    if (!err.empty()) return err;
    if (bmp.w != kPageW || bmp.h != kPageH) return "size " + std::to_string(bmp.w) + "x" + std::to_string(bmp.h);
    const Image& im = bmp.img;
    std::map<uint32_t, int> interior;
    int grey[2] = {0, 0};
    for (int y = 0; y < im.h; ++y)
        for (int x = 0; x < im.w; ++x) {
            RGB8 c = im.at(x, y);
            bool inPanel = x >= kPanelX0 && x <= kPanelX1 && y >= kPanelY0 && y <= kPanelY1;
            bool ringPx = inPanel && (x == kPanelX0 || x == kPanelX1 || y == kPanelY0 || y == kPanelY1);
            if (ringPx) {
                if (c != kPanelBorder) return "border pixel wrong at " + std::to_string(x) + "," + std::to_string(y);
            } else if (inPanel) {
                ++interior[key(c)];
            } else {
                bool ok = c == kPageBg;
                if (license)
                    for (int m = 0; m < 2; ++m) {
                        const Mark& mk = kMarks[m];
                        if (x >= mk.x0 && x <= mk.x1 && y >= mk.y0 && y <= mk.y1 && c == kMarkGrey) {
                            ok = true;
                            ++grey[m];
                        }
                    }
                if (!ok) return "background pixel wrong at " + std::to_string(x) + "," + std::to_string(y);
            }
        }
    if (interior.size() < 16) return "panel looks empty";
    if (license)
        for (int m = 0; m < 2; ++m) {
            const Mark& mk = kMarks[m];
            if (im.at((mk.x0 + mk.x1) / 2, (mk.y0 + mk.y1) / 2) != kMarkGrey || grey[m] < 250)
                return "license mark " + std::to_string(m + 1) + " missing";
        }
    return "";
}

std::string checkStatus(const std::string& path)
{
    Bmp bmp;
    std::string err = readBmp(path, 24, bmp);
    if (!err.empty()) return err;
    if (bmp.w != kStatusW || bmp.h != kStatusH) return "size " + std::to_string(bmp.w) + "x" + std::to_string(bmp.h);
    for (const RGB8& c : bmp.img.px)
        if (c != kStatusBg) return "not plain";
    return "";
}

std::string checkIcon(const std::string& path)
{
    Bytes b;
    if (!readAll(path, b)) return "cannot read";
    if (b.size() < 22 || rd16(b, 0) != 0 || rd16(b, 2) != 1) return "not an icon";
    if (rd16(b, 4) != 1) return "image count " + std::to_string(rd16(b, 4));
    if (b[6] != 32 || b[7] != 32 || rd16(b, 12) != 24) return "directory entry is not 32x32x24";
    uint32_t size = rd32(b, 14), off = rd32(b, 18);
    if (size_t(off) + size != b.size()) return "image size/offset mismatch";
    if (rd32(b, off + 8) != 64) return "DIB height is not 64";
    Bmp bmp;
    std::string err = parseDib(b, off, off + 40, 24, bmp, 2);
    if (!err.empty()) return err;
    if (bmp.w != 32 || bmp.h != 32) return "not 32x32";
    const size_t andOff = off + 40 + 32 * 96;
    if (size != 40 + 32 * 96 + 32 * 4) return "unexpected image size";
    for (size_t i = andOff; i < b.size(); ++i)
        if (b[i] != 0) return "AND mask not opaque";
    std::map<uint32_t, int> cols;
    for (const RGB8& c : bmp.img.px) ++cols[key(c)];
    if (cols.size() < 8) return "icon looks empty";
    return "";
}

int runCheck(const std::string& dir)
{
    int bad = 0;
    auto report = [&](const std::string& name, const std::string& err) {
        if (err.empty()) {
            std::printf("ok    %s\n", name.c_str());
        } else {
            std::printf("FAIL  %s: %s\n", name.c_str(), err.c_str());
            ++bad;
        }
    };
    for (const char* n : {"welcome.bmp", "reset.bmp", "select.bmp", "end.bmp", "usbnotrdy.bmp"})
        report(n, checkPage(dir + "/" + n, false));
    report("license.bmp", checkPage(dir + "/license.bmp", true));
    report("status.bmp", checkStatus(dir + "/status.bmp"));
    report("app.ico", checkIcon(dir + "/app.ico"));
    std::printf(bad ? "artgen check: %d file(s) failed\n" : "artgen check: all files ok\n", bad);
    return bad ? 1 : 0;
}

int generate(const std::string& dir)
{
    const std::vector<RGB8> fixed{kPageBg, kPanelBorder};
    const std::vector<RGB8> fixedLicense{kPageBg, kPanelBorder, kMarkGrey};
    bool ok = true;
    ok &= writeBmp8(dir + "/welcome.bmp", pageWelcome(), fixed);
    ok &= writeBmp8(dir + "/reset.bmp", pageReset(), fixed);
    ok &= writeBmp8(dir + "/select.bmp", pageSelect(), fixed);
    ok &= writeBmp8(dir + "/end.bmp", pageEnd(), fixed);
    ok &= writeBmp8(dir + "/usbnotrdy.bmp", pageUsbNotReady(), fixed);
    Image lic = pageLicense();
    for (const Mark& m : kMarks)
        for (int y = m.y0; y <= m.y1; ++y)
            for (int x = m.x0; x <= m.x1; ++x)
                if (inMarkDisc(m, x, y)) lic.at(x, y) = kMarkGrey;
    ok &= writeBmp8(dir + "/license.bmp", lic, fixedLicense);
    ok &= writeBmp24(dir + "/status.bmp", pageStatus());
    ok &= writeIco24(dir + "/app.ico", appIcon());
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--check") return runCheck(argv[2]);
    if (argc == 2 && argv[1][0] != '-') return generate(argv[1]);
    std::fprintf(stderr, "usage: artgen <outdir> | artgen --check <dir>\n");
    return 2;
}
