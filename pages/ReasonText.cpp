#include "pages/ReasonText.h"

#include "framework/CString.h"
#include "framework/Language.h"
#include "res/resource.h"

static_assert(IDS_WHY_BASE + static_cast<int>(Why::CaKeyUsage) == IDS_WHY_CA_KEY_USAGE,
              "the string table's reasons follow Why");
static_assert(static_cast<int>(Why::Count) == IDS_WHY_CA_KEY_USAGE - IDS_WHY_BASE + 1,
              "every reason has a text");

namespace {

// Windows' own words for an error in the wizard's language, and its number; the number alone
// when this Windows has no words for it in that language (never English ones in another run).
std::wstring ErrorWords(DWORD error)
{
    wchar_t* text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, ProgramLanguage(), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring words = text ? text : L"";
    if (text) ::LocalFree(text);
    while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' || words.back() == L' ' ||
                              words.back() == L'.' || words.back() == L'\x3002'))
        words.pop_back();
    wchar_t hex[16];
    wsprintfW(hex, L"0x%08lX", error);
    const std::wstring number = LoadText(IDS_WHY_ERROR, {hex});
    return words.empty() ? number : words + L" (" + number + L")";
}

}  // namespace

std::wstring ReasonText(const CheckReason& reason, const std::wstring& english)
{
    if (reason.why == Why::None || reason.why >= Why::Count || PRIMARYLANGID(ProgramLanguage()) == LANG_ENGLISH)
        return english;
    std::vector<std::wstring> words = reason.words;
    if (reason.error != 0) words.push_back(ErrorWords(reason.error));
    return LoadText(IDS_WHY_BASE + static_cast<UINT>(reason.why), words);
}
