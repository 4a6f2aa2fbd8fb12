// Checks the string resources compiled from res/wizard.rc: the license agreement in fourteen
// parts (exact lengths, line breaks, plain ASCII) and the page texts that follow it.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
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

}  // namespace

// The programs link with -municode, so the entry point is wmain rather than gtest_main's main.
int wmain(int argc, wchar_t** argv)
{
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
