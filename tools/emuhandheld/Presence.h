// DevicePresence: makes the emulated handheld a present device interface of the upgrade
// class, the way the host USB driver would, so that the wizard's unchanged SetupAPI lookup
// finds it and CreateFileA on the reported path opens our named pipe.
//
// Plug writes the interface's registry keys (instance ROOT\UPGRADE\000N, the interface
// key under DeviceClasses with Control\Linked = 1) and creates an object-manager symbolic
// link from the interface's name in \?? to \Device\NamedPipe\<pipe>. The link is not
// permanent: it lives as long as this object (and this process), so a crash or a kill
// unplugs the device too. Unplug removes the link and the interface key.
//
// Plug and Unplug announce the arrival and the removal with WM_DEVICECHANGE, as Windows does.
//
// With a reference string the reported path becomes "<interface path>\<reference>": \?? then
// holds a directory of that name with the link inside, named after the reference string.
#pragma once
#include <windows.h>
#include <string>
#include "tools/emuhandheld/OwnedHandle.h"

class DevicePresence {
public:
    // Instance N is ROOT\UPGRADE\000N: several handhelds, each its own instance, can be
    // present at once.
    explicit DevicePresence(int instance = 0) : m_instance(instance) {}
    ~DevicePresence() { Unplug(); }
    DevicePresence(const DevicePresence&) = delete;
    DevicePresence& operator=(const DevicePresence&) = delete;

    // False with *error set when the keys or the link cannot be made (another emulated
    // handheld still present, for one).
    bool Plug(const std::wstring& pipeName, const std::wstring& reference, std::wstring* error);
    void Unplug();
    bool plugged() const { return m_link.valid(); }

    // The path SetupAPI reports for the interface (Wine reports it in lower case).
    static std::wstring InterfacePath(const std::wstring& reference, int instance = 0);
    void SetInstance(int instance) { m_instance = instance; }

private:
    OwnedHandle m_directory;  // only with a reference string
    OwnedHandle m_link;
    int m_instance = 0;
    std::wstring m_reference;
};
