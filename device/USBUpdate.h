// CUSBUpdate: the link to the handheld. Finds its device interface, opens it, reads the
// handshake, stages the image file (byte count, sum and digests: see image/StagedImage.h)
// and sends the header and the image in 512-byte blocks, each taken from the image's one
// verified stream.
//
// One object owns the link at a time: the device handle, the staged image and the
// handheld's lock. A page hands the link on by moving it (`next.m_USBUpdate =
// std::move(m_USBUpdate)`); the object moved from holds nothing any more, and the owner
// releases everything in Close or, at the latest, in its destructor.
//
// No wait on the handheld is without an end. Every read and write is overlapped and waits
// for at most its time-out, and for as long as the stop event (SetStopEvent) stays unset: a
// thread that runs the link never hangs on a handheld that stopped answering, and another
// thread can end any wait at once.
#pragma once
#include <windows.h>
#include <setupapi.h>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "image/StagedImage.h"
#include "framework/CString.h"

// Interface class under which the handheld's upgrade-mode driver exposes it.
extern const GUID GUID_DEVINTERFACE_UPGRADE;

// The name of a kernel object that stands for one handheld, the same in every program:
// `prefix` and the device path, case folded, its backslashes (which a name cannot hold) spelt
// '#' as the registry spells interface keys; under MAX_PATH characters, a long path kept by
// its end behind a hash of the whole.
std::wstring DeviceObjectName(const std::wstring& prefix, const std::wstring& devicePath);

// One look at the present interfaces of the upgrade class.
struct DeviceLookup {
    // Not 0: Windows could not list them (the look failed, and `paths` is empty): that is no
    // "none present".
    DWORD error = 0;
    // Their device paths in UTF-8, in the lookup's order; empty for one whose path could not
    // be read, with the first such failure in pathError.
    std::vector<std::string> paths;
    DWORD pathError = 0;
    bool Failed() const { return error != 0; }
};

// Where the engine tells of an error the user must know about. Without one the engine shows
// a message box of its own (caption "Error", no owner window); a program with no windows
// installs a reporter that writes the text where its user looks.
class LinkReporter {
public:
    // `error`: the Windows error code behind the failure, 0 when Windows reported none.
    virtual void ReportError(const CString& text, DWORD error) = 0;

protected:
    ~LinkReporter() = default;
};

class CUSBUpdate {
public:
    enum { kBlockSize = 512, kPathSize = 256, kHandshakeSize = 16 };
    // kBusy: another program holds this handheld's link; the device was not opened.
    // kStopped: the stop event ended the handshake; nothing was told to the user.
    // kNotOurs: the handheld's lock is there and not ours, or could not be made or checked
    // (framework/NamedObject.h; m_dwError says why): the device was not opened.
    // kLookupFailed: Windows could not list the handhelds (m_dwError says why).
    enum ConnectResult {
        kNoDevice = 0,
        kReady = 1,
        kWrongReply = 2,
        kBusy = 3,
        kStopped = 4,
        kNotOurs = 5,
        kLookupFailed = 6,
    };
    // What a look at a handheld's lock found.
    enum LockLook { kLockFree, kLockHeld, kLockNotOurs };
    // What made the last staging or write fail (m_nFailure), beside the Windows error code.
    enum Failure {
        kFailNone = 0,
        kFailImageOpen,      // the image file could not be opened (m_dwError tells why)
        kFailImageTooLarge,  // 4 GiB or more
        kFailImageRead,      // a read error, while staging or while sending
        kFailImageChanged,   // the sending pass read other bytes than staging digested
        kFailWrite,          // the handheld did not take a header or block write
        kFailNoAnswer,       // no handshake answer within the handshake time-out
        kFailStalled,        // a write not taken within the write time-out
        kFailStopped,        // the stop event ended a wait
        kFailImageDigest,    // the image's SHA-256 is not the one expected
        kFailUnplugged,      // a write failed because the handheld is gone
    };
    // How long the handshake waits for each answer by default, in ms.
    static constexpr DWORD kHandshakeTimeoutMs = 10000;

    CUSBUpdate();
    virtual ~CUSBUpdate();  // closes what the object still owns
    CUSBUpdate(CUSBUpdate&& other) noexcept;
    // Closes what this object owned, then takes over the other's link.
    CUSBUpdate& operator=(CUSBUpdate&& other) noexcept;
    CUSBUpdate(const CUSBUpdate&) = delete;
    CUSBUpdate& operator=(const CUSBUpdate&) = delete;

    // Opens the first present interface and reads the handshake: kNoDevice, kReady,
    // kWrongReply (after telling the user "Please press down USB item"; also when a read
    // fails, or brings no answer within m_dwHandshakeTimeout), kBusy, kStopped, kNotOurs or
    // kLookupFailed. From here
    // to Close the link holds this handheld's lock, so that no other program writes to it
    // meanwhile. The handle stays in m_hDevice.
    int Connect();
    // The same for the interface at devicePath (UTF-8, one of LookUp's).
    int ConnectTo(const std::string& devicePath);
    // The present interfaces of the upgrade class, in the lookup's order: the first is the
    // one Connect opens.
    static DeviceLookup LookUp();
    // Whether another link holds the lock of the handheld at devicePath now. Opens the lock
    // if it is there and never makes it, and opens no device: a look takes nothing.
    // kLockNotOurs: *error says why.
    static LockLook LookAtLock(const std::string& devicePath, DWORD* error = nullptr);
    // The lookup and open alone, without the handheld's lock (Connect takes it).
    HANDLE OpenDevice();
    // Opens the first present interface of the class; INVALID_HANDLE_VALUE when there is
    // none, it cannot be opened, or its path does not fit devicePath (kPathSize chars).
    HANDLE FindDevice(const GUID* guid, char* devicePath);
    static HANDLE OpenDeviceInterface(HDEVINFO info, PSP_DEVICE_INTERFACE_DATA data, char* devicePath);

    // Stages the image (StagedImage::Stage) to be sent over this link. Returns the byte sum;
    // 0, with no image, when it cannot be staged (after telling the user why).
    DWORD OpenImage(CString path);
    // The image staged here, for many links at once (OpenStagedImage); nullptr when none.
    std::shared_ptr<const StagedImage> ShareImage() const { return m_pStaged; }
    // Sends `image` over this link, without a second pass: a reader of its own goes through
    // it, checking every piece against staging before any of its blocks goes out.
    DWORD OpenStagedImage(std::shared_ptr<const StagedImage> image);
    // An image is open to be sent: staged here, or shared with this link.
    bool HasImage() const { return m_pStaged != nullptr; }
    const StagedImage* Image() const { return m_pStaged.get(); }
    // Sends the byte count and the byte sum: TRUE only when the handheld took both words
    // whole. After a word it did not take, nothing more is written.
    BOOL SendHeader();
    // Sends the next block: 1 when written whole; 0 at the end, on a failed or short
    // write, on a failed read, or when the bytes read are not the ones staging digested.
    int SendBlock();
    // Releases the device handle, the staged image and the handheld's lock; the fields that
    // held them read as closed afterwards, so a second Close does nothing.
    int Close();
    void ShowError(CString text);
    // Errors go to `reporter` from now on, in this link and its copies (nullptr: the box).
    void SetReporter(LinkReporter* reporter) { m_pReporter = reporter; }
    // A manual-reset event that another thread sets to end every wait of this link: the wait
    // in progress is cancelled, and nothing more is read or written. Not owned by the link
    // (nullptr: no stop but the time-outs).
    void SetStopEvent(HANDLE stop) { m_hStop = stop; }
    // Told now and then while OpenImage reads the image: bytes read, and of how many (0 when
    // the size is not known). Staging also ends early, as kFailStopped and with no message,
    // once the stop event is set.
    void SetStagingProgress(std::function<void(uint64_t done, uint64_t total)> progress)
    {
        m_stagingProgress = std::move(progress);
    }
    // Given every byte OpenImage reads, in order, as it reads them (the publisher's checks
    // read the image in the same pass).
    void SetStagingReader(std::function<void(const BYTE* data, size_t size)> reader) { m_stagingReader = std::move(reader); }
    // Closes the staged image only; the device stays open, for another image.
    void CloseImage();

    uint32_t m_nByteCount;
    int32_t m_nBlockCount;
    DWORD m_dwBytesRead;
    int32_t m_nBlockSize;
    BYTE m_Buffer[kBlockSize];
    HANDLE m_hDevice;
    char m_szDevicePath[kPathSize];
    uint32_t m_nByteSum;
    BYTE m_byCell;
    DWORD m_dwBytesWritten;
    int m_nFailure;  // a Failure: what made the last staging or write fail
    // Its Windows error code, or that of a failed open or handshake read in Connect (0 when
    // Windows reported none).
    DWORD m_dwError;
    // How long a handshake read waits for an answer, and a header or block write for the
    // handheld to take it, in ms. INFINITE waits as long as it takes (a long erase is no fault).
    DWORD m_dwHandshakeTimeout;
    DWORD m_dwWriteTimeout;
    // The image's SHA-256 in lower-case hex, found by staging; empty when not staged.
    std::string m_strImageSha256;

private:
    enum class Io { Done, Failed, TimedOut, Stopped };
    // One overlapped read or write on the device, waited for until it completes, the time-out
    // passes or the stop event is set; on the last two it is cancelled. *done: bytes moved.
    Io Exchange(bool write, void* data, DWORD size, DWORD timeoutMs, DWORD* done);
    // One write to the device: true only when it succeeded with every byte written.
    bool WriteWhole(const BYTE* data, DWORD size);
    bool Unplugged() const;
    void TakeOver(CUSBUpdate& other);
    // The device handle and the handheld's lock, not the image: a new Connect starts here.
    void CloseDevice();
    int OpenAndHandshake();
    void Fail(int failure, DWORD error);
    // Takes `image` as this link's, with a reader of its own at its first byte.
    void TakeImage(std::shared_ptr<const StagedImage> image);

    HANDLE m_hLock;     // the handheld's lock while this link holds it, else null
    HANDLE m_hIoEvent;  // signals the end of an overlapped read or write; made on first use
    HANDLE m_hStop;     // not owned
    LinkReporter* m_pReporter;
    std::function<void(uint64_t, uint64_t)> m_stagingProgress;
    std::function<void(const BYTE*, size_t)> m_stagingReader;
    // The image this link sends, and its way through it.
    std::shared_ptr<const StagedImage> m_pStaged;
    std::unique_ptr<ImageReader> m_reader;
};
