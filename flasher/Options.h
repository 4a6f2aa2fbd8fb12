// romflash's command line: what to do, with which image, and the exit codes it ends with.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

enum ExitCode {
    kExitSuccess = 0,
    kExitNoHandheld = 1,  // none within the wait (or not as many as --count), or another program is using it
    kExitWrongAnswer = 2,
    // missing, unreadable, too large, changed since staging, in use, not the expected one, not
    // as its checksum file or signature says (or, with --require-signature, not signed)
    kExitImage = 3,
    kExitRefused = 4,  // the handheld did not take a write
    kExitInterrupted = 5,
    kExitUsage = 6,
    kExitStalled = 7,  // the handheld took no data for --stall-timeout seconds
    kExitBattery = 8,  // the PC runs on battery below 25 % (and no --allow-battery)
    kExitUnplugged = 9,  // the handheld went away during the transfer
    // A name the programs keep for the handheld (its lock, its plug) is another user's, or
    // cannot be made or checked: nothing was opened
    kExitNotOurs = 10,
    kExitLookupFailed = 11,  // Windows could not list the handhelds
    // 12: romflash crashed (kExitCrashed, log/CrashRecord.h)
};

struct Options {
    enum class Action { Flash, FlashAll, Repeat, Check, List, Help, Version } action = Action::Flash;
    std::wstring image;
    DWORD waitSeconds = 60;
    DWORD stallSeconds = 0;    // 0: no limit
    DWORD settleSeconds = 2;   // --all: how long no new handheld must appear before it starts
    DWORD count = 0;           // --all: how many handhelds to wait for; 0: as many as settle
    std::wstring device;       // empty: the first present
    std::string expectSha256;  // lower-case hex; empty: any image
    bool requireSignature = false;  // only an image with a valid IMAGE.p7s
    std::vector<std::string> signers;  // --signer: thumbprints, lower-case hex; empty: any trusted
    bool allowBattery = false;      // write even on a low battery
    bool json = false;              // --json: outcomes as JSON lines on standard output
    std::wstring logFolder;         // --log-folder: a shared folder for the records; empty: none
};

// False, after saying why on standard error, on a bad command line.
bool ParseOptions(int argc, wchar_t** argv, Options* o);

// What --help says.
const wchar_t* Usage();
