#include "tests/engine/Support.h"

#include "tests/support/TestSupport.h"
#include "device/USBUpdate.h"

#include <setupapi.h>
#include <winioctl.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

ScratchDir::ScratchDir()
{
    static LONG counter = 0;
    m_path = TempPath(L"engine-tests-") + std::to_wstring(::GetCurrentProcessId()) + L"-" +
             std::to_wstring(::InterlockedIncrement(&counter));
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}

ScratchDir::~ScratchDir()
{
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((m_path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ::DeleteFileW(File(found.cFileName).c_str());
        } while (::FindNextFileW(find, &found));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(m_path.c_str());
}

Bytes Pattern(size_t size, uint32_t seed)
{
    Bytes b(size);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        b[i] = static_cast<uint8_t>(x >> 24);
    }
    return b;
}

Bytes Slice(const Bytes& b, size_t from, size_t count)
{
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + count));
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

void WriteBytes(const std::wstring& path, const Bytes& bytes)
{
    OwnedHandle f(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    size_t done = 0;
    while (f && done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
        DWORD written = 0;
        if (!::WriteFile(f.get(), bytes.data() + done, chunk, &written, nullptr) || !written) break;
        done += written;
    }
}

Bytes ReadBytes(const std::wstring& path)
{
    const std::string all = ReadWholeFile(path);
    return Bytes(all.begin(), all.end());
}

bool MakeSparseFile(const std::wstring& path, uint64_t size)
{
    OwnedHandle f(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return false;
    DWORD unused = 0;
    ::DeviceIoControl(f.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFilePointerEx(f.get(), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(f.get());
}

bool WriterCanOpen(const std::wstring& path)
{
    OwnedHandle f(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    return f.valid();
}

bool HandleIsOpen(HANDLE h)
{
    DWORD flags = 0;
    return h != INVALID_HANDLE_VALUE && ::GetHandleInformation(h, &flags);
}

// ---------------------------------------------------------------------------------------

ErrorBoxWatcher::ErrorBoxWatcher() : m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    ::InitializeCriticalSection(&m_lock);
    m_thread.reset(::CreateThread(nullptr, 0, &ErrorBoxWatcher::Run, this, 0, nullptr));
}

ErrorBoxWatcher::~ErrorBoxWatcher()
{
    ::SetEvent(m_stop.get());
    ::WaitForSingleObject(m_thread.get(), INFINITE);
    ::DeleteCriticalSection(&m_lock);
}

std::vector<std::wstring> ErrorBoxWatcher::Texts() const
{
    ::EnterCriticalSection(&m_lock);
    std::vector<std::wstring> copy = m_texts;
    ::LeaveCriticalSection(&m_lock);
    return copy;
}

DWORD WINAPI ErrorBoxWatcher::Run(LPVOID self)
{
    auto* watcher = static_cast<ErrorBoxWatcher*>(self);
    while (::WaitForSingleObject(watcher->m_stop.get(), 20) == WAIT_TIMEOUT) watcher->Poll();
    return 0;
}

namespace {

struct BoxSearch {
    DWORD pid;
    HWND boxes[16];
    int count;
};

BOOL CALLBACK CollectErrorBoxes(HWND wnd, LPARAM param)
{
    auto* search = reinterpret_cast<BoxSearch*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(wnd, &pid);
    wchar_t cls[32] = {}, caption[32] = {};
    ::GetClassNameW(wnd, cls, 32);
    ::GetWindowTextW(wnd, caption, 32);
    if (pid == search->pid && ::IsWindowVisible(wnd) && std::wcscmp(cls, L"#32770") == 0 &&
        std::wcscmp(caption, L"Error") == 0 && search->count < 16)
        search->boxes[search->count++] = wnd;
    return TRUE;
}

struct TextSearch {
    wchar_t text[512];
};

BOOL CALLBACK FindBoxText(HWND child, LPARAM param)
{
    auto* search = reinterpret_cast<TextSearch*>(param);
    wchar_t cls[32] = {};
    ::GetClassNameW(child, cls, 32);
    if (_wcsicmp(cls, L"Static") != 0) return TRUE;
    wchar_t text[512] = {};
    ::SendMessageW(child, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
    if (text[0] == L'\0') return TRUE;  // the icon
    std::wcscpy(search->text, text);
    return FALSE;
}

}  // namespace

void ErrorBoxWatcher::Poll()
{
    BoxSearch search = {::GetCurrentProcessId(), {}, 0};
    ::EnumWindows(&CollectErrorBoxes, reinterpret_cast<LPARAM>(&search));
    for (int i = 0; i < search.count; ++i) {
        HWND box = search.boxes[i];
        if (std::find(m_answered.begin(), m_answered.end(), box) != m_answered.end()) continue;
        TextSearch text = {};
        ::EnumChildWindows(box, &FindBoxText, reinterpret_cast<LPARAM>(&text));
        ::EnterCriticalSection(&m_lock);
        m_texts.push_back(text.text);
        ::LeaveCriticalSection(&m_lock);
        m_answered.push_back(box);
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
    }
}

// ---------------------------------------------------------------------------------------

FailingImagePipe::FailingImagePipe(Bytes bytes)
    : m_bytes(std::move(bytes)), m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    static LONG counter = 0;
    m_path = L"\\\\.\\pipe\\engine-image-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
             std::to_wstring(::InterlockedIncrement(&counter));
    // Out buffer 0: a write completes only once the reader has taken it.
    m_pipe.reset(::CreateNamedPipeW(m_path.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr));
    m_thread.reset(::CreateThread(nullptr, 0, &FailingImagePipe::Run, this, 0, nullptr));
}

FailingImagePipe::~FailingImagePipe()
{
    ::SetEvent(m_stop.get());
    ::WaitForSingleObject(m_thread.get(), INFINITE);
}

bool FailingImagePipe::Served() const { return m_served != 0; }

DWORD WINAPI FailingImagePipe::Run(LPVOID self)
{
    auto* pipe = static_cast<FailingImagePipe*>(self);
    if (pipe->Serve()) ::InterlockedExchange(&pipe->m_served, 1);
    // Dropping the connection fails the reader's pending or next read.
    ::DisconnectNamedPipe(pipe->m_pipe.get());
    return 0;
}

bool FailingImagePipe::Serve()
{
    OwnedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto wait = [&](OVERLAPPED* ov, BOOL started) {
        const DWORD err = started ? ERROR_SUCCESS : ::GetLastError();
        if (err == ERROR_PIPE_CONNECTED) return true;
        if (err != ERROR_SUCCESS && err != ERROR_IO_PENDING) return false;
        HANDLE waits[2] = {event.get(), m_stop.get()};
        if (::WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0) {
            ::CancelIo(m_pipe.get());
            DWORD unused = 0;
            ::GetOverlappedResult(m_pipe.get(), ov, &unused, TRUE);
            return false;
        }
        DWORD unused = 0;
        return ::GetOverlappedResult(m_pipe.get(), ov, &unused, FALSE) != FALSE;
    };
    OVERLAPPED ov = {};
    ov.hEvent = event.get();
    if (!wait(&ov, ::ConnectNamedPipe(m_pipe.get(), &ov))) return false;
    ov = OVERLAPPED{};
    ov.hEvent = event.get();
    ::ResetEvent(event.get());
    return wait(&ov, ::WriteFile(m_pipe.get(), m_bytes.data(), static_cast<DWORD>(m_bytes.size()), nullptr, &ov));
}

// ---------------------------------------------------------------------------------------

bool RedirectStream(FILE* stream, const std::wstring& path, bool writeOnly)
{
    const int fd = writeOnly ? _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, 0600)
                             : _wopen(path.c_str(), _O_RDONLY | _O_BINARY);
    if (fd < 0) return false;
    const bool ok = _dup2(fd, _fileno(stream)) == 0;
    _close(fd);
    return ok;
}

namespace {

// The import address slots of `function` from `dll` in this program's own import table.
std::vector<FARPROC*> ImportSlots(const char* dll, const char* function)
{
    std::vector<FARPROC*> slots;
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return slots;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d) {
        if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
        auto* names =
            reinterpret_cast<IMAGE_THUNK_DATA*>(base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
        auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++addresses) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                slots.push_back(reinterpret_cast<FARPROC*>(&addresses->u1.Function));
        }
    }
    return slots;
}

void SetSlot(FARPROC* slot, FARPROC value)
{
    DWORD old = 0;
    ::VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    *slot = value;
    ::VirtualProtect(slot, sizeof *slot, old, &old);
}

}  // namespace

WriteFault* WriteFault::s_active = nullptr;

WriteFault::WriteFault(HANDLE device, int index, Kind kind, DWORD delivered)
    : m_device(device), m_index(index), m_kind(kind), m_delivered(delivered)
{
    if (s_active) return;  // one at a time
    m_slots = ImportSlots("kernel32.dll", "WriteFile");
    if (m_slots.empty()) return;
    m_real = reinterpret_cast<decltype(&::WriteFile)>(*m_slots.front());
    s_active = this;
    for (FARPROC* slot : m_slots) SetSlot(slot, reinterpret_cast<FARPROC>(&WriteFault::StandIn));
}

WriteFault::~WriteFault()
{
    if (s_active != this) return;
    for (FARPROC* slot : m_slots) SetSlot(slot, reinterpret_cast<FARPROC>(m_real));
    s_active = nullptr;
}

BOOL WINAPI WriteFault::StandIn(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    WriteFault* self = s_active;
    if (file != self->m_device) return self->m_real(file, data, size, written, overlapped);
    const int number = self->m_writes++;
    if (number != self->m_index) return self->m_real(file, data, size, written, overlapped);
    if (self->m_kind == Fail) {
        if (written) *written = 0;
        ::SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    return self->m_real(file, data, std::min(size, self->m_delivered), written, overlapped);
}

std::string LongDevicePath(int length)
{
    std::string path = "\\\\?\\root#upgrade#0000#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}\\";
    for (int i = 0; static_cast<int>(path.size()) < length; ++i) path += static_cast<char>('a' + i % 26);
    return path;
}

std::string DescribeLookup()
{
    auto failed = [](const char* step) {
        return std::string(" [lookup replayed: ") + step + " failed, error " + std::to_string(::GetLastError()) + "]";
    };
    HDEVINFO set =
        ::SetupDiGetClassDevsA(&GUID_DEVINTERFACE_UPGRADE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return failed("SetupDiGetClassDevsA");
    std::string result;
    SP_DEVICE_INTERFACE_DATA data = {sizeof data};
    DWORD size = 0;
    if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_UPGRADE, 0, &data)) {
        result = failed("SetupDiEnumDeviceInterfaces");
    } else {
        ::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        std::vector<DWORD> storage(size / sizeof(DWORD) + 1);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
        detail->cbSize = sizeof *detail;
        if (!::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) {
            result = failed("SetupDiGetDeviceInterfaceDetailA");
        } else {
            OwnedHandle h(::CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
            result = h ? std::string(" [lookup replayed: opens now]")
                       : failed("CreateFileA") + " path " + detail->DevicePath;
        }
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return result;
}
