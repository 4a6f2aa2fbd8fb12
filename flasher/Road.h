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
#include "device/PlugMemory.h"
#include "device/Transfer.h"
#include "flasher/Options.h"
#include "flasher/Progress.h"
#include "flasher/Session.h"

// Which handheld the road takes.
struct RoadTarget {
    // A device path from the lookup (the modes that take every handheld), or as the command
    // line chose: empty for the first present, number N of --list, or a path.
    std::wstring device;
    bool found = false;  // `device` is a path the lookup has just given (--all, --repeat)
    bool line = false;   // --repeat: a handheld left alone stays so until it is plugged again
    DWORD waitSeconds = 0;  // how long to look for it
    // What the plug memory said of it. Taken: another program took it in this plug, so it is
    // never opened, only said to be in use (while its lock is held) or left alone. NotOurs:
    // never opened either, and said to be not ours (plugError says why).
    PlugMemory::Look plug = PlugMemory::Look::Ours;
    DWORD plugError = 0;
};

// One handheld's road, over: its outcome (whatever is printed, recorded, counted or returned
// of it comes from there) and the failure in words.
struct HandheldResult {
    UpgradeOutcome outcome;
    int code = kExitSuccess;  // ExitCodeOf(outcome)
    std::wstring device;      // the outcome's device path
    std::wstring why;         // for the result line; empty for a success
    bool said = false;        // already on standard error
    bool gone = false;        // listed by the look, and gone when it was to be opened (skipped)
};


// Runs the road; `observer` hears of the blocks. The link is closed and the attempt recorded
// before it returns. A handheld another program holds is a failure when romflash was told to
// write it (the single mode), and "skipped" in the modes that take every handheld.
HandheldResult RunRoad(Session& session, const std::shared_ptr<const StagedImage>& image,
                       const std::wstring& imagePath, const RoadTarget& target, const Options& o,
                       TransferObserver& observer);

// The result line of --all and --repeat: "PATH result=success bytes=N duration=Ds sent=K", or
// "PATH result=failed code=C bytes=N duration=Ds sent=K step=... reason=... error=... (why)",
// with the record's fields.
std::wstring ResultLine(const HandheldResult& result);

// One handheld's road on a thread of its own, for the modes that flash several at once.
class RoadThread {
public:
    // target: a handheld the lookup has just given (found).
    RoadThread(const Session& session, RoadTarget target) : path(target.device), counter(session), m_target(std::move(target))
    {
    }
    // Waits for the road to end.
    ~RoadThread() { m_thread.Wait(); }
    void Start(Session& session, const std::shared_ptr<const StagedImage>& image, const std::wstring& imagePath,
               const Options& o);
    bool Finished() const { return m_finished; }
    // Once Finished: the road's result.
    const HandheldResult& Result();

    const std::wstring path;
    BlockCounter counter;

private:
    const RoadTarget m_target;
    HandheldResult m_result;
    std::atomic<bool> m_finished{false};
    LinkThread m_thread;
};
