#include <algorithm>
#include <cwchar>
#include <memory>
#include <vector>

#include "flasher/Console.h"
#include "device/DeviceWatch.h"
#include "flasher/Modes.h"
#include "device/PlugMemory.h"
#include "flasher/Road.h"

// A handheld that stays present after its road (flashed, failed, or held by another program)
// is left alone until it has been unplugged; so is one that another line, any romflash or a
// wizard took in this plug (PlugMemory). Unplugged is what Windows says: a removal it
// announces (DeviceWatch), or two looks some time apart that do not list the handheld. A look
// that fails is said (once until the looks work again) and changes nothing. A handheld whose
// name is not ours ends the line: no new handhelds, and exit code 10 once those in progress
// are done.
int FlashRepeatedly(Session& session, const Options& o, const std::wstring& image, const Staged& staged)
{
    session.DrainOnFirstCtrlC();
    Write(STD_ERROR_HANDLE, L"waiting for handhelds; Ctrl+C takes no new ones, a second Ctrl+C stops those in "
                            L"progress\r\n");

    std::vector<std::unique_ptr<RoadThread>> running;
    PlugMemory plugs;
    DeviceWatch watch(plugs);
    unsigned long succeeded = 0, failed = 0, interrupted = 0, skipped = 0;
    int firstFailure = kExitSuccess;
    bool notOurs = false;
    DWORD lookFailed = 0;
    StatusLine tally;
    for (;;) {
        const HandheldLook look = plugs.LookAtHandhelds();
        if (look.error != lookFailed) {
            tally.Clear();
            if (!lookFailed)
                Complain(L"Windows could not list the handhelds" + WindowsError(look.error) + L"; looking again");
            else if (!look.error)
                Complain(L"the handhelds can be listed again");
            lookFailed = look.error;
        }

        // Results as they come.
        for (auto it = running.begin(); it != running.end();) {
            if (!(*it)->Finished()) {
                ++it;
                continue;
            }
            const HandheldResult& r = (*it)->Result();
            tally.Clear();
            Say(ResultLine(r));
            const std::string& result = r.outcome.result;
            ++(result == "success" ? succeeded : result == "skipped" ? skipped : result == "interrupted" ? interrupted : failed);
            if (result != "success" && result != "skipped" && firstFailure == kExitSuccess) firstFailure = r.code;
            // Gone when it was to be opened: its plug is over, and was never written here.
            if (r.gone) plugs.Unplugged((*it)->path);
            if (r.code == kExitNotOurs && !notOurs) {
                notOurs = true;
                Complain(L"a name kept for " + r.device + L" is not this user's: taking no new handhelds, and ending "
                         L"with exit code 10 once those in progress are done");
            }
            it = running.erase(it);
        }

        // New handhelds, unless a Ctrl+C or a name not ours said no more.
        const bool noMore = session.Draining() || session.StopRequested() || notOurs;
        if (!noMore) {
            for (const std::wstring& path : look.paths) {
                const bool busy = std::any_of(running.begin(), running.end(),
                                              [&](const std::unique_ptr<RoadThread>& r) { return r->path == path; });
                if (busy) continue;
                // One another program took in this plug goes its road too, to be said once.
                RoadTarget target;
                target.device = path;
                target.found = true;
                target.line = true;
                target.plug = plugs.Present(path, &look, &target.plugError);
                if (target.plug == PlugMemory::Look::Held) continue;
                running.push_back(std::make_unique<RoadThread>(session, target));
                running.back()->Start(session, staged, image, o);
            }
        }
        if (noMore && running.empty()) break;

        wchar_t line[128];
        std::swprintf(line, 128, L"done %lu, failed %lu, interrupted %lu, skipped %lu, in progress %lu%ls", succeeded,
                      failed, interrupted, skipped, static_cast<unsigned long>(running.size()),
                      session.Draining() ? L" (taking no new handhelds)" : L"");
        tally.Show(line);
        const HANDLE wake[] = {session.StopEvent(), watch.Changed()};
        ::WaitForMultipleObjects(watch.Changed() ? 2 : 1, wake, FALSE, 250);
    }
    tally.End();
    Write(STD_ERROR_HANDLE, L"done " + std::to_wstring(succeeded) + L", failed " + std::to_wstring(failed) +
                                L", interrupted " + std::to_wstring(interrupted) + L", skipped " +
                                std::to_wstring(skipped) + L"\r\n");
    if (session.StopRequested()) return kExitInterrupted;
    if (notOurs) return kExitNotOurs;
    return firstFailure;
}
