#include "pages/checkregister.h"
#include "pages/ResetDlg.h"
#include "pages/WarnASynOpen.h"
#include "app/PageChain.h"
#include "res/resource.h"

namespace {
constexpr char kActiveSyncKey[] = "Software\\Microsoft\\Windows CE Services";
constexpr char kConnectTypesValue[] = "ConnectTypesAllowed";
constexpr DWORD kUsbConnectionsAllowed = 0x8;
}  // namespace

int CCheckRegister::CheckRegistry(const char* keyPath, DWORD* value)
{
    HKEY key;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD type = REG_DWORD;
    DWORD word = 0;
    DWORD size = sizeof word;
    LONG status = ::RegQueryValueExA(key, kConnectTypesValue, nullptr, &type, reinterpret_cast<BYTE*>(&word), &size);
    ::RegCloseKey(key);
    // Anything but a 4-byte little-endian word (missing, longer, shorter, text, which the ANSI
    // call may well hand back as four bytes) leaves no defined flags: count it as none.
    const bool isWord = status == ERROR_SUCCESS && size == sizeof word && (type == REG_DWORD || type == REG_BINARY);
    *value = isWord ? word : 0;
    return 1;
}

void GuardedAdvance(CDialog& page)
{
    if (::FindWindowW(L"DccMan Class", L"DccMan")) {
        CCheckRegister probe;
        DWORD allowed = 0;
        if (!probe.CheckRegistry(kActiveSyncKey, &allowed)) {
            page.MessageBox(LoadText(IDS_CHECKREGISTRY).c_str(), LoadText(IDS_ENGINE_ERROR_CAPTION).c_str(), MB_OK);
            page.ShowWindow(SW_SHOW);
            return;
        }
        if (allowed & kUsbConnectionsAllowed) {
            // The warning page only ever ends with a quit request, which then closes this page.
            CWarnASynOpen warning;
            RunNextPage(page, warning);
            return;
        }
    }
    CResetDlg reset;
    OpenPage(page, reset, Ending::EndIfOK);
}
