#include "tools/dccman/ActiveSyncKey.h"

namespace {

// While a test owns the ActiveSync key this key exists, and a key the user had before waits in
// its subkey. Found at the start, it tells of an interrupted run (a test killed before it could
// clean up): the ActiveSync key then is that test's leftover, and the user's, if any, is still kept.
constexpr wchar_t kTestsKey[] = L"Software\\RomUpgradeWizard Tests";
constexpr wchar_t kSavedPath[] = L"Software\\RomUpgradeWizard Tests\\Saved Windows CE Services";

bool Exists(const wchar_t* path)
{
    HKEY key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    ::RegCloseKey(key);
    return true;
}

bool DeleteTree(const wchar_t* path)
{
    LONG status = ::RegDeleteTreeW(HKEY_CURRENT_USER, path);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) status = ::RegDeleteKeyW(HKEY_CURRENT_USER, path);
    return (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) && !Exists(path);
}

bool CopyTree(const wchar_t* from, const wchar_t* to)
{
    HKEY source, target;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, from, 0, KEY_READ, &source) != ERROR_SUCCESS) return false;
    bool ok = ::RegCreateKeyExW(HKEY_CURRENT_USER, to, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &target, nullptr) ==
              ERROR_SUCCESS;
    if (ok) {
        ok = ::RegCopyTreeW(source, nullptr, target) == ERROR_SUCCESS;
        ::RegCloseKey(target);
    }
    ::RegCloseKey(source);
    return ok;
}

}  // namespace

bool ActiveSyncKey::Begin()
{
    m_begun = true;
    if (!Exists(kTestsKey)) {
        if (Exists(kActiveSyncKeyPath)) {
            if (!CopyTree(kActiveSyncKeyPath, kSavedPath)) return false;
        } else {
            HKEY key;
            if (::RegCreateKeyExW(HKEY_CURRENT_USER, kTestsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr) != ERROR_SUCCESS)
                return false;
            ::RegCloseKey(key);
        }
    }
    return Remove();
}

ActiveSyncKey::~ActiveSyncKey()
{
    if (!m_begun) return;
    Remove();
    if (!Exists(kSavedPath) || CopyTree(kSavedPath, kActiveSyncKeyPath)) DeleteTree(kTestsKey);
}

bool ActiveSyncKey::Remove() { return DeleteTree(kActiveSyncKeyPath); }

bool ActiveSyncKey::CreateEmpty()
{
    if (!Remove()) return false;
    HKEY key;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kActiveSyncKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

bool ActiveSyncKey::SetRaw(DWORD type, const void* data, DWORD size)
{
    HKEY key;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kActiveSyncKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = ::RegSetValueExW(key, kConnectTypesValue, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
    ::RegCloseKey(key);
    return ok;
}

bool ActiveSyncKey::SetDword(DWORD allowed) { return SetRaw(REG_DWORD, &allowed, sizeof allowed); }
