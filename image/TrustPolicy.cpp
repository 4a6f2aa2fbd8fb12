#include "image/TrustPolicy.h"

#include <windows.h>
#include <cwctype>
#include <memory>
#include <type_traits>

namespace {

const wchar_t kPolicyKey[] = L"Software\\Policies\\ROM Upgrade Wizard";

struct KeyCloser {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer<HKEY>::type, KeyCloser>;

// The 64-bit view where there is one: a 32-bit program must see the key an administrator set.
Key OpenPolicy(const std::wstring& path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return Key();
    return Key(key);
}

// Each string of a REG_SZ or REG_MULTI_SZ value under TrustedSigners.
void ReadSignersKey(TrustPolicy* policy)
{
    Key key = OpenPolicy(std::wstring(kPolicyKey) + L"\\TrustedSigners");
    if (!key) return;
    std::vector<std::string> list;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0, size = 0;
        LONG status = ::RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
            policy->problem = L"the policy's trusted signers could not be read";
            policy->reason = {Why::PolicyUnreadable, {}, 0};
            break;
        }
        if (type != REG_SZ && type != REG_MULTI_SZ) continue;
        std::wstring data(size / sizeof(wchar_t) + 2, L'\0');
        nameLength = 256;
        size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        if (::RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]),
                            &size) != ERROR_SUCCESS) {
            policy->problem = L"the policy's trusted signers could not be read";
            policy->reason = {Why::PolicyUnreadable, {}, 0};
            break;
        }
        data.resize(size / sizeof(wchar_t));
        for (size_t at = 0; at < data.size();) {
            size_t end = data.find(L'\0', at);
            if (end == std::wstring::npos) end = data.size();
            const std::wstring one = data.substr(at, end - at);
            at = end + 1;
            std::string hex;
            if (one.find_first_not_of(L" \t") == std::wstring::npos) continue;
            if (ParseThumbprint(one, &hex))
                list.push_back(hex);
            else {
                policy->problem = L"the policy's trusted signer \"" + one + L"\" (value " + name + L") is no thumbprint";
                policy->reason = {Why::PolicyNoThumbprint, {one, name}, 0};
            }
        }
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
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            policy->problem = path + L" could not be opened";
            policy->reason = {Why::SignersFileNotOpened, {path}, 0};
        }
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
        policy->problem = path + L" could not be read";
        policy->reason = {Why::SignersFileNotRead, {path}, 0};
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
        else {
            policy->problem = path + L": line " + std::to_wstring(lineNumber) + L" is no thumbprint";
            policy->reason = {Why::SignersFileLine, {path, std::to_wstring(lineNumber)}, 0};
        }
    }
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
    if (Key key = OpenPolicy(kPolicyKey)) {
        DWORD value = 0, size = sizeof value, type = 0;
        if (::RegQueryValueExW(key.get(), L"RequireSignature", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                               &size) == ERROR_SUCCESS &&
            type == REG_DWORD && value == 1)
            policy.requireSignature = true;
    }
    ReadSignersKey(&policy);
    if (policy.signers.empty() && policy.problem.empty()) ReadSignersFile(&policy);
    return policy;
}
