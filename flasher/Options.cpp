#include "flasher/Options.h"

#include <cwchar>

#include "image/Sha256.h"
#include "image/TrustPolicy.h"
#include "log/UpgradeLog.h"
#include "flasher/Console.h"

namespace {

const wchar_t kUsage[] = L"romflash: writes a ROM image into a handheld waiting in Image Upgrade mode, over USB.\r\n"
                         L"\r\n"
                         L"  romflash [--wait SECONDS] [--stall-timeout SECONDS] [--device N|PATH]\r\n"
                         L"           [--expect-sha256 HEX] [--require-signature] [--signer THUMBPRINT]...\r\n"
                         L"           [--allow-battery] [--json] [--log-folder FOLDER] IMAGE\r\n"
                         L"  romflash --all [--wait SECONDS] [--settle SECONDS] [--count N]\r\n"
                         L"           [--stall-timeout SECONDS] [--expect-sha256 HEX] [...] IMAGE\r\n"
                         L"  romflash --repeat [--stall-timeout SECONDS] [--expect-sha256 HEX] [...] IMAGE\r\n"
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
                         L"  --require-signature\r\n"
                         L"                   write the image only if a valid signature IMAGE.p7s lies\r\n"
                         L"                   beside it (else exit code 3)\r\n"
                         L"  --signer THUMBPRINT\r\n"
                         L"                   trust only this signer: the SHA-1 (40 hex digits) or SHA-256\r\n"
                         L"                   (64) thumbprint of the signer's certificate or of a CA in its\r\n"
                         L"                   chain; repeat it to trust several. A signature by anyone else\r\n"
                         L"                   is refused (exit code 3). It narrows, never widens, the\r\n"
                         L"                   signers the PC's policy or signers.txt beside romflash name;\r\n"
                         L"                   and it requires a signature, as --require-signature does: an\r\n"
                         L"                   unsigned image is refused (exit code 3)\r\n"
                         L"  --allow-battery  write even when the PC runs on battery below 25 %\r\n"
                         L"  --json           each handheld's outcome as one JSON object per line on standard\r\n"
                         L"                   output (the log record's fields), then the run's summary;\r\n"
                         L"                   the result lines go to standard error instead\r\n"
                         L"  --log-folder FOLDER\r\n"
                         L"                   records go to FOLDER (a full path: C:\\Logs or a network share,\r\n"
                         L"                   \\\\server\\share\\logs) into a file named after the PC,\r\n"
                         L"                   COMPUTERNAME.log, so that many benches can share the folder.\r\n"
                         L"                   The folder is not created. A record it cannot take goes to\r\n"
                         L"                   the local log instead (said once on standard error), and\r\n"
                         L"                   later ones go there again once it can. The PC's policy\r\n"
                         L"                   LogFolder, where set, wins\r\n"
                         L"  --all IMAGE      writes IMAGE into every handheld present, all at once, each on\r\n"
                         L"                   its own link; one result line per handheld on standard output\r\n"
                         L"                   (device path, result, bytes, duration); the exit code is that\r\n"
                         L"                   of the first failure in device order, 0 when all took it\r\n"
                         L"                   (one another program is using, or took since it was\r\n"
                         L"                   plugged in, is skipped; 1 when none was written).\r\n"
                         L"                   Once the first handheld appears it starts when no other has\r\n"
                         L"                   appeared for --settle seconds (default 2)\r\n"
                         L"  --count N        --all: waits (up to --wait) for N handhelds and starts as soon\r\n"
                         L"                   as they are there; with fewer at the end it flashes none\r\n"
                         L"                   (exit code 1)\r\n"
                         L"  --repeat IMAGE   a production line: waits for handhelds without end and writes\r\n"
                         L"                   IMAGE into each as it appears, several at once; one that stays\r\n"
                         L"                   plugged after its upgrade is not written again until it has been\r\n"
                         L"                   unplugged, and one that another program holds is skipped until\r\n"
                         L"                   then. One result line per handheld on standard output, a\r\n"
                         L"                   running tally on standard error. The first Ctrl+C takes no new\r\n"
                         L"                   handhelds and lets those in progress finish; a second stops them\r\n"
                         L"                   (exit code 5)\r\n"
                         L"  --check IMAGE    reads the image only and prints what its header will announce:\r\n"
                         L"                   byte count, byte sum and block count; and its SHA-256\r\n"
                         L"  --list           lists the handhelds present, numbered, with their device paths\r\n"
                         L"  --help, --version\r\n"
                         L"\r\n"
                         L"Before anything is sent, the image is checked against what its publisher gives\r\n"
                         L"beside it: a checksum file IMAGE.sha256 (or a SHA256SUMS naming the image, as\r\n"
                         L"sha256sum writes it) and a signature IMAGE.p7s (PKCS #7, detached, DER), whose\r\n"
                         L"signer must be trusted by Windows for code signing (and be one the policy key\r\n"
                         L"HKLM\\Software\\Policies\\ROM Upgrade Wizard\\TrustedSigners, signers.txt beside\r\n"
                         L"romflash or --signer names, where any does). A checksum that differs or cannot be\r\n"
                         L"read, or a signature that is not valid, refuses the image (exit code 3);\r\n"
                         L"standard error says what was checked. An image with neither file is written\r\n"
                         L"unchecked.\r\n"
                         L"\r\n"
                         L"Progress goes to standard error, and so does one line for every failure. A handheld\r\n"
                         L"that does not answer the handshake within 10 s counts as a wrong answer. Ctrl+C or\r\n"
                         L"Ctrl+Break ends any wait at once and closes the link; during the transfer the\r\n"
                         L"handheld then holds an incomplete image. While a transfer runs the computer does\r\n"
                         L"not go to sleep, and Windows is asked not to end the session.\r\n"
                         L"\r\n"
                         L"Exit codes:\r\n"
                         L"  0  the handheld took the whole image\r\n"
                         L"  1  no handheld within the wait (or fewer than --count), or another program is\r\n"
                         L"     using it\r\n"
                         L"  2  the handheld gave a wrong handshake answer, or none within 10 s\r\n"
                         L"  3  image problem: missing, unreadable, too large, changed since it was read, in\r\n"
                         L"     use, or not the one --expect-sha256 names; not as its checksum file or\r\n"
                         L"     signature says, or not signed with --require-signature\r\n"
                         L"  4  the handheld refused a write (the line names the block)\r\n"
                         L"  5  interrupted by Ctrl+C or Ctrl+Break, the console closing, a log-off or a\r\n"
                         L"     shutdown\r\n"
                         L"  6  bad command line\r\n"
                         L"  7  the handheld stopped taking data for --stall-timeout seconds (the line names\r\n"
                         L"     the block; the link is closed)\r\n"
                         L"  8  the PC runs on battery below 25 % (plug it in, or --allow-battery)\r\n"
                         L"  9  the handheld was unplugged during the transfer (the line names the block)\r\n"
                         L" 10  a name romflash keeps for the handheld (its lock, or the mark of its plug)\r\n"
                         L"     belongs to a program of another user, or cannot be checked: nothing was\r\n"
                         L"     opened (--repeat takes no new handhelds and ends)\r\n"
                         L" 11  Windows could not list the handhelds\r\n"
                         L" 12  romflash crashed: it ended at once, its record says reason=crashed\r\n"
                         L"\r\n"
                         L"Every upgrade attempt is recorded in upgrade.log in the local application data\r\n"
                         L"folder, under \"ROM Upgrade Wizard\"; or in a shared folder, by the policy\r\n"
                         L"HKLM\\Software\\Policies\\ROM Upgrade Wizard\\LogFolder or --log-folder.\r\n";

bool ParseNumber(const std::wstring& text, DWORD largest, DWORD* value)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
    *value = static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
    return *value <= largest;
}

bool TakesValue(const std::wstring& arg)
{
    return arg == L"--wait" || arg == L"--device" || arg == L"--stall-timeout" || arg == L"--expect-sha256" ||
           arg == L"--settle" || arg == L"--count" || arg == L"--signer" || arg == L"--log-folder";
}

// One option and its value; false after saying why.
bool Take(const std::wstring& arg, const std::wstring& value, Options* o)
{
    using Action = Options::Action;
    if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
        o->action = Action::Help;
    } else if (arg == L"--version") {
        o->action = Action::Version;
    } else if (arg == L"--list") {
        o->action = Action::List;
    } else if (arg == L"--all") {
        o->action = Action::FlashAll;
    } else if (arg == L"--repeat") {
        o->action = Action::Repeat;
    } else if (arg == L"--require-signature") {
        o->requireSignature = true;
    } else if (arg == L"--allow-battery") {
        o->allowBattery = true;
    } else if (arg == L"--json") {
        o->json = true;
    } else if (arg == L"--check") {
        o->action = Action::Check;
    } else if (arg == L"--wait" || arg == L"--stall-timeout" || arg == L"--settle") {
        DWORD* seconds = arg == L"--wait" ? &o->waitSeconds : arg == L"--settle" ? &o->settleSeconds : &o->stallSeconds;
        if (!ParseNumber(value, 86400, seconds)) {
            Complain(arg + L" needs a number of seconds, 0 to 86400");
            return false;
        }
    } else if (arg == L"--count") {
        if (!ParseNumber(value, 1000, &o->count) || o->count == 0) {
            Complain(L"--count needs a number of handhelds, 1 to 1000");
            return false;
        }
    } else if (arg == L"--expect-sha256") {
        if (!ParseSha256(value, &o->expectSha256)) {
            Complain(L"--expect-sha256 needs a SHA-256 digest: 64 hex digits");
            return false;
        }
    } else if (arg == L"--signer") {
        std::string hex;
        if (!ParseThumbprint(value, &hex)) {
            Complain(L"--signer needs a certificate's thumbprint: SHA-1 (40 hex digits) or SHA-256 (64)");
            return false;
        }
        o->signers.push_back(hex);
    } else if (arg == L"--log-folder") {
        std::wstring why;
        if (!IsFullFolderPath(value, &why)) {
            Complain(L"--log-folder needs a full path to a folder, C:\\Logs or \\\\server\\share\\logs: " + why);
            return false;
        }
        o->logFolder = value;
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
    return true;
}

}  // namespace

const wchar_t* Usage() { return kUsage; }

bool ParseOptions(int argc, wchar_t** argv, Options* o)
{
    bool settleGiven = false, countGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i], value;
        if (arg.rfind(L"--", 0) == 0 && arg.find(L'=') != std::wstring::npos) {
            value = arg.substr(arg.find(L'=') + 1);
            arg.resize(arg.find(L'='));
        } else if (TakesValue(arg)) {
            if (i + 1 >= argc) {
                Complain(arg + L" needs a value (see --help)");
                return false;
            }
            value = argv[++i];
        }
        if (!Take(arg, value, o)) return false;
        settleGiven |= arg == L"--settle";
        countGiven |= arg == L"--count";
    }
    using Action = Options::Action;
    const bool many = o->action == Action::FlashAll || o->action == Action::Repeat;
    const bool needsImage = o->action == Action::Flash || many || o->action == Action::Check;
    if (many && !o->device.empty()) {
        Complain(L"--all and --repeat take every handheld: no --device with them");
        return false;
    }
    if ((settleGiven || countGiven) && o->action != Action::FlashAll) {
        Complain(L"--settle and --count go with --all only");
        return false;
    }
    if (needsImage && o->image.empty()) {
        Complain(L"which image? (see --help)");
        return false;
    }
    return true;
}
