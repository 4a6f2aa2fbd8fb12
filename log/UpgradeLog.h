// The upgrade log: one record per upgrade attempt, appended to upgrade.log in the user's
// local application data folder, under "ROM Upgrade Wizard". A record is one line of UTF-8:
//
//   2026-03-01T14:05:09+01:00 program=romflash version=0.1.0 arch=x64 image="C:\\roms\\nk.bin"
//   bytes=1048576 sum=133693440 blocks=2048 sha256=9f86d081884c7d65...(64 hex digits)
//   device="\\\\?\\root#upgrade#0000#{...}" handshake=ready result=success sent=2049
//   duration=0.840s speed=1.19MiB/s
//
// (on one line). Quoted fields (image, device) escape a quote or a backslash with a
// backslash and write any control character as \xHH, so no path can end a record or forge a
// field; sha256 is empty when the image could not be read through. A failure says where and
// why instead of success: `result=failed step=block:17 reason=write-refused error=232`, or
// `step=handshake`, `step=image`, `step=header`; a handshake with no answer in time says
// `reason=timeout`, a handheld that stopped taking data `reason=stalled`, an image whose
// SHA-256 is not the one expected `reason=sha256-mismatch`, and one its publisher's files do
// not vouch for `reason=sha256-mismatch`, `sha256-unreadable`, `signature-invalid`,
// `signature-missing` or `signer-not-trusted` (`step=image`); a PC on a low battery
// `step=power reason=battery-low`. `checked=` says what vouched for the image (signature,
// sha256-file or none) and `signer=` whose signature it carries: the SHA-256 thumbprint of the
// signer's certificate, lower-case hex, empty when there is no signature or its signer's
// certificate is not in it (given for `signer-not-trusted` too). An image the user chose not
// to write says `result=declined`. An interrupted attempt says
// `result=interrupted`, with what stopped it: `cause=ctrl-c` (or ctrl-break, console-closed,
// logoff, shutdown; cancel: the wizard's Cancel or Esc). Each record goes out in one write, so
// it is there whole or not at all; writers in several threads and programs take turns (a lock
// per log folder). Past 1 MiB the log moves to upgrade.log.1 (replacing the one there) and
// starts afresh, once, however many writers reach the limit together. A company may have every
// PC keep its records in one shared folder instead (LogDestination). Writing the log never
// shows anything and never holds up an upgrade: when it cannot be written, the record is
// dropped (romflash says so).
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "device/Transfer.h"
#include "device/USBUpdate.h"
#include "framework/CString.h"

// Version and architecture of the programs, as the log and `romflash --version` give them.
const char* ProgramVersion();
const char* ProgramArch();

// A field value in quotes, escaped as the log's rule says.
std::string QuoteLogField(const std::string& text);

// What one attempt did while it ran: the link (counts, sum, device path) and how far it got.
// Once it is over, Conclude makes it an UpgradeOutcome, and everything said of it is said from that.
struct UpgradeAttempt {
    UpgradeAttempt(const wchar_t* program, const CUSBUpdate& link)
        : program(program), link(link), started(::GetTickCount())
    {
    }

    static constexpr int kNotTried = -1;

    const wchar_t* program;  // the program's name, as its .exe is called
    const CUSBUpdate& link;
    std::wstring imagePath;
    // A CUSBUpdate::ConnectResult, or kNotTried when the attempt ended before the handshake.
    int handshake = kNotTried;
    TransferOutcome transfer;  // default (not staged) when no transfer ran
    bool interrupted = false;  // stopped by the user before the handshake or during the transfer
    // What stopped it ("ctrl-c", "console-closed", "shutdown", ...), or nullptr.
    const char* stopCause = nullptr;
    // What vouched for the image before it was sent: "signature", "sha256-file" or "none".
    const char* checked = "none";
    // The signer's thumbprint (SHA-256 of its certificate, lower-case hex), or empty.
    std::string signer;
    // The user was shown the image and chose not to write it.
    bool declined = false;
    // What kept the image from the handheld before its first byte, or nullptr: an image its
    // publisher's files do not vouch for ("sha256-mismatch", "sha256-unreadable",
    // "signature-invalid", "signature-missing", "signer-not-trusted", "policy-unreadable": a
    // trust policy that cannot be read as meant trusts no signer), or a PC on a low battery
    // ("battery-low"), or a handheld another program took in this plug ("taken"), or an image
    // file with no byte in it ("image-empty").
    const char* refusedFor = nullptr;
    // Left alone because another program is writing to the handheld, or took it in this plug
    // (romflash --all and --repeat).
    bool skipped = false;
    // When the attempt began (GetTickCount), for its duration; 0: the transfer's time alone.
    DWORD started;
};

// One attempt made whole: every field of its record, taken when it ended. The record, the
// result line, romflash's JSON, its tally and its exit code are each rendered from this value,
// and none of them looks at the link again.
struct UpgradeOutcome {
    std::wstring program, image;
    // The image as it was read (zeros and an empty digest when it was not read through).
    uint32_t bytes = 0, sum = 0;
    int32_t blocks = 0;
    std::string sha256;
    std::string checked = "none";  // "signature", "sha256-file" or "none"
    std::string signer;            // thumbprint, or empty
    std::string device;            // the device path, or empty
    // "ready", "wrong-answer", "no-handheld", "in-use", "interrupted", "not-ours" (a name of
    // the handheld's is another user's, or cannot be checked), "lookup-failed" (Windows could
    // not list the handhelds) or "not-tried".
    std::string handshake = "not-tried";
    // "success", "failed", "interrupted", "declined" or "skipped".
    std::string result;
    // Where and why it did not succeed ("block:17" and "write-refused"), what stopped it
    // ("ctrl-c", ...); empty when there is nothing to say.
    std::string step, reason, cause;
    DWORD error = 0;          // the Windows error behind the failure
    int sent = 0;             // block writes the handheld took
    uint64_t taken = 0;       // the image bytes those carried
    double duration = 0;      // seconds, from the start of the attempt to its end
    double transferSeconds = 0;  // from the header to the last block
    FILETIME ended{};         // UTC

    bool Succeeded() const { return result == "success"; }
    double Speed() const;     // MiB/s while the blocks went out
};

// The attempt, concluded now.
UpgradeOutcome Conclude(const UpgradeAttempt& attempt);

// A record's fields, in their order: the time first (named "time"), then name=value.
struct RecordField {
    enum Kind { Word, Quoted, Number };
    const char* name;
    std::string value;
    Kind kind;
    const char* unit;  // after a number in the record ("s"), not in JSON
};
std::vector<RecordField> RecordFields(const UpgradeOutcome& outcome, const SYSTEMTIME& local, int utcOffsetMinutes);

// The record of an outcome, without its line end. `local` is the local time it was made and
// `utcOffsetMinutes` that time's distance from UTC; without them, the time the attempt ended.
std::string FormatUpgradeRecord(const UpgradeOutcome& outcome, const SYSTEMTIME& local, int utcOffsetMinutes);
std::string FormatUpgradeRecord(const UpgradeOutcome& outcome);
// The same fields as one JSON object, numbers as numbers.
std::string FormatUpgradeJson(const UpgradeOutcome& outcome);
// A string as JSON gives it, in quotes.
std::string JsonString(const std::string& utf8);

// The folder of the log (not created here); empty when there is no local app data folder.
std::wstring UpgradeLogFolder();

// Where records go. Each goes to the user's own log (upgrade.log in UpgradeLogFolder()) unless
// a shared folder is named: by the policy LogFolder (policy/Policies.h), else by romflash's
// --log-folder. There each PC keeps its records in a file named after it, COMPUTERNAME.log
// (moved aside as upgrade.log is), so that many benches can share one folder, a network share,
// without sharing a file. That folder is never made here. A record it cannot take goes to the
// user's own log instead: none is lost, and the next record tries the shared folder again.
struct LogDestination {
    std::wstring shared;    // the shared folder, or empty
    bool byPolicy = false;  // named by the policy, which wins over --log-folder
    // Why the policy's folder cannot be used (not text, no full path): the records then stay
    // on this PC, rather than go where the administrator did not say.
    std::wstring problem;
    // The file of this PC in the shared folder; empty when there is none.
    std::wstring SharedLog() const;
    // The shared folder, without a separator at its end.
    std::wstring SharedFolder() const;
};
// The policy's folder if it names one, else `folder`.
LogDestination ChooseLogDestination(const std::wstring& folder = L"");
// Whether `folder` is a full path: C:\Logs, or \\server\share\logs. *why says why not.
bool IsFullFolderPath(const std::wstring& folder, std::wstring* why);

// Where one record went.
struct RecordWritten {
    bool shared = false;    // into the shared folder
    DWORD sharedError = 0;  // why the shared folder did not take it (it went to the user's log)
    DWORD error = 0;        // why it went nowhere: 0 when it went somewhere
    bool Written() const { return error == 0; }
};
RecordWritten LogUpgrade(const UpgradeOutcome& outcome, const LogDestination& destination);
// To where the policy says now; false when the record went nowhere, with the Windows error
// in *error.
bool LogUpgrade(const UpgradeOutcome& outcome, DWORD* error = nullptr);

// Records an attempt the user ended (Cancel, Esc) before anything was sent: during the
// handshake (`handshake` kStopped) or after it (kReady), with the image chosen, if any.
void LogCancelled(const wchar_t* program, const CUSBUpdate& link, int handshake, const std::wstring& imagePath = {});
