#include "device/USBUpdate.h"
#include "framework/AnswerBox.h"
#include "framework/Handles.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <memory>
#include <utility>
#include <vector>

#include "device/EngineTexts.h"
#include "framework/NamedObject.h"
#include "framework/SystemLibrary.h"

// {25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835}
const GUID GUID_DEVINTERFACE_UPGRADE = {0x25DBCE51, 0x6C8F, 0x4A72, {0x8A, 0x6D, 0xB5, 0x4C, 0x2B, 0x4F, 0xC8, 0x35}};

std::wstring DeviceObjectName(const std::wstring& prefix, const std::wstring& devicePath)
{
    std::wstring folded;
    for (wchar_t c : devicePath)
        folded += c == L'\\' ? L'#' : c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    // Object names are kept under MAX_PATH characters: a longer path keeps its end, where
    // paths differ, behind a hash of the whole.
    constexpr size_t kLongestName = MAX_PATH - 1;
    if (prefix.size() + folded.size() <= kLongestName) return prefix + folded;
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (wchar_t c : folded) hash = (hash ^ c) * 1099511628211ull;
    wchar_t hex[18];
    std::swprintf(hex, 18, L"%016llx ", static_cast<unsigned long long>(hash));
    const std::wstring head = prefix + hex;
    return head + folded.substr(folded.size() - (kLongestName - head.size()));
}

namespace {

// What the handheld answers on the second handshake read when it waits in upgrade mode.
const BYTE kReadySignature[CUSBUpdate::kHandshakeSize] = {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
                                                          0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};

// SetupAPI, loaded from the system directory for the length of one lookup. The wide calls:
// a device path is Unicode, and the engine keeps it as UTF-8.
class SetupApi {
public:
    SetupApi()
        : m_dll(L"setupapi.dll"),
          GetClassDevs(m_dll.Function<decltype(&::SetupDiGetClassDevsW)>("SetupDiGetClassDevsW")),
          EnumDeviceInterfaces(m_dll.Function<decltype(&::SetupDiEnumDeviceInterfaces)>("SetupDiEnumDeviceInterfaces")),
          GetDeviceInterfaceDetail(
              m_dll.Function<decltype(&::SetupDiGetDeviceInterfaceDetailW)>("SetupDiGetDeviceInterfaceDetailW")),
          DestroyDeviceInfoList(
              m_dll.Function<decltype(&::SetupDiDestroyDeviceInfoList)>("SetupDiDestroyDeviceInfoList"))
    {
        // Loaded once, it stays: Wine leaks about a kilobyte each time setupapi is unloaded
        // while a device of the class is present, and a --repeat line looks four times a
        // second all day.
        HMODULE pinned = nullptr;
        if (Loaded())
            ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                 reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(GetClassDevs)), &pinned);
    }
    bool Loaded() const
    {
        return GetClassDevs && EnumDeviceInterfaces && GetDeviceInterfaceDetail && DestroyDeviceInfoList;
    }

private:
    SystemLibrary m_dll;

public:
    decltype(&::SetupDiGetClassDevsW) const GetClassDevs;
    decltype(&::SetupDiEnumDeviceInterfaces) const EnumDeviceInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailW) const GetDeviceInterfaceDetail;
    decltype(&::SetupDiDestroyDeviceInfoList) const DestroyDeviceInfoList;
};

// The sizes the lookup hands SetupAPI: 28 and 6 in a 32-bit program, 32 and 8 in a 64-bit one.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (sizeof(void*) == 4 ? 28 : 32), "interface data size");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == (sizeof(void*) == 4 ? 6 : 8), "detail data size");

// A device information set, destroyed on every way out of the lookup.
class DeviceInfoSet {
public:
    DeviceInfoSet(const SetupApi& api, HDEVINFO set) : m_api(api), m_set(set) {}
    ~DeviceInfoSet()
    {
        if (m_set != INVALID_HANDLE_VALUE) m_api.DestroyDeviceInfoList(m_set);
    }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
    HDEVINFO get() const { return m_set; }
    bool valid() const { return m_set != INVALID_HANDLE_VALUE; }

private:
    const SetupApi& m_api;
    HDEVINFO m_set;
};

// The whole device path of one enumerated interface, in UTF-8; 0, or the Windows error that
// kept it from us.
DWORD InterfacePath(const SetupApi& api, HDEVINFO info, PSP_DEVICE_INTERFACE_DATA data, std::string* path)
{
    DWORD required = 0;
    api.GetDeviceInterfaceDetail(info, data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return ::GetLastError() ? ::GetLastError() : ERROR_GEN_FAILURE;

    // DWORD elements keep the detail structure suitably aligned.
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!api.GetDeviceInterfaceDetail(info, data, detail, required, nullptr, nullptr)) return ::GetLastError();

    const size_t maxChars = (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
    const size_t length = wcsnlen(detail->DevicePath, maxChars);
    if (length == 0 || length >= maxChars) return ERROR_INVALID_DATA;
    *path = ToUtf8(std::wstring(detail->DevicePath, length));
    return 0;
}

// The path must fit the link's buffer whole, NUL included. A path cut short could name some
// other object, so a path that does not fit counts as no device at all.
bool CopyPath(const std::string& path, char* devicePath)
{
    if (path.empty() || path.size() + 1 > CUSBUpdate::kPathSize) return false;
    std::memcpy(devicePath, path.c_str(), path.size() + 1);
    return true;
}

// Overlapped, so that every wait on the handheld can have an end (see Exchange).
HANDLE OpenPath(const char* devicePath)
{
    return ::CreateFileW(FromUtf8(devicePath).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// Looks up the present interfaces of the class: all of them, or only the first.
DeviceLookup LookUpInterfaces(const GUID* guid, bool firstOnly)
{
    DeviceLookup found;
    const SetupApi api;
    if (!api.Loaded()) {
        found.error = ERROR_MOD_NOT_FOUND;
        return found;
    }
    DeviceInfoSet set(api, api.GetClassDevs(guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.valid()) {
        found.error = ::GetLastError() ? ::GetLastError() : ERROR_GEN_FAILURE;
        return found;
    }
    for (DWORD member = 0; !firstOnly || member == 0; ++member) {
        SP_DEVICE_INTERFACE_DATA data;
        std::memset(&data, 0, sizeof data);
        data.cbSize = sizeof data;
        if (!api.EnumDeviceInterfaces(set.get(), nullptr, guid, member, &data)) {
            // The end of the list, or a look that broke off: only the first is "none more".
            const DWORD error = ::GetLastError();
            if (error != ERROR_NO_MORE_ITEMS) {
                found.error = error ? error : ERROR_GEN_FAILURE;
                found.paths.clear();
            }
            break;
        }
        // An interface whose path cannot be had keeps its place, so that numbers stay put.
        std::string path;
        const DWORD error = InterfacePath(api, set.get(), &data, &path);
        if (error && !found.pathError) found.pathError = error;
        found.paths.push_back(path);
    }
    return found;
}

// The lock of one handheld: a mutex in the global namespace, so that programs of every
// session see it, named after the device path.
std::wstring DeviceLockName(const char* devicePath)
{
    return DeviceObjectName(L"Global\\ROM Upgrade Wizard link ", FromUtf8(devicePath));
}

enum class LockResult { Held, Busy, NotOurs };

// How often a lock found there is looked at again before it counts as held: another
// program's look at it (LookAtLock) keeps it for no more than an instant.
constexpr int kLockTries = 4;
constexpr DWORD kLockPauseMs = 15;

// Takes the handheld's lock without waiting on its holder. The lock is the named object
// itself: whoever makes it holds the lock until its handle is closed, from any thread (the
// link moves between threads, so a mutex's ownership, which belongs to one thread, would not
// do), and a holder that died has had its handles closed by Windows, so its lock is free
// again. A lock that is there and not ours, or that cannot be made or checked, is NotOurs:
// the handheld is not opened (*error says why).
LockResult TakeDeviceLock(const char* devicePath, HANDLE* lock, DWORD* error)
{
    const std::wstring name = DeviceLockName(devicePath);
    for (int attempt = 1;; ++attempt) {
        NamedObject mutex = CreateNamedObject(NamedKind::Mutex, name);
        if (mutex.verdict == NameVerdict::Made) {
            *lock = mutex.handle.release();
            return LockResult::Held;
        }
        if (mutex.verdict != NameVerdict::Ours) {
            *error = mutex.error;
            return LockResult::NotOurs;
        }
        if (attempt == kLockTries) return LockResult::Busy;
        mutex.handle.reset();
        ::Sleep(kLockPauseMs);
    }
}

void ReleaseDeviceLock(HANDLE* lock)
{
    if (!*lock) return;
    ::CloseHandle(*lock);
    *lock = nullptr;
}

}  // namespace

CUSBUpdate::CUSBUpdate()
    : m_nByteCount(0), m_nBlockCount(0), m_dwBytesRead(0), m_nBlockSize(kBlockSize), m_Buffer{},
      m_hDevice(INVALID_HANDLE_VALUE), m_szDevicePath{}, m_nByteSum(0), m_byCell(0), m_dwBytesWritten(0),
      m_nFailure(kFailNone), m_dwError(0), m_dwHandshakeTimeout(kHandshakeTimeoutMs), m_dwWriteTimeout(INFINITE),
      m_hLock(nullptr), m_hIoEvent(nullptr), m_hStop(nullptr), m_pReporter(nullptr)
{
}

CUSBUpdate::~CUSBUpdate()
{
    Close();
    if (m_hIoEvent) ::CloseHandle(m_hIoEvent);
}

CUSBUpdate::CUSBUpdate(CUSBUpdate&& other) noexcept : CUSBUpdate() { TakeOver(other); }

CUSBUpdate& CUSBUpdate::operator=(CUSBUpdate&& other) noexcept
{
    if (this != &other) {
        Close();
        TakeOver(other);
    }
    return *this;
}

// Everything of the other link becomes this one's; the other keeps its counts and path but
// owns nothing any more.
void CUSBUpdate::TakeOver(CUSBUpdate& other)
{
    m_nByteCount = other.m_nByteCount;
    m_nBlockCount = other.m_nBlockCount;
    m_dwBytesRead = other.m_dwBytesRead;
    m_nBlockSize = other.m_nBlockSize;
    std::memcpy(m_Buffer, other.m_Buffer, sizeof m_Buffer);
    m_hDevice = std::exchange(other.m_hDevice, INVALID_HANDLE_VALUE);
    std::memcpy(m_szDevicePath, other.m_szDevicePath, sizeof m_szDevicePath);
    m_nByteSum = other.m_nByteSum;
    m_byCell = other.m_byCell;
    m_dwBytesWritten = other.m_dwBytesWritten;
    m_nFailure = other.m_nFailure;
    m_dwError = other.m_dwError;
    m_dwHandshakeTimeout = other.m_dwHandshakeTimeout;
    m_dwWriteTimeout = other.m_dwWriteTimeout;
    m_strImageSha256 = other.m_strImageSha256;
    m_hLock = std::exchange(other.m_hLock, nullptr);
    std::swap(m_hIoEvent, other.m_hIoEvent);
    m_hStop = other.m_hStop;
    m_pReporter = other.m_pReporter;
    m_stagingProgress = std::move(other.m_stagingProgress);
    m_stagingReader = std::move(other.m_stagingReader);
    m_pStaged = std::move(other.m_pStaged);
    m_reader = std::move(other.m_reader);
}

HANDLE CUSBUpdate::OpenDevice() { return FindDevice(&GUID_DEVINTERFACE_UPGRADE, m_szDevicePath); }

HANDLE CUSBUpdate::FindDevice(const GUID* guid, char* devicePath)
{
    const DeviceLookup first = LookUpInterfaces(guid, true);
    if (first.paths.empty() || !CopyPath(first.paths[0], devicePath)) return INVALID_HANDLE_VALUE;
    return OpenPath(devicePath);
}

HANDLE CUSBUpdate::OpenDeviceInterface(HDEVINFO info, PSP_DEVICE_INTERFACE_DATA data, char* devicePath)
{
    const SetupApi api;
    std::string path;
    if (!api.Loaded() || InterfacePath(api, info, data, &path) != 0 || !CopyPath(path, devicePath))
        return INVALID_HANDLE_VALUE;
    return OpenPath(devicePath);
}

static bool SameDevicePath(const std::string& a, const std::string& b)
{
    return _wcsicmp(FromUtf8(a).c_str(), FromUtf8(b).c_str()) == 0;
}

// A write that failed: the handheld refused it, or is gone. Windows says so of a device that
// left, or takes its interface out of the lookup; the removal may come a moment after the
// failed write, so the lookup is asked a few times before it counts as a refusal. A look that
// failed says nothing either way.
bool CUSBUpdate::Unplugged() const
{
    if (m_dwError == ERROR_DEVICE_NOT_CONNECTED || m_dwError == ERROR_DEV_NOT_EXIST ||
        m_dwError == ERROR_DEVICE_REMOVED)
        return true;
    for (int look = 0; look < 5; ++look) {
        if (look > 0) ::Sleep(50);
        const DeviceLookup found = LookUp();
        if (found.Failed()) continue;
        bool present = false;
        for (const std::string& path : found.paths) present = present || SameDevicePath(path, m_szDevicePath);
        if (!present) return true;
    }
    return false;
}

CUSBUpdate::LockLook CUSBUpdate::LookAtLock(const std::string& devicePath, DWORD* error)
{
    // Opened, never made: a look must not make the name that a taker is about to make.
    const NamedObject lock = OpenNamedObject(NamedKind::Mutex, DeviceLockName(devicePath.c_str()));
    switch (lock.verdict) {
    case NameVerdict::Absent: return kLockFree;
    case NameVerdict::Ours: return kLockHeld;
    default:
        if (error) *error = lock.error;
        return kLockNotOurs;
    }
}

DeviceLookup CUSBUpdate::LookUp() { return LookUpInterfaces(&GUID_DEVINTERFACE_UPGRADE, false); }

int CUSBUpdate::Connect()
{
    CloseDevice();
    m_dwError = 0;
    // Only the first present interface of the class is ever tried.
    const DeviceLookup first = LookUpInterfaces(&GUID_DEVINTERFACE_UPGRADE, true);
    if (first.Failed()) {
        m_dwError = first.error;
        return kLookupFailed;
    }
    if (first.paths.empty() || !CopyPath(first.paths[0], m_szDevicePath)) return kNoDevice;
    return OpenAndHandshake();
}

int CUSBUpdate::ConnectTo(const std::string& devicePath)
{
    CloseDevice();
    m_dwError = 0;
    if (!CopyPath(devicePath, m_szDevicePath)) return kNoDevice;
    return OpenAndHandshake();
}

// Takes the handheld's lock, opens it at m_szDevicePath and reads the handshake.
int CUSBUpdate::OpenAndHandshake()
{
    switch (TakeDeviceLock(m_szDevicePath, &m_hLock, &m_dwError)) {
    case LockResult::Held: break;
    case LockResult::Busy: return kBusy;
    case LockResult::NotOurs: return kNotOurs;
    }
    m_hDevice = OpenPath(m_szDevicePath);
    if (m_hDevice == INVALID_HANDLE_VALUE) {
        m_dwError = ::GetLastError();
        ReleaseDeviceLock(&m_hLock);
        return kNoDevice;
    }

    // The handheld answers twice; only what the second read leaves in the buffer counts. A
    // read that delivers less leaves the rest as the earlier content; a read that fails, or
    // brings no answer in time, makes the answer a wrong one.
    Fail(kFailNone, 0);
    BYTE answer[kHandshakeSize] = {};
    bool failed = false;
    for (int read = 0; read < 2 && !failed; ++read) {
        switch (Exchange(false, answer, kHandshakeSize, m_dwHandshakeTimeout, &m_dwBytesRead)) {
        case Io::Done: break;
        case Io::Failed: failed = true; break;
        case Io::TimedOut:
            Fail(kFailNoAnswer, ERROR_TIMEOUT);
            failed = true;
            break;
        case Io::Stopped: Fail(kFailStopped, 0); return kStopped;
        }
    }

    if (!failed && std::memcmp(answer, kReadySignature, kHandshakeSize) == 0) {
        m_dwError = 0;
        return kReady;
    }
    ShowError(TextOr(IDS_ENGINE_PRESS_USB_ITEM, L"Please press down USB item"));
    return kWrongReply;
}

CUSBUpdate::Io CUSBUpdate::Exchange(bool write, void* data, DWORD size, DWORD timeoutMs, DWORD* done)
{
    *done = 0;
    // The stop event is looked at only while the operation waits: an operation that completes
    // at once costs no more than a plain write. The caller stops between two operations.
    if (!m_hIoEvent) m_hIoEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_hIoEvent) {
        m_dwError = ::GetLastError();
        return Io::Failed;
    }
    OVERLAPPED ov = {};
    ov.hEvent = m_hIoEvent;
    const BOOL immediate = write ? ::WriteFile(m_hDevice, data, size, nullptr, &ov)
                                 : ::ReadFile(m_hDevice, data, size, nullptr, &ov);
    if (!immediate) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) {
            m_dwError = error;
            return Io::Failed;
        }
        const HANDLE waits[2] = {m_hIoEvent, m_hStop};
        const DWORD woke = ::WaitForMultipleObjects(m_hStop ? 2 : 1, waits, FALSE, timeoutMs);
        if (woke != WAIT_OBJECT_0) {
            // CancelIo ends what this thread started; XP has it, unlike CancelIoEx. The
            // operation may still have finished first: then it counts as done.
            ::CancelIo(m_hDevice);
            if (::GetOverlappedResult(m_hDevice, &ov, done, TRUE) && *done == size) return Io::Done;
            *done = 0;
            return woke == WAIT_TIMEOUT ? Io::TimedOut : Io::Stopped;
        }
    }
    if (!::GetOverlappedResult(m_hDevice, &ov, done, FALSE)) {
        m_dwError = ::GetLastError();
        return Io::Failed;
    }
    return Io::Done;
}

void CUSBUpdate::Fail(int failure, DWORD error)
{
    m_nFailure = failure;
    m_dwError = error;
}

DWORD CUSBUpdate::OpenImage(CString path)
{
    CloseImage();
    m_strImageSha256.clear();
    m_nBlockSize = kBlockSize;
    m_byCell = 0;
    Fail(kFailNone, 0);

    StagingHooks hooks;
    hooks.stop = m_hStop;
    hooks.progress = m_stagingProgress;
    hooks.reader = m_stagingReader;
    ImageFault fault = ImageFault::None;
    DWORD error = 0;
    std::shared_ptr<const StagedImage> image = StagedImage::Stage(path, hooks, &fault, &error);
    if (image) {
        m_byCell = image->LastByte();
        return OpenStagedImage(std::move(image));
    }
    m_nByteCount = 0;
    m_nByteSum = 0;
    m_nBlockCount = 0;
    // A stop ends staging with nothing said: the caller says it.
    switch (fault) {
    case ImageFault::Open:
        Fail(kFailImageOpen, error);
        // Another program writing to the file keeps us out; that is not a missing file.
        if (error == ERROR_SHARING_VIOLATION)
            ShowError(TextOr(IDS_ENGINE_IMAGE_IN_USE,
                             L"The image file is in use by another program. Close that program and try again."));
        else
            ShowError(TextOr(IDS_ENGINE_IMAGE_NOT_FOUND, L"Can not find  the image file."));
        break;
    case ImageFault::TooLarge:
        Fail(kFailImageTooLarge, 0);
        ShowError(TextOr(IDS_ENGINE_IMAGE_TOO_LARGE, L"The image file is too large: images must be smaller than 4 GB."));
        break;
    case ImageFault::Stopped: Fail(kFailStopped, 0); break;
    default:
        Fail(kFailImageRead, error);
        ShowError(TextOr(IDS_ENGINE_IMAGE_UNREADABLE, L"The image file could not be read."));
        break;
    }
    return 0;
}

BOOL CUSBUpdate::SendHeader()
{
    // Two little-endian 32-bit words, each in a write of its own.
    BYTE count[4], sum[4];
    for (int i = 0; i < 4; ++i) {
        count[i] = static_cast<BYTE>(m_nByteCount >> (8 * i));
        sum[i] = static_cast<BYTE>(m_nByteSum >> (8 * i));
    }
    // A word the handheld did not take whole ends the header: the sum is not sent after a
    // count that went wrong.
    return WriteWhole(count, sizeof count) && WriteWhole(sum, sizeof sum);
}

DWORD CUSBUpdate::OpenStagedImage(std::shared_ptr<const StagedImage> image)
{
    CloseImage();
    Fail(kFailNone, 0);
    m_nBlockSize = kBlockSize;
    if (!image) {
        Fail(kFailImageOpen, 0);
        m_nByteCount = 0;
        m_nByteSum = 0;
        m_nBlockCount = 0;
        m_strImageSha256.clear();
        return 0;
    }
    m_nByteCount = image->ByteCount();
    m_nBlockCount = static_cast<int32_t>(m_nByteCount >> 9);
    m_nByteSum = image->ByteSum();
    m_strImageSha256 = image->Sha256Hex();
    m_reader = std::make_unique<ImageReader>(image);
    m_pStaged = std::move(image);
    return m_nByteSum;
}

bool CUSBUpdate::WriteWhole(const BYTE* data, DWORD size)
{
    switch (Exchange(true, const_cast<BYTE*>(data), size, m_dwWriteTimeout, &m_dwBytesWritten)) {
    case Io::Done: break;
    case Io::Failed: Fail(Unplugged() ? kFailUnplugged : kFailWrite, m_dwError); return false;
    case Io::TimedOut: Fail(kFailStalled, ERROR_TIMEOUT); return false;
    case Io::Stopped: Fail(kFailStopped, 0); return false;
    }
    // A write that succeeds with fewer bytes than asked did not deliver them all.
    if (m_dwBytesWritten != size) {
        Fail(kFailWrite, 0);
        return false;
    }
    return true;
}

int CUSBUpdate::SendBlock()
{
    if (!m_reader) return 0;
    size_t n = 0;
    // Past the bytes just read, the buffer keeps what the block before left there (zeros
    // before the first): the last block always goes out whole, and the handheld expects
    // exactly that.
    if (!m_reader->Next(m_Buffer, sizeof m_Buffer, &n)) {
        switch (m_reader->Fault()) {
        case ImageFault::None: break;  // the end: every block has gone
        case ImageFault::Changed: Fail(kFailImageChanged, 0); break;
        default: Fail(kFailImageRead, m_reader->Error()); break;
        }
        return 0;
    }
    return WriteWhole(m_Buffer, static_cast<DWORD>(sizeof m_Buffer)) ? 1 : 0;
}

// The counts, the sum and the device path stay for whoever reports on the attempt. The
// handheld's lock goes last, once the device is closed.
int CUSBUpdate::Close()
{
    CloseImage();
    CloseDevice();
    return 0;
}

void CUSBUpdate::CloseImage()
{
    m_reader.reset();
    m_pStaged.reset();
}

void CUSBUpdate::CloseDevice()
{
    if (m_hDevice != INVALID_HANDLE_VALUE) ::CloseHandle(std::exchange(m_hDevice, INVALID_HANDLE_VALUE));
    ReleaseDeviceLock(&m_hLock);
}

void CUSBUpdate::ShowError(CString text)
{
    if (m_pReporter)
        m_pReporter->ReportError(text, m_dwError);
    else
        ShowAnswerBox(nullptr, text.GetString(), TextOr(IDS_ENGINE_ERROR_CAPTION, L"Error").GetString(),
                      AnswerButtons::Ok, nullptr);
}
