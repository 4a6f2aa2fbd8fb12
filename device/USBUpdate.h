// CUSBUpdate: the link to the handheld. Finds its device interface, opens it, reads the
// handshake, stages the image file (byte count and sum) and sends the header and the
// image in 512-byte blocks. A page hands the link on by plain assignment; copies share the
// handle and the stream, and only Close releases them.
#pragma once
#include <windows.h>
#include <setupapi.h>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include "framework/CString.h"

// Interface class under which the handheld's upgrade-mode driver exposes it.
extern const GUID GUID_DEVINTERFACE_UPGRADE;

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
    enum ConnectResult { kNoDevice = 0, kReady = 1, kWrongReply = 2, kBusy = 3 };
    // What made the last staging or write fail (m_nFailure), beside the Windows error code.
    enum Failure {
        kFailNone = 0,
        kFailImageOpen,      // the image file could not be opened (m_dwError tells why)
        kFailImageTooLarge,  // 4 GiB or more
        kFailImageRead,      // a read error, while staging or while sending
        kFailImageChanged,   // the sending pass read other bytes than staging counted
        kFailWrite,          // the handheld did not take a header or block write
    };

    CUSBUpdate();
    virtual ~CUSBUpdate();  // releases nothing: that is Close's job
    CUSBUpdate(const CUSBUpdate&) = default;
    CUSBUpdate& operator=(const CUSBUpdate&) = default;

    // Opens the first present interface and reads the handshake: kNoDevice, kReady,
    // kWrongReply (after telling the user "Please press down USB item") or kBusy. From here
    // to Close the link holds this handheld's lock, so that no other program writes to it
    // meanwhile. The handle stays in m_hDevice.
    int Connect();
    // The same for the interface at devicePath (one of ListDevices).
    int ConnectTo(const std::string& devicePath);
    // The paths of the present interfaces of the upgrade class, in the lookup's order:
    // the first is the one Connect opens.
    static std::vector<std::string> ListDevices();
    // The lookup and open alone, without the handheld's lock (Connect takes it).
    HANDLE OpenDevice();
    // Opens the first present interface of the class; INVALID_HANDLE_VALUE when there is
    // none, it cannot be opened, or its path does not fit devicePath (kPathSize chars).
    HANDLE FindDevice(const GUID* guid, char* devicePath);
    static HANDLE OpenDeviceInterface(HDEVINFO info, PSP_DEVICE_INTERFACE_DATA data, char* devicePath);

    // Stages the image: opens it (denying writers), counts and sums its bytes and rewinds.
    // Returns the byte sum; 0 with m_pImageFile null when it cannot be staged.
    DWORD OpenImage(CString path);
    // Sends the byte count and the byte sum: TRUE only when the handheld took both words
    // whole. After a word it did not take, nothing more is written.
    BOOL SendHeader();
    // Sends the next block: 1 when written whole; 0 at the end, on a failed or short
    // write, on a failed read, or when the bytes read no longer agree with what staging
    // counted.
    int SendBlock();
    // Releases the device handle, the image stream and the handheld's lock.
    int Close();
    void ShowError(CString text);
    // Errors go to `reporter` from now on, in this link and its copies (nullptr: the box).
    void SetReporter(LinkReporter* reporter) { m_pReporter = reporter; }

    uint32_t m_nByteCount;
    int32_t m_nBlockCount;
    FILE* m_pImageFile;
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

private:
    // One write to the device: true only when it succeeded with every byte written.
    bool WriteWhole(const BYTE* data, DWORD size);
    int OpenAndHandshake();
    void Fail(int failure, DWORD error);

    // What the sending pass has read so far, checked against staging at the end.
    uint64_t m_nBytesSent;
    uint32_t m_nSumSent;
    HANDLE m_hLock;  // the handheld's lock while this link holds it, else null
    LinkReporter* m_pReporter;
};
