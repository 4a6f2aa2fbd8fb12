// Checks the string resources compiled from res/wizard.rc: the license agreement in fourteen
// parts (exact lengths, line breaks, plain ASCII) and the page texts that follow it.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TestSupport.h"
#include "res/resource.h"

namespace {

constexpr std::array<int, 14> kPartLengths = {437, 406, 301, 779, 217, 587, 470, 369, 755, 867, 854, 984, 1012, 537};
constexpr int kTotalLength = 8575;

// Loads a string resource whole: the zero-length form of LoadStringW returns a pointer into the
// resource itself, so no buffer size can cut a long string short. Sets `found` to whether the
// resource exists (an empty string and a missing one both have length 0).
std::wstring LoadWhole(UINT id, bool* found = nullptr)
{
    const wchar_t* text = nullptr;
    int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (found) *found = text != nullptr && length > 0;
    if (text == nullptr || length <= 0) return std::wstring();
    return std::wstring(text, static_cast<size_t>(length));
}

// One line break: CR LF, or CR LF followed by one more LF.
enum class Break { None, CrLf, CrLfLf };

struct BreakScan {
    bool ok = true;
    std::string error;
    int crlf = 0;
    int crlflf = 0;
};

// Walks the text: every CR must begin "\r\n" or "\r\n\n", no LF may stand anywhere else, and
// every other character must be printable ASCII. Paragraphs may not be empty.
BreakScan ScanBreaks(const std::wstring& s)
{
    BreakScan scan;
    auto fail = [&](size_t at, const char* what) {
        if (scan.ok) scan.error = std::string(what) + " at offset " + std::to_string(at);
        scan.ok = false;
    };
    size_t lineStart = 0;
    for (size_t i = 0; i < s.size();) {
        wchar_t c = s[i];
        if (c == L'\r') {
            if (i + 1 >= s.size() || s[i + 1] != L'\n') {
                fail(i, "bare CR");
                ++i;
                continue;
            }
            if (i == lineStart) fail(i, "empty paragraph");
            if (i + 2 < s.size() && s[i + 2] == L'\n') {
                ++scan.crlflf;
                i += 3;
            } else {
                ++scan.crlf;
                i += 2;
            }
            lineStart = i;
        } else if (c == L'\n') {
            fail(i, "bare LF");
            ++i;
        } else {
            if (c < 0x20 || c > 0x7E) fail(i, "character outside printable ASCII");
            ++i;
        }
    }
    return scan;
}

Break TrailingBreak(const std::wstring& s)
{
    auto endsWith = [&](const wchar_t* tail) {
        std::wstring t(tail);
        return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
    };
    if (endsWith(L"\r\n\n")) return Break::CrLfLf;
    if (endsWith(L"\r\n")) return Break::CrLf;
    return Break::None;
}

TEST(LicenseAgreement, PartsHaveExactLengths)
{
    int total = 0;
    for (UINT id = IDS_AGREEMENT_FIRST; id <= IDS_AGREEMENT_LAST; ++id) {
        bool found = false;
        std::wstring part = LoadWhole(id, &found);
        EXPECT_TRUE(found) << "string " << id << " is missing";
        EXPECT_EQ(static_cast<int>(part.size()), kPartLengths[id - IDS_AGREEMENT_FIRST]) << "string " << id;
        total += static_cast<int>(part.size());
    }
    EXPECT_EQ(total, kTotalLength);
}

TEST(LicenseAgreement, FourteenPartsAndNoMore)
{
    EXPECT_EQ(IDS_AGREEMENT_LAST - IDS_AGREEMENT_FIRST + 1, 14);
    EXPECT_EQ(IDS_AGREEMENT_FIRST, 1);
    bool found = true;
    LoadWhole(0, &found);
    EXPECT_FALSE(found) << "string 0 must not exist";
}

TEST(LicenseAgreement, BufferedLoadMatchesWholeLoad)
{
    // The buffered form copies the text into our buffer; with room to spare it must give back
    // exactly what the resource holds, which also proves the whole text was read.
    for (UINT id = IDS_AGREEMENT_FIRST; id <= IDS_AGREEMENT_LAST; ++id) {
        std::wstring whole = LoadWhole(id);
        wchar_t buffer[2048] = {};
        int length = LoadStringW(GetModuleHandleW(nullptr), id, buffer, 2048);
        ASSERT_EQ(length, static_cast<int>(whole.size())) << "string " << id;
        EXPECT_EQ(std::wstring(buffer, static_cast<size_t>(length)), whole) << "string " << id;
        EXPECT_EQ(buffer[length], L'\0') << "string " << id;
    }
}

TEST(LicenseAgreement, EachPartEndsWithOneLineBreak)
{
    for (UINT id = IDS_AGREEMENT_FIRST; id <= IDS_AGREEMENT_LAST; ++id) {
        std::wstring part = LoadWhole(id);
        EXPECT_TRUE(TrailingBreak(part) != Break::None)
            << "string " << id << " does not end with CR LF: " << Utf8(part);
    }
}

TEST(LicenseAgreement, LineBreaksAreCrLfOrCrLfLfAndTextIsPrintableAscii)
{
    for (UINT id = IDS_AGREEMENT_FIRST; id <= IDS_AGREEMENT_LAST; ++id) {
        std::wstring part = LoadWhole(id);
        BreakScan scan = ScanBreaks(part);
        EXPECT_TRUE(scan.ok) << "string " << id << ": " << scan.error;
    }
}

TEST(LicenseAgreement, EachPartUsesOneKindOfBreakAndBothKindsAppear)
{
    int crlfParts = 0;
    int crlflfParts = 0;
    for (UINT id = IDS_AGREEMENT_FIRST; id <= IDS_AGREEMENT_LAST; ++id) {
        std::wstring part = LoadWhole(id);
        BreakScan scan = ScanBreaks(part);
        Break trailing = TrailingBreak(part);
        EXPECT_GE(scan.crlf + scan.crlflf, 2) << "string " << id << " has no paragraph break";
        if (trailing == Break::CrLf) {
            ++crlfParts;
            EXPECT_EQ(scan.crlflf, 0) << "string " << id << " mixes CR LF and CR LF LF";
        } else if (trailing == Break::CrLfLf) {
            ++crlflfParts;
            EXPECT_EQ(scan.crlf, 0) << "string " << id << " mixes CR LF and CR LF LF";
        }
    }
    EXPECT_GT(crlfParts, 0);
    EXPECT_GT(crlflfParts, 0);
}

TEST(LicenseAgreement, CoversTheRequiredSubjects)
{
    std::wstring all;
    for (UINT id = IDS_AGREEMENT_FIRST; id <= IDS_AGREEMENT_LAST; ++id) all += LoadWhole(id);
    std::string text = Utf8(all);
    for (const char* subject : {"END-USER LICENSE AGREEMENT", "GRANT OF LICENSE", "RESTRICTIONS", "reverse engineer",
                                "separately from the Device", "OWNERSHIP", "UPGRADE RISKS AND BACKUP", "WILL BE ERASED",
                                "backup", "NO WARRANTY", "\"AS IS\"", "LIMITATION OF LIABILITY", "EXPORT",
                                "TERMINATION", "SUPPORT", "GOVERNING TERMS", "ENTIRE AGREEMENT"}) {
        EXPECT_NE(text.find(subject), std::string::npos) << "the agreement lacks \"" << subject << "\"";
    }
    EXPECT_EQ(text.find("placeholder"), std::string::npos);
}

TEST(PageTexts, AllExistAfterTheAgreement)
{
    for (UINT id = IDS_WELCOME_1; id <= IDS_IMAGE_2; ++id) {
        bool found = false;
        std::wstring text = LoadWhole(id, &found);
        EXPECT_TRUE(found) << "string " << id << " is missing";
        for (wchar_t c : text) {
            EXPECT_TRUE(c >= 0x20 && c <= 0x7E) << "string " << id << " holds a control character";
        }
    }
    EXPECT_EQ(IDS_WELCOME_1, IDS_AGREEMENT_LAST + 1);
    EXPECT_EQ(IDS_IMAGE_2, 68);
}

TEST(PageTexts, KeepTheirExactBlanksAndQuotes)
{
    EXPECT_EQ(LoadWhole(15), L"Please follow this step-by-step procedure to");
    EXPECT_EQ(LoadWhole(19), L"    and close all applications on your host PC.");
    EXPECT_EQ(LoadWhole(IDS_LICENSE_1), L"LICENSE AGREEMENT");
    EXPECT_EQ(LoadWhole(IDS_LICENSE_4), L"I accept the terms in the license agreement.");
    EXPECT_EQ(LoadWhole(IDS_LICENSE_5), L"I do not accept the terms in the license agreement.");
    EXPECT_EQ(LoadWhole(32), L"    Mode.");
    EXPECT_EQ(LoadWhole(40), L"2. Select the \"USB\" item by jog-wheel, then");
    EXPECT_EQ(LoadWhole(43), L"DO NOT remove the USB connection or ");
    EXPECT_EQ(LoadWhole(IDS_PROGRESS_1), L"This will take about few minutes.  Please waiting...");
    EXPECT_EQ(LoadWhole(61), L"ERROR: CONNECT ERROR");
    EXPECT_EQ(LoadWhole(66), L"is running on your desktop computer. ");
    EXPECT_EQ(LoadWhole(IDS_IMAGE_2), L"Select Image file for upgrade");
}

// The strings of one block of the string table (16 ids) in one language, empty where the
// block has none; false when the block has no version in that language.
bool BlockIn(WORD block, LANGID language, std::array<std::wstring, 16>* strings)
{
    const HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC found = ::FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(block), language);
    if (!found) return false;
    const auto* p = static_cast<const wchar_t*>(::LockResource(::LoadResource(module, found)));
    for (std::wstring& text : *strings) {
        const size_t length = *p++;
        text.assign(p, length);
        p += length;
    }
    return true;
}

BOOL CALLBACK AddBlock(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR blocks)
{
    if (IS_INTRESOURCE(name)) reinterpret_cast<std::vector<WORD>*>(blocks)->push_back(LOWORD(name));
    return TRUE;
}

// Every text the wizard says beyond the agreement has its words in every language it speaks:
// the same strings as the English, none missing, none extra.
TEST(PageTexts, EveryLanguageHasEveryString)
{
    std::vector<WORD> blocks;
    ::EnumResourceNamesW(::GetModuleHandleW(nullptr), RT_STRING, &AddBlock, reinterpret_cast<LONG_PTR>(&blocks));
    ASSERT_FALSE(blocks.empty());
    const LANGID english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    const LANGID languages[] = {MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH),
                                MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN),
                                MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED),
                                MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)};
    for (WORD block : blocks) {
        std::array<std::wstring, 16> words;
        if (!BlockIn(block, english, &words)) continue;
        for (LANGID language : languages) {
            std::array<std::wstring, 16> translated;
            const bool present = BlockIn(block, language, &translated);
            for (int i = 0; i < 16; ++i) {
                const UINT id = (block - 1u) * 16 + i;
                if (id <= IDS_AGREEMENT_LAST) continue;  // the agreement stays in English
                EXPECT_EQ(present && !translated[i].empty(), !words[i].empty())
                    << "string " << id << ", language " << std::hex << language;
            }
        }
    }
}

// A page template as the resource holds it: its size and its controls' places, in dialog units.
struct PageTemplate {
    int cx = 0, cy = 0;
    std::map<int, RECT> controls;  // by id: x, y, width, height
};

// Reads a DIALOG or DIALOGEX template of the English resources.
bool ReadTemplate(UINT id, PageTemplate* page)
{
    const HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC found = ::FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (!found) return false;
    const auto* p = static_cast<const WORD*>(::LockResource(::LoadResource(module, found)));
    auto dword = [&] {
        const DWORD value = p[0] | static_cast<DWORD>(p[1]) << 16;
        p += 2;
        return value;
    };
    auto skip = [&] {  // a string, an ordinal or nothing
        if (*p == 0xFFFF) {
            p += 2;
        } else {
            while (*p) ++p;
            ++p;
        }
    };
    const bool extended = p[1] == 0xFFFF;
    DWORD style;
    WORD items;
    if (extended) {
        p += 2;
        dword();            // help id
        dword();            // extended style
        style = dword();
    } else {
        style = dword();
        dword();            // extended style
    }
    items = *p++;
    p += 2;  // x, y
    page->cx = static_cast<short>(*p++);
    page->cy = static_cast<short>(*p++);
    skip();  // menu
    skip();  // class
    skip();  // title
    if (style & DS_SETFONT) {
        p += extended ? 3 : 1;  // size (and weight, italic and charset)
        skip();
    }
    for (WORD i = 0; i < items; ++i) {
        p = reinterpret_cast<const WORD*>((reinterpret_cast<uintptr_t>(p) + 3) & ~uintptr_t{3});
        if (extended) dword();  // help id
        dword();
        dword();  // the styles
        RECT r;
        r.left = static_cast<short>(*p++);
        r.top = static_cast<short>(*p++);
        r.right = static_cast<short>(*p++);
        r.bottom = static_cast<short>(*p++);
        const int control = extended ? static_cast<int>(dword()) : static_cast<short>(*p++);
        skip();  // class
        skip();  // title
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p + 1) + *p);  // creation data
        page->controls[control] = r;
    }
    return true;
}

// The English pages keep the places and sizes they were designed with: a language that needs
// more room has templates of its own.
TEST(PageTemplates, EnglishPagesKeepTheirDesignedPlaces)
{
    const struct {
        UINT id;
        int cx, cy;
        std::vector<std::pair<int, RECT>> controls;
    } pages[] = {
        {IDD_WELCOME, 344, 179, {{IDOK, {275, 154, 44, 14}}, {IDCANCEL, {213, 154, 43, 14}}}},
        {IDD_LICENSE, 342, 178, {{IDOK, {274, 153, 44, 14}}, {IDCANCEL, {153, 153, 47, 14}},
                                 {IDC_LICENSE_BACK, {214, 153, 47, 14}}, {IDC_LICENSE_ACCEPT, {154, 126, 8, 8}},
                                 {IDC_LICENSE_DECLINE, {154, 139, 8, 8}}, {IDC_LICENSE_TEXT, {155, 39, 163, 75}}}},
        {IDD_RESET, 342, 178, {{IDOK, {275, 153, 44, 14}}, {IDCANCEL, {153, 153, 47, 14}},
                               {IDC_RESET_BACK, {214, 153, 47, 14}}}},
        {IDD_SELECT, 342, 178, {{IDOK, {273, 156, 44, 14}}, {IDCANCEL, {160, 156, 46, 14}},
                                {IDC_SELECT_BACK, {216, 156, 46, 14}}}},
        {IDD_CHECKUSB, 284, 40, {}},
        {IDD_IMAGE, 342, 178, {{IDCANCEL, {275, 153, 44, 14}}, {IDC_IMAGE_FILE, {188, 54, 55, 14}},
                               {IDC_IMAGE_STATIC, {280, 63, 8, 8}}}},
        {IDD_PROGRESS, 300, 75, {{IDC_PROGRESS, {42, 19, 233, 15}}}},
        {IDD_END, 342, 178, {{IDOK, {275, 153, 44, 14}}}},
        {IDD_USBNOTRDY, 342, 178, {{IDOK, {275, 153, 44, 14}}}},
        {IDD_WARNASYNOPEN, 342, 178, {{IDCANCEL, {275, 153, 44, 14}}}},
    };
    for (const auto& expected : pages) {
        PageTemplate page;
        ASSERT_TRUE(ReadTemplate(expected.id, &page)) << "template " << expected.id;
        EXPECT_EQ(page.cx, expected.cx) << "template " << expected.id;
        EXPECT_EQ(page.cy, expected.cy) << "template " << expected.id;
        for (const auto& [control, r] : expected.controls) {
            ASSERT_TRUE(page.controls.count(control)) << "template " << expected.id << " has no control " << control;
            const RECT& got = page.controls[control];
            EXPECT_TRUE(got.left == r.left && got.top == r.top && got.right == r.right && got.bottom == r.bottom)
                << "template " << expected.id << ", control " << control << ": (" << got.left << "," << got.top << ","
                << got.right << "," << got.bottom << ")";
        }
    }
}

}  // namespace

// The programs link with -municode, so the entry point is wmain rather than gtest_main's main.
int wmain(int argc, wchar_t** argv)
{
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
