#include "log/UpgradeLog.h"

#include <shlobj.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "framework/Handles.h"
#include "framework/NamedObject.h"
#include "framework/SystemLibrary.h"
#include "policy/Policies.h"
#include "version.h"

namespace {

// Past this size the log moves aside before the next record.
constexpr uint64_t kRotateAt = 1u << 20;

void Append(std::string& out, const char* format, ...)
{
    char piece[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n > 0) out.append(piece, static_cast<size_t>(n) < sizeof piece ? static_cast<size_t>(n) : sizeof piece - 1);
}

std::wstring Environment(const wchar_t* name)
{
    wchar_t value[MAX_PATH];
    const DWORD n = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(value, n) : std::wstring();
}

// The user's local application data folder. The shell knows it on every Windows (loaded at
// run time from the system folder, so that the programs need not link the shell); failing
// that, the environment: LOCALAPPDATA, or where Windows XP keeps it under the profile.
std::wstring LocalAppData()
{
    {
        const SystemLibrary shell(L"shell32.dll");
        using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
        if (auto get = shell.Function<GetFolderPath>("SHGetFolderPathW")) {
            wchar_t path[MAX_PATH] = {};
            if (SUCCEEDED(get(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path)) &&
                path[0])
                return path;
        }
    }
    const std::wstring local = Environment(L"LOCALAPPDATA");
    if (!local.empty()) return local;
    const std::wstring profile = Environment(L"USERPROFILE");
    return profile.empty() ? profile : profile + L"\\Local Settings\\Application Data";
}

const char* HandshakeName(int handshake)
{
    switch (handshake) {
    case CUSBUpdate::kReady: return "ready";
    case CUSBUpdate::kWrongReply: return "wrong-answer";
    case CUSBUpdate::kNoDevice: return "no-handheld";
    case CUSBUpdate::kBusy: return "in-use";
    case CUSBUpdate::kStopped: return "interrupted";
    case CUSBUpdate::kNotOurs: return "not-ours";
    case CUSBUpdate::kLookupFailed: return "lookup-failed";
    default: return "not-tried";
    }
}

const char* FailureName(int failure)
{
    switch (failure) {
    case CUSBUpdate::kFailImageOpen: return "image-not-opened";
    case CUSBUpdate::kFailImageTooLarge: return "image-too-large";
    case CUSBUpdate::kFailImageRead: return "image-unreadable";
    case CUSBUpdate::kFailImageChanged: return "image-changed";
    case CUSBUpdate::kFailWrite: return "write-refused";
    case CUSBUpdate::kFailNoAnswer: return "timeout";
    case CUSBUpdate::kFailStalled: return "stalled";
    case CUSBUpdate::kFailImageDigest: return "sha256-mismatch";
    case CUSBUpdate::kFailUnplugged: return "unplugged";
    default: return "unknown";
    }
}

// Every writer of one log folder, in any program of this session, takes this lock around
// its look at the size, the move aside and the append: two writers that reach the limit at
// once move the log aside once, and no record lands in a file being moved. A writer that
// cannot have it within a few seconds still appends (an append is one write), but moves
// nothing aside.
class LogLock {
public:
    explicit LogLock(const std::wstring& folder)
    {
        // One name per folder: a hash of its path, in lower case.
        uint32_t hash = 2166136261u;
        for (wchar_t c : folder) {
            hash ^= static_cast<uint32_t>(::towlower(c));
            hash *= 16777619u;
        }
        wchar_t name[64];
        std::swprintf(name, 64, L"Local\\RomUpgradeWizard.log.%08x", hash);
        // A lock that is not ours is not waited on: the record goes out unlocked, as when
        // none can be had.
        m_mutex = CreateNamedObject(NamedKind::Mutex, name).handle;
        if (m_mutex) {
            const DWORD got = ::WaitForSingleObject(m_mutex.get(), 5000);
            m_held = got == WAIT_OBJECT_0 || got == WAIT_ABANDONED;
        }
    }
    ~LogLock()
    {
        if (m_held) ::ReleaseMutex(m_mutex.get());
    }
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;
    bool Held() const { return m_held; }

private:
    UniqueHandle m_mutex;
    bool m_held = false;
};

// Cuts the log back to `size` bytes, where a record that did not go out whole began: only
// while the file ends where that record's bytes ended, so that nothing another writer appended
// since is lost.
void CutBack(const std::wstring& log, uint64_t size, uint64_t end)
{
    UniqueHandle file(::CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER now, at;
    at.QuadPart = static_cast<LONGLONG>(size);
    if (!file || !::GetFileSizeEx(file.get(), &now) || static_cast<uint64_t>(now.QuadPart) != end) return;
    if (::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN)) ::SetEndOfFile(file.get());
}

// Appends one whole record to FOLDER\NAME in one write, moving a full log aside first: 0, or
// the Windows error that kept it out. A record is there whole or not at all: one that went out
// in part (a full disk) is cut off again, so that the next one does not run on from it. The
// folder is made only when `make` says so.
DWORD AppendRecord(const std::wstring& folder, const std::wstring& name, bool make, const std::string& record)
{
    if (folder.empty()) return ERROR_PATH_NOT_FOUND;
    if (make) ::CreateDirectoryW(folder.c_str(), nullptr);  // there already, or it cannot be: the open says
    const std::wstring log = folder + L"\\" + name;
    const LogLock lock(folder);

    WIN32_FILE_ATTRIBUTE_DATA info;
    if (::GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &info)) {
        const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        if (lock.Held() && size > 0 && size + record.size() > kRotateAt)
            ::MoveFileExW(log.c_str(), (log + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    // Append only: every write lands at the end, also beside another program appending.
    UniqueHandle file(::CreateFileW(log.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return ::GetLastError();
    LARGE_INTEGER before;
    const bool known = ::GetFileSizeEx(file.get(), &before) != 0;
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(record.size());
    const BOOL ok = ::WriteFile(file.get(), record.data(), size, &written, nullptr);
    const DWORD error = !ok ? ::GetLastError() : written != size ? ERROR_DISK_FULL : 0;
    if (error && written > 0 && known && lock.Held()) {
        file.reset();
        CutBack(log, static_cast<uint64_t>(before.QuadPart), static_cast<uint64_t>(before.QuadPart) + written);
    }
    return error;
}

// This PC's name, for its file in a shared folder; empty when it cannot name a file.
std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &n) || n == 0) return {};
    const std::wstring text(name, n);
    for (wchar_t c : text)
        if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c)) return {};
    return text;
}

// `text` in double quotes, a quote or a backslash escaped with a backslash and a control
// character written as `control` gives it (the log's \xHH, JSON's \u00HH).
std::string Quoted(const std::string& text, const char* control)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, control, c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

std::string QuoteLogField(const std::string& text) { return Quoted(text, "\\x%02x"); }

const char* ProgramVersion() { return WIZARD_VERSION; }

const char* ProgramArch() { return WIZARD_ARCH; }

double UpgradeOutcome::Speed() const
{
    return transferSeconds > 0 ? static_cast<double>(taken) / transferSeconds / (1 << 20) : 0.0;
}

UpgradeOutcome Conclude(const UpgradeAttempt& a)
{
    UpgradeOutcome o;
    ::GetSystemTimeAsFileTime(&o.ended);
    const TransferOutcome& x = a.transfer;
    const CUSBUpdate& link = a.link;
    o.program = a.program;
    o.image = a.imagePath;
    // The image's figures whenever it was read through, whatever came after.
    if (!link.m_strImageSha256.empty()) {
        o.bytes = link.m_nByteCount;
        o.sum = link.m_nByteSum;
        o.blocks = link.m_nBlockCount;
        o.sha256 = link.m_strImageSha256;
    }
    o.checked = a.checked ? a.checked : "none";
    o.signer = a.signer;
    o.device = link.m_szDevicePath;
    o.handshake = HandshakeName(a.handshake);
    o.sent = x.sent;
    // The image bytes the blocks sent carried (the last block's tail is no image byte).
    o.taken = std::min<uint64_t>(static_cast<uint64_t>(x.sent) * CUSBUpdate::kBlockSize, o.bytes);
    o.transferSeconds = x.seconds;
    o.duration = a.started ? std::max((::GetTickCount() - a.started) / 1000.0, x.seconds) : x.seconds;

    o.result = x.Succeeded() ? "success"
               : a.skipped   ? "skipped"
               : a.declined  ? "declined"
               : a.interrupted ? "interrupted"
                             : "failed";
    if (o.result == "success" || o.result == "declined") return o;
    if (a.interrupted) o.cause = a.stopCause ? a.stopCause : "";
    if (a.refusedFor) {
        o.step = std::strcmp(a.refusedFor, "battery-low") == 0 ? "power"
                 : std::strcmp(a.refusedFor, "taken") == 0     ? "handshake"
                                                               : "image";
        o.reason = a.refusedFor;
        return o;
    }
    const bool tried = a.handshake != UpgradeAttempt::kNotTried;
    const char* reason = FailureName(x.failure);
    DWORD error = x.error;
    if (tried && a.handshake != CUSBUpdate::kReady) {
        o.step = "handshake";
        reason =
            link.m_nFailure == CUSBUpdate::kFailNoAnswer ? FailureName(link.m_nFailure) : HandshakeName(a.handshake);
        error = link.m_dwError;
    } else if (!x.staged) {
        o.step = "image";
    } else if (!tried) {
        o.step = "handshake";  // staged first, then stopped while waiting for the handheld
    } else if (x.headerFailed || !x.headerSent) {
        o.step = "header";
    } else {
        o.step = "block:" + std::to_string(x.sent);
    }
    if (!a.interrupted) {
        o.reason = reason;
        o.error = error;
    }
    return o;
}

std::vector<RecordField> RecordFields(const UpgradeOutcome& o, const SYSTEMTIME& t, int utcOffsetMinutes)
{
    using F = RecordField;
    const int offset = utcOffsetMinutes < 0 ? -utcOffsetMinutes : utcOffsetMinutes;
    std::string time;
    Append(time, "%04u-%02u-%02uT%02u:%02u:%02u%c%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
           utcOffsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
    std::string duration, speed;
    Append(duration, "%.3f", o.duration);
    Append(speed, "%.2f", o.Speed());
    std::vector<F> f = {
        {"time", time, F::Word, ""},
        {"program", ToUtf8(o.program), F::Word, ""},
        {"version", ProgramVersion(), F::Word, ""},
        {"arch", ProgramArch(), F::Word, ""},
        {"image", ToUtf8(o.image), F::Quoted, ""},
        {"bytes", std::to_string(o.bytes), F::Number, ""},
        {"sum", std::to_string(o.sum), F::Number, ""},
        {"blocks", std::to_string(o.blocks), F::Number, ""},
        {"sha256", o.sha256, F::Word, ""},
        {"checked", o.checked, F::Word, ""},
        {"signer", o.signer, F::Word, ""},
        {"device", o.device, F::Quoted, ""},
        {"handshake", o.handshake, F::Word, ""},
        {"result", o.result, F::Word, ""},
    };
    if (!o.step.empty()) f.push_back({"step", o.step, F::Word, ""});
    if (!o.reason.empty()) {
        f.push_back({"reason", o.reason, F::Word, ""});
        f.push_back({"error", std::to_string(o.error), F::Number, ""});
    }
    if (!o.cause.empty()) f.push_back({"cause", o.cause, F::Word, ""});
    f.push_back({"sent", std::to_string(o.sent), F::Number, ""});
    f.push_back({"duration", duration, F::Number, "s"});
    f.push_back({"speed", speed, F::Number, "MiB/s"});
    return f;
}

std::string FormatUpgradeRecord(const UpgradeOutcome& o, const SYSTEMTIME& local, int utcOffsetMinutes)
{
    std::string r;
    for (const RecordField& f : RecordFields(o, local, utcOffsetMinutes)) {
        if (!r.empty()) r += " ";
        if (std::strcmp(f.name, "time") != 0) r += std::string(f.name) + "=";
        r += f.kind == RecordField::Quoted ? QuoteLogField(f.value) : f.value + f.unit;
    }
    return r;
}

namespace {

// The local time of `utc`, and its distance from UTC in minutes.
bool LocalTimeOf(const FILETIME& utc, SYSTEMTIME* t, int* offsetMinutes)
{
    FILETIME local;
    if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, t)) return false;
    const auto ticks = [](const FILETIME& f) {
        return static_cast<int64_t>((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime);
    };
    *offsetMinutes = static_cast<int>((ticks(local) - ticks(utc)) / (60 * 10000000LL));
    return true;
}

}  // namespace

std::string FormatUpgradeRecord(const UpgradeOutcome& o)
{
    SYSTEMTIME t{};
    int offset = 0;
    LocalTimeOf(o.ended, &t, &offset);
    return FormatUpgradeRecord(o, t, offset);
}

std::string JsonString(const std::string& utf8) { return Quoted(utf8, "\\u%04x"); }

std::string FormatUpgradeJson(const UpgradeOutcome& o)
{
    SYSTEMTIME t{};
    int offset = 0;
    LocalTimeOf(o.ended, &t, &offset);
    std::string r;
    for (const RecordField& f : RecordFields(o, t, offset)) {
        r += r.empty() ? "{" : ",";
        r += JsonString(f.name) + ":" + (f.kind == RecordField::Number ? f.value : JsonString(f.value));
    }
    return r + "}";
}

std::wstring UpgradeLogFolder()
{
    const std::wstring base = LocalAppData();
    return base.empty() ? base : base + L"\\ROM Upgrade Wizard";
}

bool IsFullFolderPath(const std::wstring& folder, std::wstring* why)
{
    if (folder.find_first_not_of(L" \t") == std::wstring::npos) {
        *why = L"it is empty";
        return false;
    }
    for (wchar_t c : folder) {
        if (c < 0x20 || std::wcschr(L"*?\"<>|", c)) {
            *why = L"it holds a character no folder name may hold";
            return false;
        }
    }
    const bool drive = folder.size() >= 3 && std::iswalpha(folder[0]) && folder[0] < 0x80 && folder[1] == L':' &&
                       (folder[2] == L'\\' || folder[2] == L'/');
    const bool unc = folder.size() >= 3 && (folder[0] == L'\\' || folder[0] == L'/') &&
                     (folder[1] == L'\\' || folder[1] == L'/') && folder[2] != L'\\' && folder[2] != L'/';
    if (!drive && !unc) {
        *why = L"it is no full path (C:\\Logs or \\\\server\\share\\logs)";
        return false;
    }
    return true;
}

std::wstring LogDestination::SharedLog() const
{
    const std::wstring name = ComputerName();
    return shared.empty() || name.empty() ? std::wstring() : SharedFolder() + L"\\" + name + L".log";
}

std::wstring LogDestination::SharedFolder() const
{
    std::wstring folder = shared;
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    return folder;
}

LogDestination ChooseLogDestination(const std::wstring& folder)
{
    LogDestination d;
    std::wstring text, why;
    switch (policy::ReadText(policy::kLogFolder, &text, &why)) {
    case policy::Text::Set:
        if (IsFullFolderPath(text, &why)) {
            d.shared = text;
            d.byPolicy = true;
        } else {
            d.problem = L"the policy's log folder \"" + text + L"\" cannot be used: " + why;
        }
        return d;
    case policy::Text::Unreadable:
        // An administrator named a folder we cannot read: the records stay on this PC rather
        // than go to a folder the administrator did not name.
        d.problem = L"the policy's log folder cannot be read: " + why;
        return d;
    case policy::Text::Absent: break;
    }
    d.shared = folder;
    return d;
}

RecordWritten LogUpgrade(const UpgradeOutcome& outcome, const LogDestination& destination)
{
    RecordWritten w;
    const std::string record = FormatUpgradeRecord(outcome) + "\r\n";
    if (!destination.shared.empty()) {
        const std::wstring name = ComputerName();
        w.sharedError =
            name.empty() ? ERROR_INVALID_NAME : AppendRecord(destination.SharedFolder(), name + L".log", false, record);
        w.shared = w.sharedError == 0;
        if (w.shared) return w;
    }
    w.error = AppendRecord(UpgradeLogFolder(), L"upgrade.log", true, record);
    return w;
}

bool LogUpgrade(const UpgradeOutcome& outcome, DWORD* error)
{
    const RecordWritten w = LogUpgrade(outcome, ChooseLogDestination());
    if (error) *error = w.error;
    return w.Written();
}

void LogCancelled(const wchar_t* program, const CUSBUpdate& link, int handshake, const std::wstring& imagePath)
{
    UpgradeAttempt attempt(program, link);
    attempt.imagePath = imagePath;
    attempt.handshake = handshake;
    attempt.interrupted = true;
    attempt.stopCause = "cancel";
    LogUpgrade(Conclude(attempt));
}
