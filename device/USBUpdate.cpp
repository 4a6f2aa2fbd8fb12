#include "USBUpdate.h"

#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstddef>
#include <new>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ByteSum.h"
#include "SystemLibrary.h"

// {25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835}
const GUID GUID_DEVINTERFACE_UPGRADE = {
    0x25DBCE51, 0x6C8F, 0x4A72, {0x8A, 0x6D, 0xB5, 0x4C, 0x2B, 0x4F, 0xC8, 0x35}};

namespace {

// What the handheld answers on the second handshake read when it waits in upgrade mode.
const BYTE kReadySignature[CUSBUpdate::kHandshakeSize] = {
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};

// Staging reads the image in pieces of this size: few reads, and each piece still in the
// cache when it is summed.
constexpr size_t kStagingChunk = 2u << 20;

// The largest image whose byte count fits the 32-bit header word.
constexpr uint64_t kLargestImage = 0xFFFFFFFFull;

// SetupAPI, loaded from the system directory for the length of one lookup.
class SetupApi {
public:
    SetupApi()
        : m_dll(L"setupapi.dll"),
          GetClassDevs(m_dll.Function<decltype(&::SetupDiGetClassDevsA)>("SetupDiGetClassDevsA")),
          EnumDeviceInterfaces(
              m_dll.Function<decltype(&::SetupDiEnumDeviceInterfaces)>("SetupDiEnumDeviceInterfaces")),
          GetDeviceInterfaceDetail(m_dll.Function<decltype(&::SetupDiGetDeviceInterfaceDetailA)>(
              "SetupDiGetDeviceInterfaceDetailA")),
          DestroyDeviceInfoList(
              m_dll.Function<decltype(&::SetupDiDestroyDeviceInfoList)>("SetupDiDestroyDeviceInfoList"))
    {
    }
    bool Loaded() const
    {
        return GetClassDevs && EnumDeviceInterfaces && GetDeviceInterfaceDetail && DestroyDeviceInfoList;
    }

private:
    SystemLibrary m_dll;

public:
    decltype(&::SetupDiGetClassDevsA) const GetClassDevs;
    decltype(&::SetupDiEnumDeviceInterfaces) const EnumDeviceInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailA) const GetDeviceInterfaceDetail;
    decltype(&::SetupDiDestroyDeviceInfoList) const DestroyDeviceInfoList;
};

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

}  // namespace

CUSBUpdate::CUSBUpdate()
    : m_nByteCount(0),
      m_nBlockCount(0),
      m_pImageFile(nullptr),
      m_dwBytesRead(0),
      m_nBlockSize(kBlockSize),
      m_Buffer{},
      m_hDevice(INVALID_HANDLE_VALUE),
      m_szDevicePath{},
      m_nByteSum(0),
      m_byCell(0),
      m_dwBytesWritten(0),
      m_nBytesSent(0),
      m_nSumSent(0)
{
}

CUSBUpdate::~CUSBUpdate() = default;

HANDLE CUSBUpdate::OpenDevice()
{
    return FindDevice(&GUID_DEVINTERFACE_UPGRADE, m_szDevicePath);
}

HANDLE CUSBUpdate::FindDevice(const GUID* guid, char* devicePath)
{
    const SetupApi api;
    if (!api.Loaded()) return INVALID_HANDLE_VALUE;
    DeviceInfoSet set(api, api.GetClassDevs(guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.valid()) return INVALID_HANDLE_VALUE;

    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    // Only the first present interface of the class is ever tried.
    if (!api.EnumDeviceInterfaces(set.get(), nullptr, guid, 0, &data))
        return INVALID_HANDLE_VALUE;
    return OpenDeviceInterface(set.get(), &data, devicePath);
}

HANDLE CUSBUpdate::OpenDeviceInterface(HDEVINFO info, PSP_DEVICE_INTERFACE_DATA data, char* devicePath)
{
    const SetupApi api;
    if (!api.Loaded()) return INVALID_HANDLE_VALUE;
    DWORD required = 0;
    api.GetDeviceInterfaceDetail(info, data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return INVALID_HANDLE_VALUE;

    // DWORD elements keep the detail structure suitably aligned.
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!api.GetDeviceInterfaceDetail(info, data, detail, required, nullptr, nullptr))
        return INVALID_HANDLE_VALUE;

    // The path must fit the caller's buffer whole, NUL included. A path cut short could
    // name some other object, so a path that does not fit counts as no device at all.
    const size_t maxChars = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const size_t length = strnlen(detail->DevicePath, maxChars);
    if (length >= maxChars || length + 1 > kPathSize) return INVALID_HANDLE_VALUE;
    std::memcpy(devicePath, detail->DevicePath, length + 1);

    return ::CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

int CUSBUpdate::Connect()
{
    BYTE answer[kHandshakeSize] = {};
    m_hDevice = OpenDevice();
    if (m_hDevice == INVALID_HANDLE_VALUE) return kNoDevice;

    // The handheld answers twice; only what the second read leaves in the buffer counts.
    // A read that fails or delivers less leaves the rest as the earlier content.
    ::ReadFile(m_hDevice, answer, kHandshakeSize, &m_dwBytesRead, nullptr);
    ::ReadFile(m_hDevice, answer, kHandshakeSize, &m_dwBytesRead, nullptr);

    if (std::memcmp(answer, kReadySignature, kHandshakeSize) == 0) return kReady;
    ShowError(L"Please press down USB item");
    return kWrongReply;
}

DWORD CUSBUpdate::OpenImage(CString path)
{
    m_nByteCount = 0;
    m_nBlockCount = 0;
    m_nByteSum = 0;
    m_nBlockSize = kBlockSize;
    m_nBytesSent = 0;
    m_nSumSent = 0;

    // Writers are kept out from staging until Close, so both passes read the same bytes.
    _doserrno = 0;
    m_pImageFile = _wfsopen(path, L"rb", _SH_DENYWR);
    if (!m_pImageFile) {
        // Another program writing to the file keeps us out; that is not a missing file.
        if (_doserrno == ERROR_SHARING_VIOLATION)
            ShowError(L"The image file is in use by another program. Close that program and try again.");
        else
            ShowError(L"Can not find  the image file.");
        return 0;
    }

    // Gives up staging: the error box, the stream closed, nothing counted.
    auto refuse = [this](const wchar_t* text) -> DWORD {
        std::fclose(m_pImageFile);
        m_pImageFile = nullptr;
        m_nByteCount = 0;
        m_nByteSum = 0;
        m_nBlockCount = 0;
        ShowError(text);
        return 0;
    };
    static const wchar_t kTooLarge[] =
        L"The image file is too large: images must be smaller than 4 GB.";

    // A file whose size is known is refused before any of it is read; a stream of
    // unknown size (a device, a pipe) is stopped by the count below.
    struct _stati64 st;
    if (_fstati64(_fileno(m_pImageFile), &st) == 0 && (st.st_mode & _S_IFREG) &&
        static_cast<uint64_t>(st.st_size) > kLargestImage)
        return refuse(kTooLarge);

    // Without memory for the large buffer, a small one on the stack does the same job.
    std::unique_ptr<BYTE[]> large(new (std::nothrow) BYTE[kStagingChunk]);
    BYTE small[16384];
    BYTE* const chunk = large ? large.get() : small;
    const size_t chunkSize = large ? kStagingChunk : sizeof small;

    uint64_t count = 0;
    uint32_t sum = 0;
    for (;;) {
        const size_t n = std::fread(chunk, 1, chunkSize, m_pImageFile);
        if (n > 0) {
            count += n;
            if (count > kLargestImage) return refuse(kTooLarge);
            sum += ByteSum(chunk, n);
            m_byCell = chunk[n - 1];
        }
        if (std::ferror(m_pImageFile)) return refuse(L"The image file could not be read.");
        if (n < chunkSize) break;
    }
    m_nByteCount = static_cast<uint32_t>(count);
    m_nByteSum = sum;
    m_nBlockCount = static_cast<int32_t>(m_nByteCount >> 9);

    std::rewind(m_pImageFile);
    return m_nByteSum;
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

bool CUSBUpdate::WriteWhole(const BYTE* data, DWORD size)
{
    // A write that succeeds with fewer bytes than asked did not deliver them all.
    return ::WriteFile(m_hDevice, data, size, &m_dwBytesWritten, nullptr) && m_dwBytesWritten == size;
}

int CUSBUpdate::SendBlock()
{
    if (!m_pImageFile) return 0;
    if (std::feof(m_pImageFile)) return 0;

    // m_nBlockSize is always kBlockSize; the buffer is the hard bound all the same.
    const size_t blockSize = sizeof m_Buffer;
    const size_t n = std::fread(m_Buffer, 1, blockSize, m_pImageFile);
    if (std::ferror(m_pImageFile)) return 0;

    // The sending pass must read exactly the bytes staging counted and summed: the header
    // has announced them. Anything else stops the transfer short of success.
    if (m_nBytesSent + n > m_nByteCount) return 0;
    m_nBytesSent += n;
    m_nSumSent += ByteSum(m_Buffer, n);
    if (std::feof(m_pImageFile) && (m_nBytesSent != m_nByteCount || m_nSumSent != m_nByteSum))
        return 0;

    // Always the whole block: past the bytes just read, the buffer keeps what the block
    // before left there (zeros before the first), and the handheld expects exactly that.
    return WriteWhole(m_Buffer, static_cast<DWORD>(blockSize)) ? 1 : 0;
}

// Copies share the handle and the stream, so Close is called once, on the copy that
// ends the page chain; the other copies are dropped without releasing anything. The
// fields keep their values: the object is not used for I/O again.
int CUSBUpdate::Close()
{
    if (m_hDevice != INVALID_HANDLE_VALUE) ::CloseHandle(m_hDevice);
    if (m_pImageFile) std::fclose(m_pImageFile);
    return 0;
}

void CUSBUpdate::ShowError(CString text)
{
    ::MessageBoxW(nullptr, text, L"Error", MB_OK);
}
