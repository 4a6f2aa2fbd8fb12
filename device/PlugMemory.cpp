#include "device/PlugMemory.h"

#include <algorithm>

#include "device/USBUpdate.h"

namespace {

class Locked {
public:
    explicit Locked(CRITICAL_SECTION* cs) : m_cs(cs) { ::EnterCriticalSection(m_cs); }
    ~Locked() { ::LeaveCriticalSection(m_cs); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION* m_cs;
};

}  // namespace

std::vector<std::wstring> PresentHandhelds()
{
    std::vector<std::wstring> present;
    for (const std::string& path : CUSBUpdate::ListDevices())
        if (!path.empty()) present.emplace_back(path.begin(), path.end());
    return present;
}

PlugMemory::PlugMemory() { ::InitializeCriticalSection(&m_lock); }

PlugMemory::~PlugMemory()
{
    // Closing without a mark: the handhelds are still plugged, and still spoken for while
    // another program holds them.
    m_held.clear();
    ::DeleteCriticalSection(&m_lock);
}

std::wstring PlugMemory::Name(const std::wstring& devicePath)
{
    // Global, as the handheld's lock is: lines of every session of the PC see the same plug.
    return DeviceObjectName(L"Global\\ROM Upgrade Wizard plug ", devicePath);
}

PlugMemory::Look PlugMemory::Present(const std::wstring& devicePath)
{
    const std::wstring name = Name(devicePath);
    Locked l(&m_lock);
    const auto held = m_held.find(name);
    if (held != m_held.end()) {
        // Another program saw it go since: this is a plug nobody has taken yet.
        return ::WaitForSingleObject(held->second.get(), 0) == WAIT_OBJECT_0 ? Look::Ours : Look::Held;
    }
    UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, name.c_str()));
    const DWORD error = ::GetLastError();
    if (!event) {
        // Made by a program of another user: there, but not ours to open, so spoken for. Any
        // other failure leaves this program on its own, as it was before there was a memory.
        // Either way it is remembered here, by an event of our own that nobody else marks.
        m_held[name] = UniqueHandle(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        return error == ERROR_ACCESS_DENIED ? Look::Skipped : Look::Ours;
    }
    const bool ours = error != ERROR_ALREADY_EXISTS || ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
    m_held[name] = std::move(event);
    return ours ? Look::Ours : Look::Skipped;
}

void PlugMemory::Unplugged(const std::wstring& devicePath)
{
    const std::wstring name = Name(devicePath);
    Locked l(&m_lock);
    const auto held = m_held.find(name);
    if (held == m_held.end()) return;
    ::SetEvent(held->second.get());
    m_held.erase(held);
}

void PlugMemory::KeepOnly(const std::vector<std::wstring>& present)
{
    std::vector<std::wstring> names;
    for (const std::wstring& path : present) names.push_back(Name(path));
    Locked l(&m_lock);
    for (auto it = m_held.begin(); it != m_held.end();) {
        if (std::find(names.begin(), names.end(), it->first) != names.end()) {
            ++it;
            continue;
        }
        ::SetEvent(it->second.get());
        it = m_held.erase(it);
    }
}
