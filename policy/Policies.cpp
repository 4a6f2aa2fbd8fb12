#include "policy/Policies.h"

#include "framework/Handles.h"

namespace policy {

LONG Open(const wchar_t* key, HKEY* opened)
{
    *opened = nullptr;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_64KEY, opened);
}

Text ReadText(const Setting& setting, std::wstring* text, std::wstring* problem)
{
    text->clear();
    RegistryKey key;
    LONG status = Open(setting.key, key.out());
    if (status == ERROR_FILE_NOT_FOUND) return Text::Absent;
    if (status != ERROR_SUCCESS) {
        *problem = L"the policy key could not be read (Windows error " + std::to_wstring(status) + L")";
        return Text::Unreadable;
    }
    DWORD type = 0, size = 0;
    status = ::RegQueryValueExW(key.get(), setting.valueName, nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return Text::Absent;
    if (status != ERROR_SUCCESS) {
        *problem = L"its value " + std::wstring(setting.valueName) + L" could not be read (Windows error " +
                   std::to_wstring(status) + L")";
        return Text::Unreadable;
    }
    if (type != REG_SZ) {
        *problem = L"its value " + std::wstring(setting.valueName) + L" is not text (REG_SZ)";
        return Text::Unreadable;
    }
    // Room for a terminator the value may lack; a value changed between the two calls is read
    // again, as Windows gives it then.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
        DWORD got = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        status = ::RegQueryValueExW(key.get(), setting.valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]),
                                    &got);
        if (status == ERROR_MORE_DATA) {
            size = got;
            continue;
        }
        if (status != ERROR_SUCCESS || type != REG_SZ) break;
        data.resize(got / sizeof(wchar_t));
        while (!data.empty() && data.back() == L'\0') data.pop_back();
        if (data.find(L'\0') != std::wstring::npos) {
            *problem = L"its value " + std::wstring(setting.valueName) + L" holds more than one text";
            return Text::Unreadable;
        }
        *text = data;
        return Text::Set;
    }
    *problem = L"its value " + std::wstring(setting.valueName) + L" could not be read";
    return Text::Unreadable;
}

}  // namespace policy
