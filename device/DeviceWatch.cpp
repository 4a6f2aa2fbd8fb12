#include "device/DeviceWatch.h"

#include <dbt.h>

#include <cstddef>
#include <string>

#include "device/USBUpdate.h"

namespace {

// The window hears of the upgrade class's interfaces while one lives.
class Registration {
public:
    explicit Registration(HWND wnd)
    {
        DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = GUID_DEVINTERFACE_UPGRADE;
        m_notify = ::RegisterDeviceNotificationW(wnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    ~Registration()
    {
        if (m_notify) ::UnregisterDeviceNotification(m_notify);
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    HDEVNOTIFY m_notify = nullptr;
};

}  // namespace

DeviceWatch::DeviceWatch(PlugMemory& memory)
    : m_memory(memory), m_changed(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    m_thread.reset(::CreateThread(nullptr, 0, &DeviceWatch::Main, this, 0, nullptr));
    // Listening (or unable to) before the first look, so that nothing falls in between.
    if (m_thread && m_ready) ::WaitForSingleObject(m_ready.get(), 5000);
}

DeviceWatch::~DeviceWatch()
{
    if (!m_thread) return;
    if (m_wnd) ::PostMessageW(m_wnd, WM_CLOSE, 0, 0);
    ::WaitForSingleObject(m_thread.get(), 5000);
}

DWORD WINAPI DeviceWatch::Main(LPVOID param)
{
    auto* self = static_cast<DeviceWatch*>(param);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &DeviceWatch::WindowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kWindowClass;
    ::RegisterClassW(&wc);
    HWND wnd = ::CreateWindowExW(0, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, self);
    self->m_wnd = wnd;
    if (!wnd) {
        if (self->m_ready) ::SetEvent(self->m_ready.get());
        return 0;
    }
    const Registration registration(wnd);
    if (self->m_ready) ::SetEvent(self->m_ready.get());
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
    return 0;
}

LRESULT CALLBACK DeviceWatch::WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCCREATE)
        ::SetWindowLongPtrW(wnd, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* self = reinterpret_cast<DeviceWatch*>(::GetWindowLongPtrW(wnd, GWLP_USERDATA));
    switch (msg) {
    case WM_DEVICECHANGE:
        // Nothing may leave a window procedure by an exception; a message lost to a lack of
        // memory leaves the looks to find the change.
        try {
            if (self) self->Heard(wParam, lParam);
        } catch (...) {
        }
        return TRUE;
    case WM_CLOSE: ::DestroyWindow(wnd); return 0;
    case WM_DESTROY: ::PostQuitMessage(0); return 0;
    default: return ::DefWindowProcW(wnd, msg, wParam, lParam);
    }
}

void DeviceWatch::Heard(WPARAM event, LPARAM data)
{
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    constexpr size_t kNameAt = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE || header->dbch_size <= kNameAt) return;
    const auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data);
    if (!::IsEqualGUID(iface->dbcc_classguid, GUID_DEVINTERFACE_UPGRADE)) return;
    // The name ends at its terminator or at the end of the structure, whichever comes first.
    const size_t room = (header->dbch_size - kNameAt) / sizeof(wchar_t);
    size_t length = 0;
    while (length < room && iface->dbcc_name[length]) ++length;
    // A removal needs no look: the memory knows it now. Either way there is news to look at.
    if (event == DBT_DEVICEREMOVECOMPLETE) m_memory.Unplugged(std::wstring(iface->dbcc_name, length));
    ::SetEvent(m_changed.get());
}
