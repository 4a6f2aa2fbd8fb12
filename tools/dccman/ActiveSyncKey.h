// The registry key the wizard reads ActiveSync's allowed connection types from, set up by a test
// in HKEY_CURRENT_USER of the same Wine prefix as the wizard. The object starts with no key and
// removes it again when it goes; a key the user had before is kept aside meanwhile and put back,
// also after a run that was killed half-way.
#pragma once
#include <windows.h>
#include <string>

constexpr wchar_t kActiveSyncKeyPath[] = L"Software\\Microsoft\\Windows CE Services";
constexpr wchar_t kConnectTypesValue[] = L"ConnectTypesAllowed";

class ActiveSyncKey {
public:
    ActiveSyncKey() = default;
    ~ActiveSyncKey();
    ActiveSyncKey(const ActiveSyncKey&) = delete;
    ActiveSyncKey& operator=(const ActiveSyncKey&) = delete;

    // Keeps any existing key aside and removes it: the wizard finds no key.
    bool Begin();

    bool Remove();       // no key at all
    bool CreateEmpty();  // the key, without the value
    bool SetDword(DWORD allowed);
    bool SetRaw(DWORD type, const void* data, DWORD size);

private:
    bool m_begun = false;
};
