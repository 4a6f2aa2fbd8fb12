// romflash: writes a ROM image into a handheld waiting in Image Upgrade mode, from a command
// line, with no pages and no message boxes. The same link engine as the wizard's does the
// work, on the same wire: the flasher waits for the handheld, reads the handshake, sends the
// header and the blocks, and tells by its exit code how it went. `romflash --help` says more.
//
// Options.* reads the command line; Session.* is what surrounds every run that flashes (the
// stop, the PC kept awake, the records); Staging.* reads the image once; Road.* is the road of
// one handheld; the modes (SingleMode, AllMode, RepeatMode) run that road; Console.* and
// Progress.* are what is said.
#include <windows.h>

#include "log/CrashRecord.h"
#include "log/UpgradeLog.h"
#include "flasher/Console.h"
#include "flasher/Modes.h"
#include "flasher/Options.h"
#include "framework/SystemLibrary.h"

namespace {

int List()
{
    const DeviceLookup present = CUSBUpdate::LookUp();
    if (present.Failed()) {
        Complain(L"Windows could not list the handhelds" + WindowsError(present.error));
        return kExitLookupFailed;
    }
    if (present.paths.empty()) {
        Complain(L"no handheld present");
        return kExitNoHandheld;
    }
    for (size_t i = 0; i < present.paths.size(); ++i)
        Say(std::to_wstring(i + 1) + L"  " +
            (present.paths[i].empty() ? L"(path unknown)" : FromUtf8(present.paths[i])));
    return kExitSuccess;
}

// --json anywhere on the command line, read or not.
bool JsonAsked(int argc, wchar_t** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::wstring(argv[i]) == L"--json") return true;
    return false;
}

int Check(const std::wstring& image)
{
    CUSBUpdate link;
    LineReporter reporter;
    reporter.SetContext(L"image " + image + L": ");
    link.SetReporter(&reporter);
    link.OpenImage(image.c_str());
    if (!link.HasImage()) return kExitImage;
    Say(L"bytes=" + std::to_wstring(link.m_nByteCount) + L" sum=" + std::to_wstring(link.m_nByteSum) + L" blocks=" +
        std::to_wstring(link.m_nBlockCount) + L" sha256=" + FromUtf8(link.m_strImageSha256));
    link.Close();
    return kExitSuccess;
}

// The image first, so that a bad one never touches a handheld; then the mode.
int Flash(Session& session, const Options& o)
{
    const std::wstring image = FullPath(o.image);
    SetCrashImage(image);
    if (!PowerLetsStart(session, image, o)) return kExitBattery;
    int code = kExitSuccess;
    const Staged staged = StageImage(session, image, o, &code);
    if (!staged) return code;
    switch (o.action) {
    case Options::Action::FlashAll: return FlashAll(session, o, image, staged);
    case Options::Action::Repeat: return FlashRepeatedly(session, o, image, staged);
    default: return FlashOne(session, o, image, staged);
    }
}

// The last word of a romflash that crashed, in a buffer of its own: the heap may be what broke.
void SayCrashed(DWORD code)
{
    char line[160];
    const int n = wsprintfA(line, "romflash: crashed (exception 0x%08lX); nothing more was sent, and a handheld "
                                  "being written holds an incomplete image\r\n", code);
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(n), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    // DLLs come from the system directory only, never from the bench's working folder.
    RestrictDllSearch();
    RecordCrashes(L"romflash", &SayCrashed);
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        // A script that reads JSON gets its summary line, with the exit code, whatever went wrong.
        if (JsonAsked(argc, argv)) Write(STD_OUTPUT_HANDLE, Session::SummaryLine({}, kExitUsage));
        return kExitUsage;
    }
    using Action = Options::Action;
    switch (o.action) {
    case Action::Help: Write(STD_OUTPUT_HANDLE, Usage()); return kExitSuccess;
    case Action::Version:
        Say(L"romflash " + FromUtf8(ProgramVersion()) + L" (" + FromUtf8(ProgramArch()) + L")");
        return kExitSuccess;
    case Action::List: return List();
    case Action::Check: return Check(o.image);
    default: break;
    }
    // Every run that flashes, in one session from the first byte read to the last record.
    Session session;
    if (o.json) {
        SayOnStandardError();
        session.PrintJson(true);
    }
    const LogDestination destination = ChooseLogDestination(o.logFolder);
    if (destination.byPolicy && !o.logFolder.empty() && ::lstrcmpiW(destination.shared.c_str(), o.logFolder.c_str()) != 0)
        Complain(L"the log folder is set by the PC's policy: the records go to " + destination.shared +
                 L", not to --log-folder's");
    session.SetLogDestination(destination);
    const int code = Flash(session, o);
    session.Summary(code);
    return code;
}
