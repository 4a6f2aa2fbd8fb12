#include <algorithm>
#include <cwchar>
#include <memory>
#include <vector>

#include "flasher/Console.h"
#include "flasher/Modes.h"
#include "device/PlugMemory.h"
#include "flasher/Road.h"

namespace {

// Handhelds on a hub appear one after another. Waits (up to --wait) for the first, then until
// none has appeared for --settle seconds; with --count, until that many are present. Returns
// the exit code (0: *present holds the handhelds to flash). A look that failed tells nothing:
// the wait goes on, and ends with its own code when the looks still fail at its end.
int WaitForHub(Session& session, const Options& o, PlugMemory& plugs, HandheldLook* present)
{
    const DWORD start = ::GetTickCount();
    DWORD lastNew = start;
    std::vector<std::wstring> seen;
    for (bool announced = false;;) {
        if (session.StopRequested()) {
            Complain(L"interrupted while waiting for handhelds; nothing was sent");
            return kExitInterrupted;
        }
        const HandheldLook look = plugs.LookAtHandhelds();
        const DWORD now = ::GetTickCount();
        if (look.Failed()) {
            if (now - start >= o.waitSeconds * 1000) {
                Complain(L"Windows could not list the handhelds" + WindowsError(look.error) + L"; none was flashed");
                return kExitLookupFailed;
            }
            ::WaitForSingleObject(session.StopEvent(), 100);
            continue;
        }
        *present = look;
        for (const std::wstring& path : present->paths) {
            if (std::find(seen.begin(), seen.end(), path) != seen.end()) continue;
            if (seen.empty() && o.count == 0)
                Write(STD_ERROR_HANDLE, L"a handheld appeared; starting once none new has appeared for " +
                                            std::to_wstring(o.settleSeconds) + L" s...\r\n");
            seen.push_back(path);
            lastNew = now;
        }
        if (o.count > 0 && present->paths.size() >= o.count) return kExitSuccess;
        // Settled: none new for --settle seconds. Those seen may have left meanwhile, and an
        // empty hub is as good as none at all.
        if (o.count == 0 && !seen.empty() && now - lastNew >= o.settleSeconds * 1000) {
            if (!present->paths.empty()) return kExitSuccess;
            Complain(L"the handhelds seen were gone when the hub settled; none was flashed");
            return kExitNoHandheld;
        }
        // --wait bounds the wait for the first handheld, or for all --count of them; once one
        // is there, settling takes as long as the hub takes.
        if ((o.count > 0 || seen.empty()) && now - start >= o.waitSeconds * 1000) {
            if (o.count > 0)
                Complain(std::to_wstring(present->paths.size()) + L" of the " + std::to_wstring(o.count) +
                         L" handhelds were present within " + std::to_wstring(o.waitSeconds) +
                         L" s; none was flashed");
            else
                Complain(L"no handheld found within " + std::to_wstring(o.waitSeconds) + L" s");
            return kExitNoHandheld;
        }
        if (!announced && (o.count > 0 || present->paths.empty())) {
            const std::wstring how = o.count > 0 ? std::to_wstring(o.count) + L" handhelds" : L"handhelds";
            Write(STD_ERROR_HANDLE, L"waiting up to " + std::to_wstring(o.waitSeconds) + L" s for " + how + L"...\r\n");
            announced = true;
        }
        ::WaitForSingleObject(session.StopEvent(), 100);
    }
}

}  // namespace

int FlashAll(Session& session, const Options& o, const std::wstring& image, const Staged& staged)
{
    // A handheld another romflash or a wizard took in this plug is not written again here; the
    // ones taken here are spoken for, to every program on the PC, until this run ends.
    PlugMemory plugs;
    HandheldLook present;
    const int code = WaitForHub(session, o, plugs, &present);
    if (code != kExitSuccess) return code;

    std::vector<std::unique_ptr<RoadThread>> roads;
    for (const std::wstring& path : present.paths) {
        RoadTarget target;
        target.device = path;
        target.found = true;
        target.plug = plugs.Present(path, &present, &target.plugError);
        // Heard removed since the look: not there to be written.
        if (target.plug == PlugMemory::Look::Held) continue;
        roads.push_back(std::make_unique<RoadThread>(session, target));
        roads.back()->Start(session, staged, image, o);
    }

    if (roads.empty()) {
        Complain(L"the handhelds seen were gone when the hub settled; none was flashed");
        return kExitNoHandheld;
    }

    // One line for all of them; each handheld's result on standard output as soon as it is known.
    StatusLine status;
    const unsigned long writes = static_cast<unsigned long>(staged->ByteCount() / CUSBUpdate::kBlockSize + 1);
    const unsigned long all = writes * static_cast<unsigned long>(roads.size());
    const DWORD start = ::GetTickCount();
    std::vector<bool> said(roads.size(), false);
    for (size_t done = 0; done < roads.size();) {
        unsigned long sent = 0;
        for (size_t i = 0; i < roads.size(); ++i) {
            RoadThread& road = *roads[i];
            sent += static_cast<unsigned long>(road.counter.Sent());
            if (said[i] || !road.Finished()) continue;
            said[i] = true;
            ++done;
            status.Clear();
            Say(ResultLine(road.Result()));
        }
        const bool last = done == roads.size();
        if (last || status.Due()) {
            const double seconds = (::GetTickCount() - start) / 1000.0;
            wchar_t line[160];
            std::swprintf(line, 160, L"%lu handhelds: %lu done, %lu in progress; blocks %lu/%lu (%d%%), %.2f MiB/s",
                          static_cast<unsigned long>(roads.size()), static_cast<unsigned long>(done),
                          static_cast<unsigned long>(roads.size() - done), sent, all,
                          static_cast<int>(100.0 * sent / all), seconds > 0 ? sent * 512.0 / seconds / (1 << 20) : 0.0);
            status.Show(line, last);
        }
        if (!last) ::Sleep(50);
    }
    status.End();
    // The first failure in device order, else success; none written or tried here is as none found.
    bool tried = false;
    for (const auto& road : roads) {
        if (road->Result().outcome.result == "skipped") continue;
        if (road->Result().code != kExitSuccess) return road->Result().code;
        tried = true;
    }
    return tried ? kExitSuccess : kExitNoHandheld;
}
