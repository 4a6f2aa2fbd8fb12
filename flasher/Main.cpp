// romflash: writes a ROM image into a handheld waiting in Image Upgrade mode, from a command
// line, with no pages and no message boxes. The same link engine as the wizard's does the
// work, on the same wire: the flasher waits for the handheld, reads the handshake, sends the
// header and the blocks, and tells by its exit code how it went. `romflash --help` says more.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "device/KeepAwake.h"
#include "device/LinkThread.h"
#include "device/Sha256.h"
#include "device/Transfer.h"
#include "device/USBUpdate.h"
#include "device/UpgradeLog.h"
#include "flasher/SessionEnd.h"
#include "framework/Handles.h"
#include "framework/SystemLibrary.h"

namespace {

enum ExitCode {
    kExitSuccess = 0,
    kExitNoHandheld = 1,  // none within the wait, or another program is using it
    kExitWrongAnswer = 2,
    kExitImage = 3,    // missing, unreadable, too large, changed while sent, in use
    kExitRefused = 4,  // the handheld did not take a write
    kExitInterrupted = 5,
    kExitUsage = 6,
    kExitStalled = 7,  // the handheld took no data for --stall-timeout seconds
};

const wchar_t kUsage[] = L"romflash: writes a ROM image into a handheld waiting in Image Upgrade mode, over USB.\r\n"
                         L"\r\n"
                         L"  romflash [--wait SECONDS] [--stall-timeout SECONDS] [--device N|PATH]\r\n"
                         L"           [--expect-sha256 HEX] IMAGE\r\n"
                         L"  romflash --all [--wait SECONDS] [--stall-timeout SECONDS] [--expect-sha256 HEX] IMAGE\r\n"
                         L"  romflash --repeat [--stall-timeout SECONDS] [--expect-sha256 HEX] IMAGE\r\n"
                         L"  romflash --check IMAGE\r\n"
                         L"  romflash --list\r\n"
                         L"\r\n"
                         L"  IMAGE            the image file to write\r\n"
                         L"  --wait SECONDS   how long to wait for the handheld (default 60; 0 looks once)\r\n"
                         L"  --stall-timeout SECONDS\r\n"
                         L"                   give up when the handheld takes no data for this long\r\n"
                         L"                   (default 0: wait as long as it takes, as an erase may)\r\n"
                         L"  --device N|PATH  which handheld: number N of --list, or its device path\r\n"
                         L"                   (default: the first, as the wizard takes it)\r\n"
                         L"  --expect-sha256 HEX\r\n"
                         L"                   write the image only if its SHA-256 is HEX (checked before\r\n"
                         L"                   anything is sent; else exit code 3)\r\n"
                         L"  --all IMAGE      writes IMAGE into every handheld present, all at once, each on\r\n"
                         L"                   its own link; one result line per handheld on standard output\r\n"
                         L"                   (device path, result, bytes, duration); the exit code is that\r\n"
                         L"                   of the first failure in device order, 0 when all took it\r\n"
                         L"  --repeat IMAGE   a production line: waits for handhelds without end and writes\r\n"
                         L"                   IMAGE into each as it appears, several at once; one that stays\r\n"
                         L"                   plugged after its upgrade is not written again until it has been\r\n"
                         L"                   unplugged. One result line per handheld on standard output, a\r\n"
                         L"                   running tally on standard error. The first Ctrl+C takes no new\r\n"
                         L"                   handhelds and lets those in progress finish; a second stops them\r\n"
                         L"                   (exit code 5)\r\n"
                         L"  --check IMAGE    reads the image only and prints what its header will announce:\r\n"
                         L"                   byte count, byte sum and block count; and its SHA-256\r\n"
                         L"  --list           lists the handhelds present, numbered, with their device paths\r\n"
                         L"  --help, --version\r\n"
                         L"\r\n"
                         L"Progress goes to standard error, and so does one line for every failure. A handheld\r\n"
                         L"that does not answer the handshake within 10 s counts as a wrong answer. Ctrl+C or\r\n"
                         L"Ctrl+Break ends any wait at once and closes the link; during the transfer the\r\n"
                         L"handheld then holds an incomplete image.\r\n"
                         L"\r\n"
                         L"Exit codes:\r\n"
                         L"  0  the handheld took the whole image\r\n"
                         L"  1  no handheld within the wait, or another program is using it\r\n"
                         L"  2  the handheld gave a wrong handshake answer, or none within 10 s\r\n"
                         L"  3  image problem: missing, unreadable, too large, changed while sent, in use,\r\n"
                         L"     or not the one --expect-sha256 names\r\n"
                         L"  4  the handheld refused a write (the line names the block)\r\n"
                         L"  5  interrupted by Ctrl+C or Ctrl+Break\r\n"
                         L"  6  bad command line\r\n"
                         L"  7  the handheld stopped taking data for --stall-timeout seconds (the line names\r\n"
                         L"     the block; the link is closed)\r\n"
                         L"\r\n"
                         L"Every upgrade attempt is recorded in upgrade.log in the local application data\r\n"
                         L"folder, under \"ROM Upgrade Wizard\".\r\n";

// Ctrl+C, Ctrl+Break, a closed console, a log-off or a shutdown reach the program on a thread
// of their own. They set the stop event, which ends every wait of the link at once (and the
// wait for the handheld); what stopped it goes into the log.
HANDLE g_stopEvent = nullptr;
std::atomic<const char*> g_stopCause{nullptr};
// Set once the attempt's record is written: the end of the session waits for it.
HANDLE g_recordedEvent = nullptr;

// `ending`: the process ends once this returns, so the record is waited for first.
void StopFor(const char* cause, bool ending)
{
    const char* none = nullptr;
    g_stopCause.compare_exchange_strong(none, cause);
    ::SetEvent(g_stopEvent);
    if (ending) ::WaitForSingleObject(g_recordedEvent, 4000);
}

void OnSessionEnd(const char* cause) { StopFor(cause, true); }

// --repeat: the first Ctrl+C or Ctrl+Break takes no new handhelds and lets those in progress
// finish; only a second one stops them.
std::atomic<bool> g_drainFirst{false};
std::atomic<bool> g_draining{false};

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && g_drainFirst && !g_draining.exchange(true))
        return TRUE;
    const char* cause = nullptr;
    switch (event) {
    case CTRL_C_EVENT: cause = "ctrl-c"; break;
    case CTRL_BREAK_EVENT: cause = "ctrl-break"; break;
    case CTRL_CLOSE_EVENT: cause = "console-closed"; break;
    case CTRL_LOGOFF_EVENT: cause = "logoff"; break;
    case CTRL_SHUTDOWN_EVENT: cause = "shutdown"; break;
    default: return FALSE;
    }
    StopFor(cause, event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT);
    return TRUE;
}

// Asked between every two blocks: the flag, not the event, which would cost a trip to the
// system each time.
// The console's events go to OnConsoleControl while this lives, inside the life of the events
// that the handler sets.
struct ConsoleControl {
    ConsoleControl() { ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE); }
    ~ConsoleControl() { ::SetConsoleCtrlHandler(&OnConsoleControl, FALSE); }
    ConsoleControl(const ConsoleControl&) = delete;
    ConsoleControl& operator=(const ConsoleControl&) = delete;
};

// What every run that flashes sets up first, for its whole length: the stop event that
// Ctrl+C, a closed console, a log-off or a shutdown set, and the event that tells the end of
// the session that the attempt's record is written (Recorded).
class StopSession {
public:
    StopSession()
        : m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_recorded(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        g_stopEvent = m_stop.get();
        g_recordedEvent = m_recorded.get();
        m_console.reset(new ConsoleControl);
        m_sessionEnd.reset(new SessionEnd(&OnSessionEnd));
    }
    StopSession(const StopSession&) = delete;
    StopSession& operator=(const StopSession&) = delete;

    void Recorded() { ::SetEvent(m_recorded.get()); }

private:
    UniqueHandle m_stop, m_recorded;
    // Made once the events exist, gone before them.
    std::unique_ptr<ConsoleControl> m_console;
    std::unique_ptr<SessionEnd> m_sessionEnd;
};

bool StopRequested() { return g_stopCause.load(std::memory_order_relaxed) != nullptr; }

bool IsConsole(DWORD which)
{
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

// Writes to standard output or error: a console takes the text as it is, anything else
// (a file, a pipe) gets it in UTF-8.
void Write(DWORD which, const std::wstring& text)
{
    const HANDLE out = ::GetStdHandle(which);
    if (!out || out == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD done = 0;
    if (IsConsole(which)) {
        ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    } else {
        const std::string bytes = ToUtf8(text);
        ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    }
}

void Say(const std::wstring& line) { Write(STD_OUTPUT_HANDLE, line + L"\r\n"); }
void Complain(const std::wstring& line) { Write(STD_ERROR_HANDLE, L"romflash: " + line + L"\r\n"); }

// " (Windows error N: what Windows calls it)", or nothing for no error.
std::wstring WindowsError(DWORD error)
{
    if (error == 0) return std::wstring();
    std::wstring text = L" (Windows error " + std::to_wstring(error);
    wchar_t message[256];
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, message,
                               256, nullptr);
    while (n > 0 &&
           (message[n - 1] == L'\r' || message[n - 1] == L'\n' || message[n - 1] == L' ' || message[n - 1] == L'.'))
        --n;
    if (n > 0) text += L": " + std::wstring(message, n);
    return text + L")";
}

// The engine's errors, each as one line on standard error, after what was being done. While
// held, the lines wait until the caller knows which to say (Release) or to leave out (Drop).
class LineReporter : public LinkReporter {
public:
    void SetContext(std::wstring context) { m_context = std::move(context); }
    void Hold() { m_holding = true; }
    void Release()
    {
        m_holding = false;
        for (const std::wstring& line : m_held) Complain(line);
        m_held.clear();
    }
    void Drop()
    {
        m_holding = false;
        m_held.clear();
    }
    void ReportError(const CString& text, DWORD error) override
    {
        const std::wstring line = m_context + text.str() + WindowsError(error);
        if (m_holding)
            m_held.push_back(line);
        else
            Complain(line);
    }

private:
    std::wstring m_context;
    bool m_holding = false;
    std::vector<std::wstring> m_held;
};

// Blocks, percent, speed and time left on standard error: redrawn in place at most ten times
// a second on a console, one plain line every five seconds anywhere else.
class ProgressLine : public TransferObserver {
public:
    ProgressLine() : m_console(IsConsole(STD_ERROR_HANDLE)) {}

    void OnStaged(int blockCount) override
    {
        m_writes = blockCount + 1;
        m_start = m_last = ::GetTickCount();
    }

    void OnBlockSent(int sent, int) override
    {
        m_sent = sent;
        const DWORD now = ::GetTickCount();
        if (now - m_last < (m_console ? 100u : 5000u)) return;
        m_last = now;
        Draw(now);
    }

    bool StopRequested() override { return ::StopRequested(); }

    // The last state, and the end of the line a console was drawing on.
    void Finish()
    {
        if (!m_console || m_sent == 0) return;
        Draw(::GetTickCount());
        Write(STD_ERROR_HANDLE, L"\r\n");
    }

private:
    void Draw(DWORD now)
    {
        const double seconds = (now - m_start) / 1000.0;
        const double mib = m_sent * static_cast<double>(CUSBUpdate::kBlockSize) / (1 << 20);
        const int left = seconds > 0 ? static_cast<int>((m_writes - m_sent) * seconds / m_sent + 0.5) : 0;
        wchar_t line[128];
        std::swprintf(line, 128, L"block %d/%d  %3d%%  %.2f MiB/s  %d:%02d left", m_sent, m_writes,
                      static_cast<int>(100.0 * m_sent / m_writes), seconds > 0 ? mib / seconds : 0.0, left / 60,
                      left % 60);
        Write(STD_ERROR_HANDLE, m_console ? L"\r" + std::wstring(line) + L"   " : std::wstring(line) + L"\r\n");
    }

    bool m_console;
    int m_writes = 1, m_sent = 0;
    DWORD m_start = 0, m_last = 0;
};

struct Options {
    enum class Action { Flash, FlashAll, Repeat, Check, List, Help, Version } action = Action::Flash;
    std::wstring image;
    DWORD waitSeconds = 60;
    DWORD stallSeconds = 0;  // 0: no limit
    std::wstring device;     // empty: the first present
    std::string expectSha256;  // lower-case hex; empty: any image
};

bool ParseSeconds(const std::wstring& text, DWORD* seconds)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
    *seconds = static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
    return *seconds <= 86400;
}

// False, after saying why, on a bad command line.
bool ParseOptions(int argc, wchar_t** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i], value;
        const bool hasValue =
            arg == L"--wait" || arg == L"--device" || arg == L"--stall-timeout" || arg == L"--expect-sha256";
        if (arg.rfind(L"--", 0) == 0 && arg.find(L'=') != std::wstring::npos) {
            value = arg.substr(arg.find(L'=') + 1);
            arg.resize(arg.find(L'='));
        } else if (hasValue) {
            if (i + 1 >= argc) {
                Complain(arg + L" needs a value (see --help)");
                return false;
            }
            value = argv[++i];
        }
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            o->action = Options::Action::Help;
        } else if (arg == L"--version") {
            o->action = Options::Action::Version;
        } else if (arg == L"--list") {
            o->action = Options::Action::List;
        } else if (arg == L"--all") {
            o->action = Options::Action::FlashAll;
        } else if (arg == L"--repeat") {
            o->action = Options::Action::Repeat;
        } else if (arg == L"--check") {
            o->action = Options::Action::Check;
        } else if (arg == L"--wait") {
            if (!ParseSeconds(value, &o->waitSeconds)) {
                Complain(L"--wait needs a number of seconds, 0 to 86400");
                return false;
            }
        } else if (arg == L"--stall-timeout") {
            if (!ParseSeconds(value, &o->stallSeconds)) {
                Complain(L"--stall-timeout needs a number of seconds, 0 to 86400");
                return false;
            }
        } else if (arg == L"--expect-sha256") {
            if (!ParseSha256(value, &o->expectSha256)) {
                Complain(L"--expect-sha256 needs a SHA-256 digest: 64 hex digits");
                return false;
            }
        } else if (arg == L"--device") {
            if (value.empty()) {
                Complain(L"--device needs a number from --list or a device path");
                return false;
            }
            o->device = value;
        } else if (arg.rfind(L"--", 0) == 0 || !o->image.empty()) {
            Complain(L"unexpected " + arg + L" (see --help)");
            return false;
        } else {
            o->image = arg;
        }
    }
    const bool many = o->action == Options::Action::FlashAll || o->action == Options::Action::Repeat;
    const bool needsImage = o->action == Options::Action::Flash || many || o->action == Options::Action::Check;
    if (many && !o->device.empty()) {
        Complain(L"--all and --repeat take every handheld: no --device with them");
        return false;
    }
    if (needsImage && o->image.empty()) {
        Complain(L"which image? (see --help)");
        return false;
    }
    return true;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// "block K (the Nth of M)": blocks count from 0, as the handheld and the log count them.
std::wstring BlockName(int block, int writes)
{
    const int n = block + 1;
    const wchar_t* suffix = L"th";
    if (n % 100 < 11 || n % 100 > 13) {
        if (n % 10 == 1) suffix = L"st";
        if (n % 10 == 2) suffix = L"nd";
        if (n % 10 == 3) suffix = L"rd";
    }
    return L"block " + std::to_wstring(block) + L" (the " + std::to_wstring(n) + suffix + L" of " +
           std::to_wstring(writes) + L")";
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t full[MAX_PATH];
    const DWORD n = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(full, n) : path;
}

// Connects to the chosen handheld: the first present, number N of the list, or the one at a
// path. kNoDevice while it is not there.
int ConnectChosen(CUSBUpdate& link, const std::wstring& device)
{
    if (device.empty()) return link.Connect();
    const std::vector<std::string> present = CUSBUpdate::ListDevices();
    if (device.find_first_not_of(L"0123456789") == std::wstring::npos) {
        const unsigned long n = std::wcstoul(device.c_str(), nullptr, 10);
        if (n < 1 || n > present.size() || present[n - 1].empty()) return CUSBUpdate::kNoDevice;
        return link.ConnectTo(present[n - 1]);
    }
    for (const std::string& path : present)
        if (!path.empty() && _wcsicmp(Widen(path).c_str(), device.c_str()) == 0) return link.ConnectTo(path);
    return CUSBUpdate::kNoDevice;
}

constexpr int kInterruptedWaiting = -1;

// Looks for the chosen handheld until it answers or the wait is over: Connect's answer, or
// kInterruptedWaiting after Ctrl+C.
int WaitForHandheld(CUSBUpdate& link, const Options& o)
{
    const DWORD start = ::GetTickCount();
    for (bool announced = false;;) {
        if (StopRequested()) return kInterruptedWaiting;
        const int answer = ConnectChosen(link, o.device);
        if (answer == CUSBUpdate::kStopped) return kInterruptedWaiting;
        if (answer != CUSBUpdate::kNoDevice || ::GetTickCount() - start >= o.waitSeconds * 1000) return answer;
        if (!announced) {
            Write(STD_ERROR_HANDLE, L"waiting up to " + std::to_wstring(o.waitSeconds) + L" s for the handheld...\r\n");
            announced = true;
        }
        ::WaitForSingleObject(g_stopEvent, 250);
    }
}

int List()
{
    const std::vector<std::string> present = CUSBUpdate::ListDevices();
    if (present.empty()) {
        Complain(L"no handheld present");
        return kExitNoHandheld;
    }
    for (size_t i = 0; i < present.size(); ++i)
        Say(std::to_wstring(i + 1) + L"  " + (present[i].empty() ? L"(path unknown)" : Widen(present[i])));
    return kExitSuccess;
}

int Check(const std::wstring& image)
{
    CUSBUpdate link;
    LineReporter reporter;
    reporter.SetContext(L"image " + image + L": ");
    link.SetReporter(&reporter);
    link.OpenImage(image.c_str());
    if (!link.m_pImageFile) return kExitImage;
    Say(L"bytes=" + std::to_wstring(link.m_nByteCount) + L" sum=" + std::to_wstring(link.m_nByteSum) + L" blocks=" +
        std::to_wstring(link.m_nBlockCount) + L" sha256=" + Widen(link.m_strImageSha256));
    link.Close();
    return kExitSuccess;
}

int Flash(const Options& o)
{
    StopSession session;
    CUSBUpdate link;
    LineReporter reporter;
    link.SetReporter(&reporter);
    link.SetStopEvent(g_stopEvent);
    if (o.stallSeconds > 0) link.m_dwWriteTimeout = o.stallSeconds * 1000;
    UpgradeAttempt attempt(L"romflash", link);
    attempt.imagePath = FullPath(o.image);
    auto finish = [&](int code) {
        if (attempt.interrupted) attempt.stopCause = g_stopCause.load();
        LogUpgrade(attempt);  // a log that cannot be written changes nothing
        session.Recorded();
        return code;
    };

    // The image first: a bad one never touches the handheld.
    reporter.SetContext(L"image " + attempt.imagePath + L": ");
    link.OpenImage(attempt.imagePath.c_str());
    TransferOutcome& outcome = attempt.transfer;
    outcome.staged = link.m_pImageFile != nullptr;
    outcome.blockCount = link.m_nBlockCount;
    if (!outcome.staged) {
        outcome.failure = link.m_nFailure;
        outcome.error = link.m_dwError;
        return finish(kExitImage);
    }
    // Which image: the digest staging made, before anything goes to the handheld.
    if (!o.expectSha256.empty() && link.m_strImageSha256 != o.expectSha256) {
        Complain(L"image " + attempt.imagePath + L": its SHA-256 is " +
                 (link.m_strImageSha256.empty() ? std::wstring(L"unknown (no SHA-256 on this Windows)")
                                                : Widen(link.m_strImageSha256)) +
                 L", not the expected " + Widen(o.expectSha256));
        link.Close();
        outcome.staged = false;
        outcome.failure = CUSBUpdate::kFailImageDigest;
        return finish(kExitImage);
    }

    // Then the handheld, kept awake from the handshake to the end of the transfer.
    const KeepAwake awake;
    reporter.SetContext(L"wrong handshake answer from the handheld: ");
    reporter.Hold();
    const int answer = WaitForHandheld(link, o);
    if (answer == CUSBUpdate::kWrongReply && link.m_nFailure == CUSBUpdate::kFailNoAnswer) {
        reporter.Drop();
        link.Close();
        attempt.handshake = answer;
        Complain(L"the handheld did not answer the handshake within " +
                 std::to_wstring(link.m_dwHandshakeTimeout / 1000) + L" s");
        return finish(kExitWrongAnswer);
    }
    reporter.Release();
    if (answer == kInterruptedWaiting) {
        link.Close();
        attempt.interrupted = true;
        Complain(L"interrupted before the handshake; nothing was sent");
        return finish(kExitInterrupted);
    }
    attempt.handshake = answer;
    const std::wstring where = Widen(link.m_szDevicePath);
    switch (answer) {
    case CUSBUpdate::kNoDevice:
        link.Close();
        Complain(L"no handheld found within " + std::to_wstring(o.waitSeconds) + L" s" +
                 (o.device.empty() ? L"" : L" (--device " + o.device + L")"));
        return finish(kExitNoHandheld);
    case CUSBUpdate::kBusy:
        link.Close();
        Complain(L"another upgrade is using the handheld at " + where + L"; it was not opened");
        return finish(kExitNoHandheld);
    case CUSBUpdate::kWrongReply:
        link.Close();  // the engine has said so
        return finish(kExitWrongAnswer);
    default: break;
    }

    ProgressLine progress;
    outcome = SendStagedImage(link, progress);  // closes the link
    progress.Finish();
    const std::wstring failedBlock = BlockName(outcome.sent, outcome.blockCount + 1);
    if (outcome.Succeeded()) {
        wchar_t speed[64];
        std::swprintf(speed, 64, L"%.2f s, %.2f MiB/s", outcome.seconds,
                      outcome.seconds > 0 ? link.m_nByteCount / outcome.seconds / (1 << 20) : 0.0);
        Say(L"romflash: the handheld took " + std::to_wstring(link.m_nByteCount) + L" bytes (sum " +
            std::to_wstring(link.m_nByteSum) + L") in " + std::to_wstring(outcome.sent) + L" blocks, " + speed);
        return finish(kExitSuccess);
    }
    if (outcome.stopped) {
        attempt.interrupted = true;
        Complain(L"interrupted before " + failedBlock + L"; the handheld holds an incomplete image");
        return finish(kExitInterrupted);
    }
    const std::wstring why = WindowsError(outcome.error);
    switch (outcome.failure) {
    case CUSBUpdate::kFailStalled:
        Complain(L"the handheld stopped taking data: " + (outcome.headerFailed ? std::wstring(L"the header") : failedBlock) +
                 L" was not taken within " + std::to_wstring(o.stallSeconds) +
                 L" s; the link is closed and the handheld holds an incomplete image");
        return finish(kExitStalled);
    case CUSBUpdate::kFailWrite:
        Complain(outcome.headerFailed ? L"the handheld refused the header" + why
                                      : L"the handheld refused " + failedBlock + why);
        return finish(kExitRefused);
    case CUSBUpdate::kFailImageChanged:
        Complain(L"image " + attempt.imagePath + L": changed while it was sent, at " + failedBlock);
        return finish(kExitImage);
    default:
        Complain(L"image " + attempt.imagePath + L": could not be read, at " + failedBlock + why);
        return finish(kExitImage);
    }
}

}  // namespace

// --all: every handheld present, each on a link and a thread of its own, the image staged once
// for all of them.
struct HandheldRun {
    explicit HandheldRun(std::string devicePath) : path(std::move(devicePath)) {}

    std::string path;
    CUSBUpdate link;
    LineReporter reporter;
    TransferOutcome outcome;
    int handshake = UpgradeAttempt::kNotTried;
    int code = kExitSuccess;
    std::wstring why;  // the failure, for the result line
    double seconds = 0;
    std::atomic<int> sent{0};
    std::atomic<bool> finished{false};
    LinkThread thread;
};

class CountingObserver : public TransferObserver {
public:
    explicit CountingObserver(std::atomic<int>& sent) : m_sent(sent) {}
    void OnBlockSent(int sent, int) override { m_sent.store(sent, std::memory_order_relaxed); }
    bool StopRequested() override { return ::StopRequested(); }

private:
    std::atomic<int>& m_sent;
};

// One handheld of --all, on its own thread: handshake, transfer, its record in the log.
void FlashOne(HandheldRun& run, const CUSBUpdate& staged, const Options& o, const std::wstring& image)
{
    const DWORD start = ::GetTickCount();
    run.reporter.SetContext(Widen(run.path) + L": ");
    run.link.SetReporter(&run.reporter);
    run.link.SetStopEvent(g_stopEvent);
    if (o.stallSeconds > 0) run.link.m_dwWriteTimeout = o.stallSeconds * 1000;
    UpgradeAttempt attempt(L"romflash", run.link);
    attempt.imagePath = image;
    const int answer = run.link.ConnectTo(run.path);
    TransferOutcome& x = run.outcome;
    if (answer == CUSBUpdate::kStopped) {
        attempt.interrupted = true;
        run.code = kExitInterrupted;
        run.why = L"interrupted before the handshake; nothing was sent";
    } else if (answer != CUSBUpdate::kReady) {
        attempt.handshake = answer;
        run.code = answer == CUSBUpdate::kWrongReply ? kExitWrongAnswer : kExitNoHandheld;
        run.why = answer == CUSBUpdate::kBusy        ? L"another program is using this handheld: skipped"
                  : answer == CUSBUpdate::kNoDevice ? L"gone before the handshake"
                  : run.link.m_nFailure == CUSBUpdate::kFailNoAnswer
                      ? L"no handshake answer within " + std::to_wstring(run.link.m_dwHandshakeTimeout / 1000) + L" s"
                      : L"wrong handshake answer";
        run.link.Close();
    } else {
        attempt.handshake = answer;
        run.link.OpenStagedImage(image.c_str(), staged);
        CountingObserver counter(run.sent);
        x = SendStagedImage(run.link, counter);  // closes the link
        const std::wstring block = BlockName(x.sent, x.blockCount + 1);
        if (x.Succeeded()) {
            run.code = kExitSuccess;
        } else if (x.stopped) {
            attempt.interrupted = true;
            run.code = kExitInterrupted;
            run.why = L"interrupted before " + block + L"; the handheld holds an incomplete image";
        } else if (x.failure == CUSBUpdate::kFailStalled) {
            run.code = kExitStalled;
            run.why = L"stopped taking data at " + block;
        } else if (x.failure == CUSBUpdate::kFailWrite) {
            run.code = kExitRefused;
            run.why = (x.headerFailed ? std::wstring(L"refused the header") : L"refused " + block) + WindowsError(x.error);
        } else {
            run.code = kExitImage;
            run.why = !x.staged ? L"the image could not be opened" + WindowsError(x.error)
                                : L"the image changed or could not be read, at " + block;
        }
    }
    if (attempt.interrupted) attempt.stopCause = g_stopCause.load();
    run.seconds = (::GetTickCount() - start) / 1000.0;
    LogUpgrade(attempt);
    run.finished = true;
}

// Staged once for many links: each link reads the file for itself, but the counts, sum and
// digest are these. False, after saying why and logging the attempt (the session is told it is
// recorded), for an image that cannot be sent or is not the one --expect-sha256 names.
bool StageForMany(const Options& o, const std::wstring& image, CUSBUpdate& staged, StopSession& session)
{
    LineReporter reporter;
    reporter.SetContext(L"image " + image + L": ");
    staged.SetReporter(&reporter);
    staged.OpenImage(image.c_str());
    staged.SetReporter(nullptr);
    if (staged.m_pImageFile && (o.expectSha256.empty() || staged.m_strImageSha256 == o.expectSha256)) return true;
    if (staged.m_pImageFile)
        Complain(L"image " + image + L": its SHA-256 is " + Widen(staged.m_strImageSha256) + L", not the expected " +
                 Widen(o.expectSha256));
    UpgradeAttempt attempt(L"romflash", staged);
    attempt.imagePath = image;
    attempt.transfer.failure = staged.m_pImageFile ? CUSBUpdate::kFailImageDigest : staged.m_nFailure;
    attempt.transfer.error = staged.m_dwError;
    staged.Close();
    LogUpgrade(attempt);
    session.Recorded();
    return false;
}

// A handheld's result line on standard output, clearing the progress line of a console first.
void SayResult(const HandheldRun& r, const CUSBUpdate& staged, bool onConsole)
{
    const uint64_t bytes =
        std::min<uint64_t>(static_cast<uint64_t>(r.outcome.sent) * CUSBUpdate::kBlockSize, staged.m_nByteCount);
    wchar_t figures[96];
    std::swprintf(figures, 96, L" bytes=%lu duration=%.3fs", static_cast<unsigned long>(bytes), r.seconds);
    if (onConsole) Write(STD_ERROR_HANDLE, L"\r" + std::wstring(79, L' ') + L"\r");
    Say(Widen(r.path) +
        (r.code == kExitSuccess ? std::wstring(L" result=success") : L" result=failed code=" + std::to_wstring(r.code)) +
        figures + (r.why.empty() ? L"" : L" (" + r.why + L")"));
}

int FlashAll(const Options& o)
{
    StopSession session;
    const std::wstring image = FullPath(o.image);

    CUSBUpdate staged;
    if (!StageForMany(o, image, staged, session)) return kExitImage;

    // Whatever is present once the first handheld is.
    std::vector<std::string> present;
    const DWORD waitStart = ::GetTickCount();
    for (;;) {
        present.clear();
        for (const std::string& path : CUSBUpdate::ListDevices())
            if (!path.empty()) present.push_back(path);
        if (!present.empty() || StopRequested() || ::GetTickCount() - waitStart >= o.waitSeconds * 1000) break;
        ::WaitForSingleObject(g_stopEvent, 250);
    }
    if (present.empty()) {
        staged.Close();
        session.Recorded();
        if (StopRequested()) {
            Complain(L"interrupted while waiting for handhelds; nothing was sent");
            return kExitInterrupted;
        }
        Complain(L"no handheld found within " + std::to_wstring(o.waitSeconds) + L" s");
        return kExitNoHandheld;
    }

    const KeepAwake awake;
    std::vector<std::unique_ptr<HandheldRun>> runs;
    for (const std::string& path : present) runs.push_back(std::make_unique<HandheldRun>(path));
    for (auto& run : runs) {
        HandheldRun* r = run.get();
        r->thread.Start([r, &staged, &o, &image] { FlashOne(*r, staged, o, image); }, nullptr, 0);
    }

    // One line for all of them: redrawn on a console, every five seconds anywhere else. Each
    // handheld's result goes to standard output as soon as it is known.
    const bool onConsole = IsConsole(STD_ERROR_HANDLE);
    const int writes = staged.m_nBlockCount + 1;
    const DWORD start = ::GetTickCount();
    DWORD lastDrawn = start;
    std::vector<bool> said(runs.size(), false);
    for (;;) {
        size_t done = 0;
        unsigned long sent = 0;
        for (size_t i = 0; i < runs.size(); ++i) {
            HandheldRun& r = *runs[i];
            sent += static_cast<unsigned long>(r.sent.load(std::memory_order_relaxed));
            if (!r.finished) continue;
            ++done;
            if (said[i]) continue;
            said[i] = true;
            r.thread.Wait();
            SayResult(r, staged, onConsole);
        }
        const DWORD now = ::GetTickCount();
        if (done == runs.size() || now - lastDrawn >= (onConsole ? 100u : 5000u)) {
            lastDrawn = now;
            const double seconds = (now - start) / 1000.0;
            wchar_t line[160];
            const unsigned long all = static_cast<unsigned long>(writes) * static_cast<unsigned long>(runs.size());
            std::swprintf(line, 160, L"%lu handhelds: %lu done, %lu in progress; blocks %lu/%lu (%d%%), %.2f MiB/s",
                          static_cast<unsigned long>(runs.size()), static_cast<unsigned long>(done),
                          static_cast<unsigned long>(runs.size() - done), static_cast<unsigned long>(sent), all,
                          static_cast<int>(100.0 * sent / (static_cast<double>(writes) * runs.size())),
                          seconds > 0 ? sent * 512.0 / seconds / (1 << 20) : 0.0);
            Write(STD_ERROR_HANDLE, onConsole ? L"\r" + std::wstring(line) + L"   " : std::wstring(line) + L"\r\n");
        }
        if (done == runs.size()) break;
        ::Sleep(50);
    }
    if (onConsole) Write(STD_ERROR_HANDLE, L"\r\n");
    staged.Close();
    session.Recorded();
    // The first failure in device order, else success.
    for (const auto& r : runs)
        if (r->code != kExitSuccess) return r->code;
    return kExitSuccess;
}

// --repeat: a production line. Flashes each handheld as it appears, several at once; one that
// stays present after its upgrade is left alone until it has been unplugged.
int FlashRepeatedly(const Options& o)
{
    g_drainFirst = true;
    StopSession session;
    const std::wstring image = FullPath(o.image);
    CUSBUpdate staged;
    if (!StageForMany(o, image, staged, session)) return kExitImage;
    const bool onConsole = IsConsole(STD_ERROR_HANDLE);
    Write(STD_ERROR_HANDLE, L"waiting for handhelds; Ctrl+C takes no new ones, a second Ctrl+C stops those in "
                            L"progress\r\n");
    std::vector<std::unique_ptr<HandheldRun>> running;
    std::vector<std::string> leftAlone;  // upgraded (or failed) and not unplugged since
    unsigned long succeeded = 0, failed = 0;
    int firstFailure = kExitSuccess;
    std::wstring shown;
    DWORD lastDrawn = 0;
    for (;;) {
        // What is present now; a handheld no longer there may be flashed when it comes back.
        std::vector<std::string> present;
        for (const std::string& path : CUSBUpdate::ListDevices())
            if (!path.empty()) present.push_back(path);
        auto isPresent = [&](const std::string& path) {
            return std::find(present.begin(), present.end(), path) != present.end();
        };
        leftAlone.erase(std::remove_if(leftAlone.begin(), leftAlone.end(),
                                       [&](const std::string& path) { return !isPresent(path); }),
                        leftAlone.end());

        // Results as they come.
        for (auto it = running.begin(); it != running.end();) {
            HandheldRun& r = **it;
            if (!r.finished) {
                ++it;
                continue;
            }
            r.thread.Wait();
            SayResult(r, staged, onConsole);
            if (r.code == kExitSuccess) {
                ++succeeded;
            } else {
                ++failed;
                if (firstFailure == kExitSuccess) firstFailure = r.code;
            }
            leftAlone.push_back(r.path);
            it = running.erase(it);
            shown.clear();
        }

        // New handhelds, unless a Ctrl+C said no more.
        if (!g_draining && !StopRequested()) {
            for (const std::string& path : present) {
                const bool busy = std::any_of(running.begin(), running.end(),
                                              [&](const std::unique_ptr<HandheldRun>& r) { return r->path == path; });
                if (busy || std::find(leftAlone.begin(), leftAlone.end(), path) != leftAlone.end()) continue;
                running.push_back(std::make_unique<HandheldRun>(path));
                HandheldRun* r = running.back().get();
                r->thread.Start([r, &staged, &o, &image] { FlashOne(*r, staged, o, image); }, nullptr, 0);
            }
        }
        if ((g_draining || StopRequested()) && running.empty()) break;

        // The tally: redrawn on a console when it changes, a line every five seconds elsewhere.
        wchar_t tally[96];
        std::swprintf(tally, 96, L"done %lu, failed %lu, in progress %lu%ls", succeeded, failed,
                      static_cast<unsigned long>(running.size()), g_draining ? L" (taking no new handhelds)" : L"");
        const DWORD now = ::GetTickCount();
        if (onConsole ? tally != shown : now - lastDrawn >= 5000u) {
            Write(STD_ERROR_HANDLE, onConsole ? L"\r" + std::wstring(tally) + L"   " : std::wstring(tally) + L"\r\n");
            shown = tally;
            lastDrawn = now;
        }
        ::WaitForSingleObject(g_stopEvent, 250);
    }
    if (onConsole) Write(STD_ERROR_HANDLE, L"\r\n");
    Write(STD_ERROR_HANDLE, L"done " + std::to_wstring(succeeded) + L", failed " + std::to_wstring(failed) + L"\r\n");
    staged.Close();
    session.Recorded();
    if (StopRequested()) return kExitInterrupted;
    return firstFailure;
}

int wmain(int argc, wchar_t** argv)
{
    // DLLs come from the system directory only, never from the bench's working folder.
    RestrictDllSearch();
    Options o;
    if (!ParseOptions(argc, argv, &o)) return kExitUsage;
    switch (o.action) {
    case Options::Action::Help: Write(STD_OUTPUT_HANDLE, kUsage); return kExitSuccess;
    case Options::Action::Version:
        Say(L"romflash " + Widen(ProgramVersion()) + L" (" + Widen(ProgramArch()) + L")");
        return kExitSuccess;
    case Options::Action::List: return List();
    case Options::Action::Check: return Check(o.image);
    case Options::Action::Flash: return Flash(o);
    case Options::Action::FlashAll: return FlashAll(o);
    case Options::Action::Repeat: return FlashRepeatedly(o);
    }
    return kExitUsage;
}
