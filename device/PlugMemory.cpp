#include "device/PlugMemory.h"

#include <set>

#include "device/USBUpdate.h"
#include "framework/CString.h"
#include "framework/NamedObject.h"

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

// How often a plug event found there but let go is looked at again before the plug counts as
// taken after all: another program's look holds it for no more than an instant.
constexpr int kTriesOnReleased = 5;
constexpr DWORD kReleasedPauseMs = 10;

}  // namespace

HandheldLook PlugMemory::LookAtHandhelds()
{
    HandheldLook look;
    {
        Locked l(&m_lock);
        look.removals = m_removals;
    }
    const DeviceLookup found = CUSBUpdate::LookUp();
    look.error = found.error;
    for (const std::string& path : found.paths) {
        // A handheld whose path could not be read might be one known here: the look is not whole.
        if (path.empty() && !look.error) look.error = found.pathError ? found.pathError : ERROR_GEN_FAILURE;
        look.paths.push_back(FromUtf8(path));
    }
    if (look.error) {
        look.paths.clear();
        return look;
    }

    std::set<std::wstring> present;
    for (const std::wstring& path : look.paths) present.insert(Name(path));
    const DWORD now = ::GetTickCount();
    Locked l(&m_lock);
    for (auto it = m_plugs.begin(); it != m_plugs.end();) {
        Plug& plug = it->second;
        if (present.count(it->first)) {
            plug.missed = false;
        } else if (!plug.missed) {
            plug.missed = true;
            plug.missedAt = now;
        } else if (now - plug.missedAt >= kAbsentMs) {
            Release(plug);
            it = m_plugs.erase(it);
            continue;
        }
        ++it;
    }
    return look;
}

PlugMemory::PlugMemory() { ::InitializeCriticalSection(&m_lock); }

PlugMemory::~PlugMemory()
{
    // Let go without a reset: the handhelds are still plugged, and the plugs still taken for
    // as long as the events are there.
    m_plugs.clear();
    ::DeleteCriticalSection(&m_lock);
}

std::wstring PlugMemory::Name(const std::wstring& devicePath)
{
    // Global, as the handheld's lock is: lines of every session of the PC see the same plug.
    return DeviceObjectName(L"Global\\ROM Upgrade Wizard plug ", devicePath);
}

void PlugMemory::Release(Plug& plug)
{
    if (!plug.taken) return;
    // Reset first: should another program's look keep the event for an instant, it reads as
    // let go, not as taken.
    ::ResetEvent(plug.taken.get());
    plug.taken.reset();
}

PlugMemory::Look PlugMemory::Present(const std::wstring& devicePath, const HandheldLook* look, DWORD* error)
{
    const std::wstring name = Name(devicePath);
    unsigned long removedBefore = 0;
    {
        Locked l(&m_lock);
        if (m_plugs.count(name)) return Look::Held;
        const auto removed = m_removed.find(name);
        if (removed != m_removed.end()) removedBefore = removed->second;
        if (look && removedBefore > look->removals) return Look::Held;
    }
    Plug plug;
    Look verdict = Look::Taken;
    for (int attempt = 0;; ++attempt) {
        NamedObject event = CreateNamedObject(NamedKind::Event, name, true);
        if (event.verdict == NameVerdict::Made) {
            plug.taken = std::move(event.handle);
            verdict = Look::Ours;
            break;
        }
        if (event.verdict != NameVerdict::Ours) {
            if (error) *error = event.error;
            return Look::NotOurs;
        }
        if (::WaitForSingleObject(event.handle.get(), 0) == WAIT_OBJECT_0 || attempt + 1 == kTriesOnReleased) break;
        event.handle.reset();
        ::Sleep(kReleasedPauseMs);
    }
    Locked l(&m_lock);
    // Removed while it was being taken: not a plug to write after all.
    const auto removed = m_removed.find(name);
    if (removed != m_removed.end() && removed->second != removedBefore) {
        Release(plug);
        return Look::Held;
    }
    m_plugs[name] = std::move(plug);
    return verdict;
}

void PlugMemory::Unplugged(const std::wstring& devicePath)
{
    const std::wstring name = Name(devicePath);
    Locked l(&m_lock);
    m_removed[name] = ++m_removals;
    const auto known = m_plugs.find(name);
    if (known == m_plugs.end()) return;
    Release(known->second);
    m_plugs.erase(known);
}
