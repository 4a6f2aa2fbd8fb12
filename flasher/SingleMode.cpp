#include <cwchar>

#include "flasher/Console.h"
#include "flasher/Modes.h"
#include "flasher/Progress.h"
#include "flasher/Road.h"

int FlashOne(Session& session, const Options& o, const std::wstring& image, const Staged& staged)
{
    RoadTarget target;
    target.device = o.device;
    target.waitSeconds = o.waitSeconds;
    ProgressLine progress(session);
    const HandheldResult r = RunRoad(session, staged, image, target, o, progress);
    progress.Finish();
    if (r.code != kExitSuccess) {
        if (!r.said) Complain(r.why);
        return r.code;
    }
    wchar_t speed[64];
    std::swprintf(speed, 64, L"%.2f s, %.2f MiB/s", r.outcome.transferSeconds, r.outcome.Speed());
    Say(L"romflash: the handheld took " + std::to_wstring(r.outcome.taken) + L" bytes (sum " +
        std::to_wstring(r.outcome.sum) + L") in " + std::to_wstring(r.outcome.sent) + L" blocks, " + speed);
    return kExitSuccess;
}
