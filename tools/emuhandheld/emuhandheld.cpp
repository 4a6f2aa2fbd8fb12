// emuhandheld: an emulated handheld in Image Upgrade mode, for tests and demos under Wine.
//
// While it runs it is a present device interface of the upgrade class (see Presence.h),
// backed by a named pipe, and it plays the handheld firmware's side of the link: two
// 16-byte handshake answers, then the 8-byte image header and the 512-byte blocks. What it
// saw goes into a report file of key=value lines, replaced atomically after every change
// of connection state and at exit. Run it with --help for the options.
//
// Every pipe operation is overlapped and waits at most until the time limit, so it never
// hangs on a host that stopped. Each connection is served on a thread of its own, and
// spare pipe instances always listen, so a new device check can open the device anew.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "tools/emuhandheld/OwnedHandle.h"
#include "tools/emuhandheld/Presence.h"

namespace {

constexpr DWORD kAnswerSize = 16;
constexpr DWORD kHeaderSize = 8;
constexpr DWORD kBlockSize = 512;
constexpr DWORD kSinkRead = 64 * 1024;
constexpr DWORD kListeners = 3;  // pipe instances waiting for the host to open the device
// What setupapi reports for the interface without a reference string: \\?\ROOT#...#{GUID}.
constexpr int kPlainPathLength = 60;
// A reference string is a registry key name after '#': at most 254 characters.
constexpr int kLongestPathLength = kPlainPathLength + 1 + 254;

enum class Mode { Ready, WrongByte, ShortSecond, EmptySecond, FailSecond, Silent };

const wchar_t* ModeName(Mode m)
{
    switch (m) {
    case Mode::Ready: return L"ready";
    case Mode::WrongByte: return L"wrong-byte";
    case Mode::ShortSecond: return L"short-second";
    case Mode::EmptySecond: return L"empty-second";
    case Mode::FailSecond: return L"fail-second";
    case Mode::Silent: return L"silent";
    }
    return L"?";
}

struct Options {
    Mode mode = Mode::Ready;
    int wrongByteAt = kAnswerSize - 1;
    bool refuseHeader = false;
    long long refuseBlock = -1;
    long long unplugAfterBlock = -1;
    long long unplugAfterMs = -1;
    long long quickResetMs = -1;  // -1: no quick reset
    long long stallAfterBlock = -1;
    long long stallMs = 0;  // 0: until the emulator is stopped
    std::wstring stallUntil;  // the stall also ends once this file exists
    bool sink = false;
    std::wstring save;
    std::wstring saveBlocks;
    std::wstring report;
    std::wstring readyFile;
    long long timeLimitS = 120;
    int pathLength = 0;
    std::wstring reference;  // the interface's reference string, as given
    int instance = 0;
};

const wchar_t kUsage[] =
    L"emuhandheld: an emulated handheld waiting in Image Upgrade mode.\n"
    L"While it runs, the upgrade device interface is present and backed by this program.\n"
    L"\n"
    L"Options:\n"
    L"  --mode MODE            how the handshake is answered:\n"
    L"                           ready         two answers of sixteen 0x01 bytes (default)\n"
    L"                           wrong-byte    the second answer has one byte 0x00\n"
    L"                           short-second  the second answer is 8 bytes of 0x02\n"
    L"                           empty-second  the second answer is empty: the host's read\n"
    L"                                         succeeds with no bytes\n"
    L"                           fail-second   no second answer: the device closes its end\n"
    L"                                         once the first answer has been read, and the\n"
    L"                                         host's second read fails\n"
    L"                           silent        no answer at all\n"
    L"  --wrong-byte-at I      which byte of the second answer differs (0..15, default 15)\n"
    L"  --refuse-header        close the device's end instead of taking the header\n"
    L"  --refuse-block K       close it instead of taking block K (counting from 0)\n"
    L"  --unplug-after-block K unplug right after block K (counting from 0) was taken\n"
    L"  --unplug-after-ms N    unplug N ms after the host first opened the device\n"
    L"  --quick-reset [N]      once the first connection that sent data ends (the image taken,\n"
    L"                         or the header or a block refused), unplug and plug again N ms\n"
    L"                         later (default 100), as a handheld that resets itself; it then\n"
    L"                         refuses nothing more\n"
    L"  --stall-after-block K  stop reading after block K (counting from 0) was taken, as a\n"
    L"                         handheld that erases or hangs, then go on\n"
    L"  --stall-ms N           how long the stall lasts (default: until the emulator stops)\n"
    L"  --stall-until FILE     the stall ends once FILE exists: a test decides when\n"
    L"  --sink                 take the data as fast as possible, for speed measurements:\n"
    L"                         large reads through a pipe buffer (without --refuse-* and\n"
    L"                         --unplug-after-block); header_writes is then not exact\n"
    L"  --save FILE            write the image part received (header count bytes) to FILE\n"
    L"  --save-blocks FILE     write everything received after the header to FILE\n"
    L"  --report FILE          the report file (key=value lines, replaced atomically)\n"
    L"  --ready-file FILE      created once the device is present (stdout also says READY)\n"
    L"  --time-limit SECONDS   end by itself after this long (default 120)\n"
    L"  --path-length N        make the reported device path exactly N characters long\n"
    L"                         (62..315) by adding a reference string to the interface\n"
    L"  --reference TEXT       add this reference string to the interface (any letters but\n"
    L"                         \\ and #, at most 200): the device path ends in \\TEXT\n"
    L"  --instance N           be device instance ROOT\\UPGRADE\\000N (0..9, default 0): one\n"
    L"                         emulated handheld per instance can be present at once\n"
    L"  --help                 this text\n"
    L"\n"
    L"Unplugging removes the device and ends the program; so does the time limit, or the\n"
    L"event Local\\emuhandheld-stop-<pid> being set. Exit code 0, 2 for bad options,\n"
    L"3 when the device cannot be made present, 4 after a crash.\n"
    L"\n"
    L"Report keys: mode pid connections handshake_reads header_received header_hex\n"
    L"header_writes header_count header_sum blocks bytes_received image_bytes image_sum match closed\n"
    L"closed_ms refused bytes_after_refusal unplugged resets data_first_ms data_last_ms elapsed_ms\n"
    L"finished. Transfer keys describe the last connection that sent data.\n";

bool ParseNumber(const wchar_t* text, long long low, long long high, long long* out)
{
    if (!text || !*text) return false;
    wchar_t* end = nullptr;
    long long v = std::wcstoll(text, &end, 10);
    if (*end != L'\0' || v < low || v > high) return false;
    *out = v;
    return true;
}

// 0 to run, 1 when --help was shown, 2 on a bad command line.
int ParseOptions(int argc, wchar_t** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long long n = 0;
        auto bad = [&](const wchar_t* why) {
            std::fwprintf(stderr, L"emuhandheld: %ls: %ls (try --help)\n", a.c_str(), why);
            return 2;
        };
        if (a == L"--help" || a == L"-h" || a == L"/?") {
            std::fputws(kUsage, stdout);
            return 1;
        } else if (a == L"--mode") {
            if (!value) return bad(L"needs a mode");
            const std::wstring m = value;
            if (m == L"ready")
                o->mode = Mode::Ready;
            else if (m == L"wrong-byte")
                o->mode = Mode::WrongByte;
            else if (m == L"short-second")
                o->mode = Mode::ShortSecond;
            else if (m == L"empty-second")
                o->mode = Mode::EmptySecond;
            else if (m == L"fail-second")
                o->mode = Mode::FailSecond;
            else if (m == L"silent")
                o->mode = Mode::Silent;
            else
                return bad(L"unknown mode");
            ++i;
        } else if (a == L"--wrong-byte-at") {
            if (!ParseNumber(value, 0, kAnswerSize - 1, &n)) return bad(L"needs 0..15");
            o->wrongByteAt = static_cast<int>(n);
            ++i;
        } else if (a == L"--refuse-header") {
            o->refuseHeader = true;
        } else if (a == L"--refuse-block") {
            if (!ParseNumber(value, 0, 1LL << 40, &n)) return bad(L"needs a block number");
            o->refuseBlock = n;
            ++i;
        } else if (a == L"--unplug-after-block") {
            if (!ParseNumber(value, 0, 1LL << 40, &n)) return bad(L"needs a block number");
            o->unplugAfterBlock = n;
            ++i;
        } else if (a == L"--quick-reset") {
            o->quickResetMs = 100;
            if (value && ParseNumber(value, 0, 60000, &n)) {
                o->quickResetMs = n;
                ++i;
            }
        } else if (a == L"--unplug-after-ms") {
            if (!ParseNumber(value, 0, 1LL << 31, &n)) return bad(L"needs milliseconds");
            o->unplugAfterMs = n;
            ++i;
        } else if (a == L"--stall-after-block") {
            if (!ParseNumber(value, 0, 1LL << 40, &n)) return bad(L"needs a block number");
            o->stallAfterBlock = n;
            ++i;
        } else if (a == L"--stall-ms") {
            if (!ParseNumber(value, 1, 1LL << 31, &n)) return bad(L"needs milliseconds");
            o->stallMs = n;
            ++i;
        } else if (a == L"--sink") {
            o->sink = true;
        } else if (a == L"--save" || a == L"--save-blocks" || a == L"--report" || a == L"--ready-file" ||
                   a == L"--stall-until") {
            if (!value || !*value) return bad(L"needs a file name");
            (a == L"--save"          ? o->save
             : a == L"--save-blocks" ? o->saveBlocks
             : a == L"--report"      ? o->report
             : a == L"--ready-file"  ? o->readyFile
                                     : o->stallUntil) = value;
            ++i;
        } else if (a == L"--time-limit") {
            if (!ParseNumber(value, 1, 24 * 3600, &n)) return bad(L"needs 1..86400 seconds");
            o->timeLimitS = n;
            ++i;
        } else if (a == L"--instance") {
            if (!ParseNumber(value, 0, 9, &n)) return bad(L"needs 0..9");
            o->instance = static_cast<int>(n);
            ++i;
        } else if (a == L"--reference") {
            if (!value || !*value || std::wcslen(value) > 200 || std::wcspbrk(value, L"\\#/"))
                return bad(L"needs a reference string without \\, / or #, at most 200 letters");
            o->reference = value;
            ++i;
        } else if (a == L"--path-length") {
            if (!ParseNumber(value, kPlainPathLength + 2, kLongestPathLength, &n)) return bad(L"needs 62..315");
            o->pathLength = static_cast<int>(n);
            ++i;
        } else {
            return bad(L"unknown option");
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------------------
// Shared state: counters of all connections and the transfer of the last one that sent data.

struct TransferState {
    BYTE header[kHeaderSize] = {};
    DWORD headerFill = 0;
    DWORD headerWrites = 0;  // host writes the header came in
    uint32_t headerCount = 0;
    uint32_t headerSum = 0;
    uint64_t bytesReceived = 0;  // after the header
    uint64_t imageBytes = 0;     // of those, the first headerCount
    uint32_t imageSum = 0;
    long long firstDataMs = -1;
    long long lastDataMs = -1;
    long long longestGapMs = 0;  // the longest wait between two pieces of data

    bool headerComplete() const { return headerFill == kHeaderSize; }
};

class Lock {
public:
    explicit Lock(CRITICAL_SECTION* cs) : m_cs(cs) { ::EnterCriticalSection(m_cs); }
    ~Lock() { ::LeaveCriticalSection(m_cs); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    CRITICAL_SECTION* m_cs;
};

struct Shared {
    Options options;
    ULONGLONG start = 0;
    ULONGLONG deadline = 0;
    OwnedHandle stop;    // set: every connection ends (time limit, unplug, stop request)
    OwnedHandle unplug;  // set once the device has been unplugged
    OwnedHandle reset;   // set: time for the quick reset
    std::atomic<bool> refusedYet{false};
    std::atomic<bool> resetAsked{false};  // refusals are for the first plug only

    CRITICAL_SECTION lock;  // guards everything below and the report file
    DevicePresence presence;
    long connections = 0;
    long handshakeReads = 0;
    long closed = 0;
    long long closedMs = -1;
    std::wstring refused = L"none";
    uint64_t bytesAfterRefusal = 0;
    bool unplugged = false;
    long resets = 0;
    long stalls = 0;  // stalls begun
    bool finished = false;
    TransferState transfer;
};

Shared g;

long long ElapsedMs() { return static_cast<long long>(::GetTickCount64() - g.start); }

DWORD RemainingMs()
{
    const ULONGLONG now = ::GetTickCount64();
    return now >= g.deadline ? 0 : static_cast<DWORD>(g.deadline - now);
}

uint32_t ByteSum(const BYTE* p, size_t n)
{
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i) s += p[i];
    return s;
}

bool WriteWhole(HANDLE file, const void* data, size_t size)
{
    const BYTE* p = static_cast<const BYTE*>(data);
    while (size > 0) {
        DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(file, p, chunk, &written, nullptr) || written == 0) return false;
        p += written;
        size -= written;
    }
    return true;
}

std::wstring Hex(const BYTE* p, size_t n)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// Writes the report to a temporary file beside it and moves that over the report, so a
// reader sees either the old or the new report whole. Call with g.lock held.
void WriteReportLocked()
{
    if (g.options.report.empty()) return;
    const TransferState& t = g.transfer;
    const bool match = t.headerComplete() && t.imageBytes == t.headerCount && t.imageSum == t.headerSum;
    std::wstring r;
    auto line = [&r](const wchar_t* key, const std::wstring& value) {
        r += key;
        r += L'=';
        r += value;
        r += L"\r\n";
    };
    auto num = [](long long v) { return std::to_wstring(v); };
    auto unum = [](unsigned long long v) { return std::to_wstring(v); };
    line(L"mode", ModeName(g.options.mode));
    line(L"pid", unum(::GetCurrentProcessId()));
    line(L"connections", num(g.connections));
    line(L"handshake_reads", num(g.handshakeReads));
    line(L"header_received", num(t.headerComplete() ? 1 : 0));
    line(L"header_hex", Hex(t.header, t.headerFill));
    line(L"header_writes", num(t.headerWrites));
    line(L"header_count", unum(t.headerCount));
    line(L"header_sum", unum(t.headerSum));
    line(L"blocks", unum(t.bytesReceived / kBlockSize));
    line(L"bytes_received", unum(t.bytesReceived));
    line(L"image_bytes", unum(t.imageBytes));
    line(L"image_sum", unum(t.imageSum));
    line(L"match", num(match ? 1 : 0));
    line(L"closed", num(g.closed));
    line(L"closed_ms", num(g.closedMs));
    line(L"refused", g.refused);
    line(L"bytes_after_refusal", unum(g.bytesAfterRefusal));
    line(L"unplugged", num(g.unplugged ? 1 : 0));
    line(L"resets", num(g.resets));
    line(L"stalls", num(g.stalls));
    line(L"data_first_ms", num(t.firstDataMs));
    line(L"data_last_ms", num(t.lastDataMs));
    line(L"data_longest_gap_ms", num(t.longestGapMs));
    line(L"elapsed_ms", num(ElapsedMs()));
    line(L"finished", num(g.finished ? 1 : 0));

    std::string bytes(r.begin(), r.end());  // the report is ASCII
    const std::wstring temp = g.options.report + L".tmp";
    {
        OwnedHandle f(
            ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!f || !WriteWhole(f.get(), bytes.data(), bytes.size())) {
            std::fwprintf(stderr, L"emuhandheld: cannot write %ls\n", temp.c_str());
            return;
        }
    }
    // A reader that has the report open at this moment may make the replace fail; retry.
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (::MoveFileExW(temp.c_str(), g.options.report.c_str(), MOVEFILE_REPLACE_EXISTING)) return;
        ::Sleep(5);
    }
    std::fwprintf(stderr, L"emuhandheld: cannot replace %ls (error %lu)\n", g.options.report.c_str(), ::GetLastError());
}

// Removes the device: the link and the interface key go, every connection ends.
void Unplug()
{
    {
        Lock l(&g.lock);
        if (!g.unplugged) {
            g.presence.Unplug();
            g.unplugged = true;
        }
        WriteReportLocked();
    }
    ::SetEvent(g.unplug.get());
    ::SetEvent(g.stop.get());
}

// ---------------------------------------------------------------------------------------
// One connection of the host.

class Session {
public:
    explicit Session(OwnedHandle pipe) : m_pipe(std::move(pipe)), m_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }

    static DWORD WINAPI ThreadMain(LPVOID param)
    {
        std::unique_ptr<Session> self(static_cast<Session*>(param));
        self->Run();
        return 0;
    }

private:
    enum class Io { Done, HostClosed, Stopped, Failed };

    // One overlapped read or write, waited for until it completes, the host goes away,
    // the emulator stops or the time limit passes. *done gets the bytes moved, also
    // when the operation was cut short.
    Io Exchange(bool write, void* data, DWORD size, DWORD* done)
    {
        *done = 0;
        OVERLAPPED ov = {};
        ov.hEvent = m_event.get();
        ::ResetEvent(m_event.get());
        const BOOL ok = write ? ::WriteFile(m_pipe.get(), data, size, nullptr, &ov)
                              : ::ReadFile(m_pipe.get(), data, size, nullptr, &ov);
        if (!ok) {
            const DWORD err = ::GetLastError();
            if (err != ERROR_IO_PENDING) return Classify(err);
        }
        HANDLE waits[2] = {m_event.get(), g.stop.get()};
        const DWORD w = ::WaitForMultipleObjects(2, waits, FALSE, RemainingMs());
        if (w != WAIT_OBJECT_0) {
            ::CancelIo(m_pipe.get());
            ::GetOverlappedResult(m_pipe.get(), &ov, done, TRUE);
            return Io::Stopped;
        }
        if (!::GetOverlappedResult(m_pipe.get(), &ov, done, FALSE)) return Classify(::GetLastError());
        return Io::Done;
    }

    static Io Classify(DWORD err)
    {
        switch (err) {
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
        case ERROR_PIPE_NOT_CONNECTED: return Io::HostClosed;
        default: return Io::Failed;
        }
    }

    // Serves one handshake answer; true when the host has read it.
    bool Answer(const BYTE* answer, DWORD size)
    {
        DWORD done = 0;
        m_end = Exchange(true, const_cast<BYTE*>(answer), size, &done);
        if (m_end != Io::Done) return false;
        Lock l(&g.lock);
        ++g.handshakeReads;
        WriteReportLocked();
        return true;
    }

    void Refuse(const std::wstring& what)
    {
        // Closing our end makes the host's pending or next write fail.
        m_pipe.reset();
        g.refusedYet = true;
        Lock l(&g.lock);
        g.refused = what;
    }

    void Consume(const BYTE* p, DWORD n)
    {
        if (n == 0) return;
        TransferState& t = m_transfer;
        const long long now = ElapsedMs();
        if (t.firstDataMs < 0) t.firstDataMs = now;
        if (t.lastDataMs >= 0 && now - t.lastDataMs > t.longestGapMs) t.longestGapMs = now - t.lastDataMs;
        t.lastDataMs = now;
        if (g.refusedYet) m_afterRefusal += n;

        DWORD i = 0;
        const bool headerBefore = t.headerComplete();
        while (!t.headerComplete() && i < n) t.header[t.headerFill++] = p[i++];
        // With no pipe buffer each host write is taken whole by one read (reads never ask
        // past the header), so reads that carried header bytes count the host's writes.
        if (i > 0) ++t.headerWrites;
        if (!headerBefore && t.headerComplete()) {
            t.headerCount = static_cast<uint32_t>(t.header[0] | t.header[1] << 8 | t.header[2] << 16 |
                                                  static_cast<uint32_t>(t.header[3]) << 24);
            t.headerSum = static_cast<uint32_t>(t.header[4] | t.header[5] << 8 | t.header[6] << 16 |
                                                static_cast<uint32_t>(t.header[7]) << 24);
            OpenSaveFiles();
        }
        const BYTE* rest = p + i;
        const DWORD restSize = n - i;
        if (restSize == 0) return;
        t.bytesReceived += restSize;
        if (t.imageBytes < t.headerCount) {
            const uint64_t want = t.headerCount - t.imageBytes;
            const DWORD take = want < restSize ? static_cast<DWORD>(want) : restSize;
            t.imageSum += ByteSum(rest, take);
            t.imageBytes += take;
            if (m_save) WriteWhole(m_save.get(), rest, take);
        }
        if (m_saveBlocks) WriteWhole(m_saveBlocks.get(), rest, restSize);
    }

    void OpenSaveFiles()
    {
        auto open = [](const std::wstring& path) {
            if (path.empty()) return OwnedHandle();
            OwnedHandle f(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!f) std::fwprintf(stderr, L"emuhandheld: cannot create %ls\n", path.c_str());
            return f;
        };
        m_save = open(g.options.save);
        m_saveBlocks = open(g.options.saveBlocks);
    }

    void Publish()
    {
        Lock l(&g.lock);
        if (m_transfer.headerFill > 0) g.transfer = m_transfer;
    }

    void Handshake()
    {
        const Options& o = g.options;
        if (o.mode == Mode::Silent) return;
        BYTE ready[kAnswerSize];
        std::memset(ready, 0x01, sizeof ready);
        if (!Answer(ready, kAnswerSize)) return;
        switch (o.mode) {
        case Mode::Ready: Answer(ready, kAnswerSize); break;
        case Mode::WrongByte: {
            BYTE wrong[kAnswerSize];
            std::memcpy(wrong, ready, sizeof wrong);
            wrong[o.wrongByteAt] = 0x00;
            Answer(wrong, kAnswerSize);
            break;
        }
        case Mode::ShortSecond: {
            BYTE shorter[kAnswerSize / 2];
            std::memset(shorter, 0x02, sizeof shorter);
            Answer(shorter, sizeof shorter);
            break;
        }
        case Mode::EmptySecond: {
            // A message of no bytes (the pipe is of message type for this): the host's read
            // succeeds with nothing. Not counted as an answer.
            DWORD done = 0;
            m_end = Exchange(true, ready, 0, &done);
            break;
        }
        case Mode::FailSecond:
            // The host's second read then finds the device gone and fails.
            m_pipe.reset();
            m_deviceClosed = true;
            break;
        case Mode::Silent: break;
        }
    }

    void ReceiveData()
    {
        const Options& o = g.options;
        if (o.refuseHeader && !g.resetAsked) {
            Refuse(L"header");
            return;
        }
        // Reads stop at block boundaries so that a refusal or an unplug falls exactly
        // between two of the host's block writes. --sink drops that unless one is asked for.
        const bool blockwise = !o.sink || o.refuseBlock >= 0 || o.unplugAfterBlock >= 0 || o.stallAfterBlock >= 0;
        std::vector<BYTE> buffer(o.sink ? kSinkRead : kBlockSize);
        TransferState& t = m_transfer;
        for (;;) {
            DWORD want;
            if (!t.headerComplete()) {
                want = kHeaderSize - t.headerFill;
            } else if (blockwise) {
                const DWORD into = static_cast<DWORD>(t.bytesReceived % kBlockSize);
                if (into == 0 && o.refuseBlock >= 0 && !g.resetAsked &&
                    t.bytesReceived / kBlockSize == static_cast<uint64_t>(o.refuseBlock)) {
                    Refuse(L"block:" + std::to_wstring(o.refuseBlock));
                    return;
                }
                want = kBlockSize - into;
            } else {
                want = kSinkRead;
            }
            DWORD got = 0;
            m_end = Exchange(false, buffer.data(), want, &got);
            Consume(buffer.data(), got);
            if (!o.sink) Publish();
            if (m_end != Io::Done) return;
            if (o.stallAfterBlock >= 0 && t.headerComplete() && got > 0 && t.bytesReceived % kBlockSize == 0 &&
                t.bytesReceived / kBlockSize == static_cast<uint64_t>(o.stallAfterBlock) + 1) {
                // Takes nothing for a while: the host's next write waits (the pipe has no buffer).
                {
                    Lock l(&g.lock);
                    ++g.stalls;
                    WriteReportLocked();
                }
                if (!Stall()) return;
            }
            if (o.unplugAfterBlock >= 0 && t.headerComplete() && got > 0 && t.bytesReceived % kBlockSize == 0 &&
                t.bytesReceived / kBlockSize == static_cast<uint64_t>(o.unplugAfterBlock) + 1) {
                // Gone from the lookup first, then our end closes: the host's next write
                // fails and a new device check finds nothing.
                Unplug();
                m_pipe.reset();
                m_deviceClosed = true;
                return;
            }
        }
    }

    // Reads nothing for --stall-ms (or until the emulator stops, or the --stall-until file
    // exists), looking every 50 ms whether the host has closed the device meanwhile. True when
    // the stall ended as planned.
    bool Stall()
    {
        const ULONGLONG end = g.options.stallMs > 0 ? ::GetTickCount64() + g.options.stallMs : g.deadline;
        for (;;) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= end) return true;
            const std::wstring& until = g.options.stallUntil;
            if (!until.empty() && ::GetFileAttributesW(until.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
            const DWORD step = end - now < 50 ? static_cast<DWORD>(end - now) : 50;
            if (::WaitForSingleObject(g.stop.get(), step) != WAIT_TIMEOUT) {
                m_end = Io::Stopped;
                return false;
            }
            DWORD available = 0;
            if (!::PeekNamedPipe(m_pipe.get(), nullptr, 0, nullptr, &available, nullptr)) {
                m_end = Classify(::GetLastError());
                return false;
            }
        }
    }

    void Run()
    {
        Handshake();
        if (m_end == Io::Done && !m_deviceClosed) ReceiveData();
        m_pipe.reset();
        m_save.reset();
        m_saveBlocks.reset();

        Lock l(&g.lock);
        if (m_transfer.headerFill > 0) g.transfer = m_transfer;
        g.bytesAfterRefusal += m_afterRefusal;
        if (m_end == Io::HostClosed) {
            ++g.closed;
            g.closedMs = ElapsedMs();
        }
        WriteReportLocked();
        const bool sentData = m_transfer.headerFill > 0 || g.refused == L"header";
        if (g.options.quickResetMs >= 0 && sentData && !g.resetAsked.exchange(true)) ::SetEvent(g.reset.get());
    }

    OwnedHandle m_pipe;
    OwnedHandle m_event;
    OwnedHandle m_save;
    OwnedHandle m_saveBlocks;
    TransferState m_transfer;
    Io m_end = Io::Done;
    bool m_deviceClosed = false;
    uint64_t m_afterRefusal = 0;
};

// ---------------------------------------------------------------------------------------

OwnedHandle NewInstance(const std::wstring& pipePath)
{
    // In buffer 0: a host write completes only once we have read it, so a refusal fails
    // exactly the write it refuses. Out buffer 0: an answer counts as served only once
    // the host has read it. A plain --sink takes the data through a buffer instead: the
    // host's writes then complete without waiting for us, many times faster.
    // An empty answer needs a pipe of message type: a byte pipe passes no write of no bytes.
    const Options& o = g.options;
    const bool buffered =
        o.sink && o.refuseBlock < 0 && o.unplugAfterBlock < 0 && o.stallAfterBlock < 0 && !o.refuseHeader;
    const DWORD type = o.mode == Mode::EmptySecond ? PIPE_TYPE_MESSAGE : PIPE_TYPE_BYTE;
    return OwnedHandle(::CreateNamedPipeW(pipePath.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                          type | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 0,
                                          buffered ? kSinkRead : 0, 0, nullptr));
}

// A pipe instance waiting for the host to open the device.
class Listener {
public:
    explicit Listener(const std::wstring& pipePath) : m_path(pipePath) {}

    bool Listen(std::wstring* error)
    {
        m_pipe = NewInstance(m_path);
        if (!m_pipe) {
            *error = L"cannot create the pipe, error " + std::to_wstring(::GetLastError());
            return false;
        }
        m_ov = OVERLAPPED{};
        m_ov.hEvent = m_event.get();
        ::ResetEvent(m_event.get());
        if (!::ConnectNamedPipe(m_pipe.get(), &m_ov)) {
            const DWORD err = ::GetLastError();
            // Opened already between the create and the connect: as good as a connection.
            if (err == ERROR_PIPE_CONNECTED || err == ERROR_NO_DATA)
                ::SetEvent(m_event.get());
            else if (err != ERROR_IO_PENDING) {
                *error = L"cannot listen on the pipe, error " + std::to_wstring(err);
                return false;
            }
        }
        return true;
    }

    HANDLE event() const { return m_event.get(); }

    // The connected instance, handed to a session.
    OwnedHandle Take()
    {
        DWORD unused = 0;
        ::GetOverlappedResult(m_pipe.get(), &m_ov, &unused, FALSE);
        return std::move(m_pipe);
    }

    void Close()
    {
        if (!m_pipe) return;
        ::CancelIo(m_pipe.get());
        DWORD unused = 0;
        ::GetOverlappedResult(m_pipe.get(), &m_ov, &unused, TRUE);
        m_pipe.reset();
    }

    ~Listener() { Close(); }

private:
    std::wstring m_path;
    OwnedHandle m_pipe;
    OwnedHandle m_event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED m_ov = {};
};

void CreateReadyFile(const std::wstring& path)
{
    OwnedHandle f(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) {
        std::fwprintf(stderr, L"emuhandheld: cannot create %ls\n", path.c_str());
        return;
    }
    const std::string text = "pid=" + std::to_string(::GetCurrentProcessId()) + "\r\n";
    WriteWhole(f.get(), text.data(), text.size());
}

int Serve()
{
    const Options& o = g.options;
    const DWORD pid = ::GetCurrentProcessId();
    const std::wstring pipeName = L"emuhandheld-" + std::to_wstring(pid);
    const std::wstring pipePath = L"\\\\.\\pipe\\" + pipeName;
    std::wstring reference = o.reference;
    if (o.pathLength > 0) {
        const int length = o.pathLength - kPlainPathLength - 1;
        for (int i = 0; i < length; ++i) reference += static_cast<wchar_t>(L'a' + i % 26);
    }

    // Several instances listen at once: while one connection is being handed to its
    // thread and its instance replaced, the others take the host's next opens.
    std::wstring error;
    std::unique_ptr<Listener> listeners[kListeners];
    for (auto& listener : listeners) {
        listener.reset(new Listener(pipePath));
        if (!listener->Listen(&error)) {
            std::fwprintf(stderr, L"emuhandheld: %ls\n", error.c_str());
            return 3;
        }
    }
    {
        Lock l(&g.lock);
        g.presence.SetInstance(o.instance);
        if (!g.presence.Plug(pipeName, reference, &error)) {
            std::fwprintf(stderr, L"emuhandheld: %ls\n", error.c_str());
            return 3;
        }
        WriteReportLocked();
    }
    const std::wstring stopName = L"Local\\emuhandheld-stop-" + std::to_wstring(pid);
    OwnedHandle stopRequest(::CreateEventW(nullptr, TRUE, FALSE, stopName.c_str()));

    std::fputws(L"READY\n", stdout);
    std::fflush(stdout);
    if (!o.readyFile.empty()) CreateReadyFile(o.readyFile);

    std::vector<OwnedHandle> threads;
    ULONGLONG unplugAt = 0;  // 0: not scheduled
    for (;;) {
        ULONGLONG wake = g.deadline;
        if (unplugAt != 0 && unplugAt < wake) wake = unplugAt;
        const ULONGLONG now = ::GetTickCount64();
        const DWORD timeout = now >= wake ? 0 : static_cast<DWORD>(wake - now);
        HANDLE waits[kListeners + 3];
        DWORD count = 0;
        for (auto& listener : listeners) waits[count++] = listener->event();
        waits[count++] = g.reset.get();
        waits[count++] = g.unplug.get();
        if (stopRequest) waits[count++] = stopRequest.get();
        const DWORD w = ::WaitForMultipleObjects(count, waits, FALSE, timeout);
        if (w < WAIT_OBJECT_0 + kListeners) {
            Listener& listener = *listeners[w - WAIT_OBJECT_0];
            OwnedHandle connected = listener.Take();
            if (!listener.Listen(&error)) std::fwprintf(stderr, L"emuhandheld: %ls\n", error.c_str());
            {
                Lock l(&g.lock);
                ++g.connections;
                WriteReportLocked();
            }
            if (o.unplugAfterMs >= 0 && unplugAt == 0)
                unplugAt = ::GetTickCount64() + static_cast<ULONGLONG>(o.unplugAfterMs);
            auto* session = new Session(std::move(connected));
            HANDLE thread = ::CreateThread(nullptr, 0, &Session::ThreadMain, session, 0, nullptr);
            if (thread)
                threads.emplace_back(thread);
            else
                delete session;
            continue;
        }
        if (w == WAIT_OBJECT_0 + kListeners) {
            // The quick reset: gone, and back as a new plug that takes data as usual. No report
            // in between: a reader holding the report open would stretch the gap.
            {
                Lock l(&g.lock);
                g.presence.Unplug();
            }
            const DWORD gap = static_cast<DWORD>(o.quickResetMs);
            if (stopRequest ? ::WaitForSingleObject(stopRequest.get(), gap) != WAIT_TIMEOUT : (::Sleep(gap), false))
                break;
            g.refusedYet = false;
            Lock l(&g.lock);
            if (!g.presence.Plug(pipeName, reference, &error)) {
                std::fwprintf(stderr, L"emuhandheld: %ls\n", error.c_str());
                break;
            }
            ++g.resets;
            WriteReportLocked();
            continue;
        }
        if (w == WAIT_TIMEOUT && unplugAt != 0 && ::GetTickCount64() >= unplugAt && ::GetTickCount64() < g.deadline) {
            Unplug();
            break;
        }
        break;  // unplugged, stop requested, time limit
    }

    // Device gone, then every connection ends.
    {
        Lock l(&g.lock);
        g.presence.Unplug();
    }
    for (auto& listener : listeners) listener->Close();
    ::SetEvent(g.stop.get());
    for (auto& t : threads) ::WaitForSingleObject(t.get(), 5000);

    Lock l(&g.lock);
    g.finished = true;
    WriteReportLocked();
    return 0;
}

// A crash ends the program at once (and with it the device) instead of waiting for
// Wine's debugger.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* info)
{
    std::fprintf(stderr, "emuhandheld crashed: exception 0x%08lx\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 4);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    ::SetUnhandledExceptionFilter(&EndOnCrash);
    const int parsed = ParseOptions(argc, argv, &g.options);
    if (parsed == 1) return 0;
    if (parsed != 0) return 2;

    ::InitializeCriticalSection(&g.lock);
    g.start = ::GetTickCount64();
    g.deadline = g.start + static_cast<ULONGLONG>(g.options.timeLimitS) * 1000;
    g.stop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g.unplug.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g.reset.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    return Serve();
}
