// The one road of one handheld, in every mode: open it (by the path given or found), the
// handshake, the header and the blocks of the staged image, the outcome, its record in the
// log. Single mode runs it once; --all runs it on every link at once; --repeat runs it as
// handhelds appear.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "device/LinkThread.h"
#include "device/Transfer.h"
#include "flasher/Options.h"
#include "flasher/Progress.h"
#include "flasher/Session.h"

// Which handheld the road takes.
struct RoadTarget {
    // A device path from the lookup (the modes that take every handheld), or as the command
    // line chose: empty for the first present, number N of --list, or a path.
    std::wstring device;
    bool found = false;  // `device` is a path the lookup has just given
    DWORD waitSeconds = 0;  // how long to look for it
    // Another program took it in this plug (PlugMemory): it is never opened, only said to be
    // in use (when its lock is held now) or left alone.
    bool spokenFor = false;
};

// One handheld's road, over: its outcome (whatever is printed, recorded, counted or returned
// of it comes from there) and the failure in words.
struct HandheldResult {
    UpgradeOutcome outcome;
    int code = kExitSuccess;  // ExitCodeOf(outcome)
    std::wstring device;      // the outcome's device path
    std::wstring why;         // for the result line; empty for a success
    bool said = false;        // already on standard error
};


// Runs the road; `observer` hears of the blocks. The link is closed and the attempt recorded
// before it returns; a handheld another program holds is recorded only when `recordBusy`, else
// its outcome says "skipped".
HandheldResult RunRoad(Session& session, const std::shared_ptr<const StagedImage>& image,
                       const std::wstring& imagePath, const RoadTarget& target, const Options& o,
                       TransferObserver& observer, bool recordBusy = true);

// The result line of --all and --repeat: "PATH result=success bytes=N duration=Ds sent=K", or
// "PATH result=failed code=C bytes=N duration=Ds sent=K step=... reason=... error=... (why)",
// with the record's fields.
std::wstring ResultLine(const HandheldResult& result);

// One handheld's road on a thread of its own, for the modes that flash several at once.
class RoadThread {
public:
    RoadThread(const Session& session, std::wstring devicePath) : path(std::move(devicePath)), counter(session) {}
    // Waits for the road to end.
    ~RoadThread() { m_thread.Wait(); }
    void Start(Session& session, const std::shared_ptr<const StagedImage>& image, const std::wstring& imagePath,
               const Options& o, bool recordBusy, bool spokenFor = false);
    bool Finished() const { return m_finished; }
    // Once Finished: the road's result.
    const HandheldResult& Result();

    const std::wstring path;
    BlockCounter counter;

private:
    HandheldResult m_result;
    std::atomic<bool> m_finished{false};
    LinkThread m_thread;
};
