#include "image/TrustPolicy.h"

#include <windows.h>
#include <cwctype>
#include <memory>
#include <type_traits>

#include "policy/Policies.h"

namespace {

struct KeyCloser {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer<HKEY>::type, KeyCloser>;

// *error: 0, or why a key that is there could not be opened (ERROR_FILE_NOT_FOUND: not there).
Key OpenPolicy(const wchar_t* path, LONG* error)
{
    HKEY key = nullptr;
    *error = policy::Open(path, &key);
    return *error == ERROR_SUCCESS ? Key(key) : Key();
}

void Unreadable(TrustPolicy* policy, std::wstring problem, CheckReason reason)
{
    if (!policy->problem.empty()) return;  // the first says it
    policy->problem = std::move(problem);
    policy->reason = std::move(reason);
}

const wchar_t* TypeName(DWORD type)
{
    switch (type) {
    case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
    case REG_BINARY: return L"REG_BINARY";
    case REG_DWORD: return L"REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return L"REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return L"REG_LINK";
    case REG_QWORD: return L"REG_QWORD";
    case REG_NONE: return L"REG_NONE";
    default: return L"not text";
    }
}

// Every value under TrustedSigners must be text that names thumbprints: a REG_SZ of one, or a
// REG_MULTI_SZ of one per string. Any other type, an empty or blank value, a REG_MULTI_SZ of
// empty strings, a string that is no thumbprint: the policy cannot be read as meant, and
// trusts no one. A key with no values at all names no one and sets nothing.
void ReadSignersKey(TrustPolicy* policy)
{
    LONG error = 0;
    Key key = OpenPolicy(policy::kTrustedSigners.key, &error);
    if (!key) {
        if (error != ERROR_FILE_NOT_FOUND)
            Unreadable(policy, L"the policy's trusted signers could not be read", {Why::PolicyUnreadable, {}, 0});
        return;
    }
    std::vector<std::string> list;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0, size = 0;
        LONG status = ::RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
            Unreadable(policy, L"the policy's trusted signers could not be read", {Why::PolicyUnreadable, {}, 0});
            break;
        }
        const std::wstring valueName = nameLength ? std::wstring(name, nameLength) : L"(Default)";
        if (type != REG_SZ && type != REG_MULTI_SZ) {
            Unreadable(policy,
                       L"the policy's trusted signers value " + valueName + L" is of type " + TypeName(type) +
                           L", not text",
                       {Why::PolicyValueNotText, {valueName, TypeName(type)}, 0});
            continue;
        }
        std::wstring data(size / sizeof(wchar_t) + 2, L'\0');
        nameLength = 256;
        size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        if (::RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]),
                            &size) != ERROR_SUCCESS) {
            Unreadable(policy, L"the policy's trusted signers could not be read", {Why::PolicyUnreadable, {}, 0});
            break;
        }
        data.resize(size / sizeof(wchar_t));
        bool named = false;
        for (size_t at = 0; at < data.size();) {
            size_t end = data.find(L'\0', at);
            if (end == std::wstring::npos) end = data.size();
            const std::wstring one = data.substr(at, end - at);
            at = end + 1;
            if (one.empty() && type == REG_MULTI_SZ) continue;  // the strings' terminators
            std::string hex;
            if (ParseThumbprint(one, &hex)) {
                list.push_back(hex);
                named = true;
            } else if (one.find_first_not_of(L" \t") != std::wstring::npos) {
                Unreadable(policy,
                           L"the policy's trusted signer \"" + one + L"\" (value " + valueName + L") is no thumbprint",
                           {Why::PolicyNoThumbprint, {one, valueName}, 0});
            }
            if (type == REG_SZ) break;
        }
        if (!named)
            Unreadable(policy, L"the policy's trusted signers value " + valueName + L" names no thumbprint",
                       {Why::PolicyValueEmpty, {valueName}, 0});
    }
    if (!list.empty()) policy->signers.push_back(list);
}

void ReadSignersFile(TrustPolicy* policy)
{
    wchar_t program[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    std::wstring path(program, n);
    path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"signers.txt";
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            Unreadable(policy, path + L" could not be opened", {Why::SignersFileNotOpened, {path}, 0});
        return;
    }
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ::ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0 && text.size() < (1 << 20))
        text.append(buffer, got);
    ::CloseHandle(file);
    if (!ok) {
        Unreadable(policy, path + L" could not be read", {Why::SignersFileNotRead, {path}, 0});
        return;
    }
    std::vector<std::string> list;
    int lineNumber = 0;
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::string hex;
        if (ParseThumbprint(std::wstring(line.begin(), line.end()), &hex))
            list.push_back(hex);
        else
            Unreadable(policy, path + L": line " + std::to_wstring(lineNumber) + L" is no thumbprint",
                       {Why::SignersFileLine, {path, std::to_wstring(lineNumber)}, 0});
    }
    // A file of pins that pins no one was meant to pin someone: it trusts no one.
    if (list.empty()) Unreadable(policy, path + L" names no signer", {Why::SignersFileNamesNoOne, {path}, 0});
    if (!list.empty()) policy->signers.push_back(list);
}

}  // namespace

bool ParseThumbprint(const std::wstring& text, std::string* hex)
{
    std::string digits;
    for (wchar_t c : text) {
        if (c == L' ' || c == L'\t' || c == L':' || c == L'\r') continue;
        if (!std::iswxdigit(c) || c > 0x7F) return false;
        digits += static_cast<char>(std::towlower(c));
    }
    if (digits.size() != 40 && digits.size() != 64) return false;
    *hex = digits;
    return true;
}

TrustPolicy ReadTrustPolicy()
{
    TrustPolicy policy;
    LONG error = 0;
    if (Key key = OpenPolicy(policy::kRequireSignature.key, &error)) {
        // Present, RequireSignature is on unless it is the DWORD 0: a value of any other type
        // or any other number is read as the administrator meaning it.
        DWORD value = 1, size = sizeof value, type = 0;
        const LONG status =
            ::RegQueryValueExW(key.get(), policy::kRequireSignature.valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        if (status != ERROR_FILE_NOT_FOUND)
            policy.requireSignature = status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value || value != 0;
    } else if (error != ERROR_FILE_NOT_FOUND) {
        // There and shut to us: whatever it says, it is read as strictly as it could say.
        policy.requireSignature = true;
        Unreadable(&policy, L"the policy could not be read", {Why::PolicyUnreadable, {}, 0});
    }
    ReadSignersKey(&policy);
    if (policy.signers.empty() && policy.problem.empty()) ReadSignersFile(&policy);
    return policy;
}
