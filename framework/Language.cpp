#include "framework/Language.h"

#include <cwchar>
#include <cwctype>

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The one choice of the run, made before the first page and read ever after.
LANGID g_language = kEnglish;

struct Known {
    const wchar_t* code;
    LANGID language;
};
const Known kKnown[] = {
    {L"en", kEnglish},
    {L"de", MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)},
    {L"fr", MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH)},
    {L"es", MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN)},
    {L"zh", MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)},
    {L"ja", MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN)},
};

// Ours for a Windows language: by its primary language, Chinese only when simplified.
LANGID Ours(LANGID windows)
{
    const WORD primary = PRIMARYLANGID(windows);
    if (primary == LANG_CHINESE) {
        const WORD sub = SUBLANGID(windows);
        return sub == SUBLANG_CHINESE_SIMPLIFIED || sub == SUBLANG_CHINESE_SINGAPORE ? kKnown[4].language : kEnglish;
    }
    for (const Known& k : kKnown)
        if (PRIMARYLANGID(k.language) == primary) return k.language;
    return kEnglish;
}

}  // namespace

LANGID ProgramLanguage() { return g_language; }

LANGID LanguageNamed(const wchar_t* code)
{
    for (const Known& k : kKnown)
        if (_wcsicmp(code, k.code) == 0) return k.language;
    return 0;
}

void ChooseLanguage(const wchar_t* commandLine)
{
    g_language = Ours(::GetUserDefaultUILanguage());
    // "/lang:xx" anywhere on the line, as its own word.
    for (const wchar_t* at = commandLine; at && (at = std::wcsstr(at, L"/lang:")) != nullptr; at += 6) {
        if (at != commandLine && !std::iswspace(at[-1])) continue;
        wchar_t code[3] = {at[6], at[6] ? at[7] : L'\0', L'\0'};
        if (code[1] && (at[8] == L'\0' || std::iswspace(at[8])))
            if (const LANGID chosen = LanguageNamed(code)) g_language = chosen;
    }
}

const wchar_t* FindString(UINT id, LANGID language, int* length)
{
    // Strings live in blocks of sixteen, each a length and its characters.
    const HMODULE module = ::GetModuleHandleW(nullptr);
    const HRSRC block = ::FindResourceExW(module, MAKEINTRESOURCEW(6) /* RT_STRING */,
                                          MAKEINTRESOURCEW(id / 16 + 1), language);
    const HGLOBAL loaded = block ? ::LoadResource(module, block) : nullptr;
    const auto* p = loaded ? static_cast<const WORD*>(::LockResource(loaded)) : nullptr;
    if (!p) return nullptr;
    for (UINT i = 0; i < id % 16; ++i) p += 1 + *p;
    *length = *p;
    return *p ? reinterpret_cast<const wchar_t*>(p + 1) : nullptr;
}

const DLGTEMPLATE* FindDialogTemplate(UINT id)
{
    const HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC found = ::FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(id), ProgramLanguage());
    if (!found) found = ::FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (!found) found = ::FindResourceW(module, MAKEINTRESOURCEW(id), RT_DIALOG);
    const HGLOBAL loaded = found ? ::LoadResource(module, found) : nullptr;
    return loaded ? static_cast<const DLGTEMPLATE*>(::LockResource(loaded)) : nullptr;
}
