#include "tools/emuhandheld/Presence.h"

#include <winternl.h>
#include <dbt.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

const wchar_t kClassGuid[] = L"{25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835}";
const GUID kClass = {0x25DBCE51, 0x6C8F, 0x4A72, {0x8A, 0x6D, 0xB5, 0x4C, 0x2B, 0x4F, 0xC8, 0x35}};
// Setup class of the device instance: USB devices. Setupapi only wants a GUID here.
const wchar_t kSetupClass[] = L"{36FC9E60-C465-11CF-8056-444553540000}";

// The instance's number as the device tree writes it: 0000, 0001...
std::wstring Number(int instance)
{
    wchar_t text[8];
    std::swprintf(text, 8, L"%04d", instance);
    return text;
}

std::wstring InstanceId(int instance) { return L"ROOT\\UPGRADE\\" + Number(instance); }
std::wstring InstanceKey(int instance) { return L"System\\CurrentControlSet\\Enum\\" + InstanceId(instance); }

std::wstring InterfaceKey(int instance)
{
    return std::wstring(L"System\\CurrentControlSet\\Control\\DeviceClasses\\") + kClassGuid + L"\\##?#ROOT#UPGRADE#" +
           Number(instance) + L"#" + kClassGuid;
}

std::wstring LinkName(int instance) { return L"\\??\\ROOT#UPGRADE#" + Number(instance) + L"#" + kClassGuid; }

// A key of the interface's registry entries: created (or opened) whole, then written.
class RegKey {
public:
    LSTATUS Create(HKEY root, const std::wstring& path)
    {
        return ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, m_key.out(), nullptr);
    }
    LSTATUS SetString(const wchar_t* name, const std::wstring& value)
    {
        return ::RegSetValueExW(m_key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    LSTATUS SetDword(const wchar_t* name, DWORD value)
    {
        return ::RegSetValueExW(m_key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }

private:
    RegistryKey m_key;
};

using NtCreateSymbolicLinkObjectFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);
using NtCreateDirectoryObjectFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);

constexpr ACCESS_MASK kSymbolicLinkAllAccess = 0xF0001;
constexpr ACCESS_MASK kDirectoryAllAccess = 0xF000F;
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);

UNICODE_STRING Counted(const std::wstring& s)
{
    UNICODE_STRING u;
    u.Length = static_cast<USHORT>(s.size() * sizeof(wchar_t));
    u.MaximumLength = u.Length;
    u.Buffer = const_cast<PWSTR>(s.c_str());
    return u;
}

FARPROC NtFunction(const char* name) { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name); }

std::wstring Hex(NTSTATUS status)
{
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(status));
    return text;
}

// Tells the programs of the prefix that the interface arrived or was removed, as Windows
// tells those that asked for the class. Under Wine a broadcast of WM_DEVICECHANGE carries the
// structure to other processes (BroadcastSystemMessage did not deliver it there), to
// top-level windows only; it returns once each has heard it, so a removal has been heard
// before the device can come back.
void Announce(WPARAM event, const std::wstring& path)
{
    constexpr size_t kNameAt = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    std::vector<BYTE> buffer(kNameAt + (path.size() + 1) * sizeof(wchar_t));
    auto* iface = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.data());
    iface->dbcc_size = static_cast<DWORD>(buffer.size());
    iface->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    iface->dbcc_classguid = kClass;
    std::memcpy(iface->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    DWORD_PTR answer = 0;
    ::SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(iface), SMTO_ABORTIFHUNG,
                          5000, &answer);
}

}  // namespace

std::wstring DevicePresence::InterfacePath(const std::wstring& reference, int instance)
{
    std::wstring path = L"\\\\?\\ROOT#UPGRADE#" + Number(instance) + L"#" + kClassGuid;
    if (!reference.empty()) path += L"\\" + reference;
    return path;
}

bool DevicePresence::Plug(const std::wstring& pipeName, const std::wstring& reference, std::wstring* error)
{
    Unplug();

    // The link first: if another emulated handheld is present, its name is taken and its
    // registry keys are left alone.
    auto createLink = reinterpret_cast<NtCreateSymbolicLinkObjectFn>(
        reinterpret_cast<void*>(NtFunction("NtCreateSymbolicLinkObject")));
    auto createDirectory =
        reinterpret_cast<NtCreateDirectoryObjectFn>(reinterpret_cast<void*>(NtFunction("NtCreateDirectoryObject")));
    if (!createLink || !createDirectory) {
        *error = L"ntdll has no NtCreateSymbolicLinkObject/NtCreateDirectoryObject";
        return false;
    }
    const std::wstring target = L"\\Device\\NamedPipe\\" + pipeName;
    UNICODE_STRING targetName = Counted(target);
    const std::wstring interfaceName = LinkName(m_instance);
    UNICODE_STRING name = Counted(interfaceName);
    OBJECT_ATTRIBUTES attributes;
    HANDLE handle = nullptr;
    NTSTATUS status;
    if (reference.empty()) {
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        status = createLink(&handle, kSymbolicLinkAllAccess, &attributes, &targetName);
        if (status == 0) m_link.reset(handle);
    } else {
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        status = createDirectory(&handle, kDirectoryAllAccess, &attributes);
        if (status == 0) {
            m_directory.reset(handle);
            UNICODE_STRING referenceName = Counted(reference);
            InitializeObjectAttributes(&attributes, &referenceName, OBJ_CASE_INSENSITIVE, m_directory.get(), nullptr);
            status = createLink(&handle, kSymbolicLinkAllAccess, &attributes, &targetName);
            if (status == 0) m_link.reset(handle);
        }
    }
    if (status != 0) {
        m_directory.reset();
        *error = status == kNameCollision ? L"the device name is taken: another emulated handheld is still present"
                                          : L"cannot create the device link, status " + Hex(status);
        return false;
    }

    // Start from a clean interface key: an earlier run that was killed may have left other
    // reference strings behind, and only ours may be enumerated.
    const std::wstring interfaceKey = InterfaceKey(m_instance);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, interfaceKey.c_str());

    const std::wstring referenceKey = interfaceKey + L"\\#" + reference;
    RegKey instance, iface, ref, control;
    LSTATUS rc = instance.Create(HKEY_LOCAL_MACHINE, InstanceKey(m_instance));
    if (rc == ERROR_SUCCESS) rc = instance.SetString(L"ClassGUID", kSetupClass);
    if (rc == ERROR_SUCCESS) rc = iface.Create(HKEY_LOCAL_MACHINE, interfaceKey);
    if (rc == ERROR_SUCCESS) rc = iface.SetString(L"DeviceInstance", InstanceId(m_instance));
    if (rc == ERROR_SUCCESS) rc = ref.Create(HKEY_LOCAL_MACHINE, referenceKey);
    // Setupapi rewrites SymbolicLink on every enumeration; this is what it writes.
    if (rc == ERROR_SUCCESS) rc = ref.SetString(L"SymbolicLink", InterfacePath(reference, m_instance));
    if (rc == ERROR_SUCCESS) rc = control.Create(HKEY_LOCAL_MACHINE, referenceKey + L"\\Control");
    if (rc == ERROR_SUCCESS) rc = control.SetDword(L"Linked", 1);
    if (rc != ERROR_SUCCESS) {
        *error = L"cannot write the interface's registry keys, error " + std::to_wstring(rc);
        Unplug();
        return false;
    }
    m_reference = reference;
    Announce(DBT_DEVICEARRIVAL, InterfacePath(m_reference, m_instance));
    return true;
}

void DevicePresence::Unplug()
{
    if (!m_link.valid() && !m_directory.valid()) return;
    // The name goes first, so that no new open can reach the pipe; then the interface key,
    // so that the lookup no longer lists the interface as present.
    m_link.reset();
    m_directory.reset();
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, InterfaceKey(m_instance).c_str());
    Announce(DBT_DEVICEREMOVECOMPLETE, InterfacePath(m_reference, m_instance));
}
