#include "flasher/Road.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vector>

#include "flasher/Console.h"
#include "power/PowerCheck.h"

namespace {

// Connects to the chosen handheld: the first present, number N of the list, or the one at a
// path. kNoDevice while it is not there, kLookupFailed while Windows cannot list them.
int ConnectChosen(CUSBUpdate& link, const std::wstring& device)
{
    if (device.empty()) return link.Connect();
    const DeviceLookup present = CUSBUpdate::LookUp();
    if (present.Failed()) {
        link.m_dwError = present.error;
        return CUSBUpdate::kLookupFailed;
    }
    if (device.find_first_not_of(L"0123456789") == std::wstring::npos) {
        const unsigned long n = std::wcstoul(device.c_str(), nullptr, 10);
        if (n < 1 || n > present.paths.size() || present.paths[n - 1].empty()) return CUSBUpdate::kNoDevice;
        return link.ConnectTo(present.paths[n - 1]);
    }
    for (const std::string& path : present.paths)
        if (!path.empty() && _wcsicmp(FromUtf8(path).c_str(), device.c_str()) == 0) return link.ConnectTo(path);
    return CUSBUpdate::kNoDevice;
}

// The path of a handheld not opened, for its record.
void KeepPath(CUSBUpdate& link, const std::string& path)
{
    if (path.size() < CUSBUpdate::kPathSize) std::memcpy(link.m_szDevicePath, path.c_str(), path.size() + 1);
}

// Looks for the handheld until it answers or the wait is over: Connect's answer (kStopped
// after a stop), with the time the handheld was found in *found (0: never). From each look
// that finds it on, the session is held: the handshake counts as part of the transfer.
int WaitForHandheld(Session& session, CUSBUpdate& link, const RoadTarget& target,
                    std::unique_ptr<Session::Transfer>* hold, DWORD* found)
{
    const DWORD start = ::GetTickCount();
    *found = 0;
    for (bool announced = target.found;;) {
        if (session.StopRequested()) return CUSBUpdate::kStopped;
        hold->reset(new Session::Transfer(session));
        const DWORD look = ::GetTickCount();
        // A path the lookup has just given is opened as it is, with no lookup of its own.
        const int answer = target.found ? link.ConnectTo(ToUtf8(target.device)) : ConnectChosen(link, target.device);
        if (answer != CUSBUpdate::kNoDevice && answer != CUSBUpdate::kLookupFailed) {
            // Stopped before anything was opened: nothing was found.
            if (answer != CUSBUpdate::kStopped || link.m_szDevicePath[0]) *found = look;
            return answer;
        }
        hold->reset();
        if (::GetTickCount() - start >= target.waitSeconds * 1000) return answer;
        if (!announced) {
            Write(STD_ERROR_HANDLE,
                  L"waiting up to " + std::to_wstring(target.waitSeconds) + L" s for the handheld...\r\n");
            announced = true;
        }
        ::WaitForSingleObject(session.StopEvent(), 250);
    }
}

}  // namespace

HandheldResult RunRoad(Session& session, const std::shared_ptr<const StagedImage>& image,
                       const std::wstring& imagePath, const RoadTarget& target, const Options& o,
                       TransferObserver& observer)
{
    HandheldResult result;
    CUSBUpdate link;
    LineReporter reporter;
    link.SetReporter(&reporter);
    link.SetStopEvent(session.StopEvent());
    if (o.stallSeconds > 0) link.m_dwWriteTimeout = o.stallSeconds * 1000;
    UpgradeAttempt attempt(L"romflash", link);
    attempt.imagePath = imagePath;
    // The staged image is this link's from the start, so that every record names it.
    link.OpenStagedImage(image);
    attempt.transfer.staged = link.HasImage();
    attempt.transfer.blockCount = link.m_nBlockCount;

    std::unique_ptr<Session::Transfer> hold;
    auto finish = [&](std::wstring why) {
        link.Close();
        hold.reset();
        // The modes that take every handheld leave one another program is writing alone.
        attempt.skipped = attempt.skipped || (attempt.handshake == CUSBUpdate::kBusy && target.found);
        result.outcome = session.Conclude(attempt);
        result.code = ExitCodeOf(result.outcome);
        result.device = FromUtf8(result.outcome.device);
        result.why = std::move(why);
        session.Record(result.outcome);
        return result;
    };
    auto notOurs = [&](DWORD error) {
        link.m_dwError = error;
        attempt.handshake = CUSBUpdate::kNotOurs;
        return finish(L"a name romflash keeps for this handheld is another user's program's, or cannot be checked" +
                      WindowsError(error) + L"; it was not opened");
    };

    const std::wstring busy = target.line ? L"another program is using this handheld; left alone until it is plugged again"
                                          : L"another program is using this handheld: skipped";
    const std::string foundPath = ToUtf8(target.device);
    if (target.plug == PlugMemory::Look::NotOurs) {
        KeepPath(link, foundPath);
        return notOurs(target.plugError);
    }
    if (target.plug == PlugMemory::Look::Taken) {
        KeepPath(link, foundPath);
        // Still at it, or done with it in this plug: either way not written here.
        DWORD error = 0;
        switch (CUSBUpdate::LookAtLock(foundPath, &error)) {
        case CUSBUpdate::kLockHeld: attempt.handshake = CUSBUpdate::kBusy; return finish(busy);
        case CUSBUpdate::kLockNotOurs: return notOurs(error);
        default: break;
        }
        attempt.refusedFor = "taken";
        attempt.skipped = true;
        return finish(target.line ? L"another romflash or wizard took this handheld in this plug; left alone until it "
                                    L"is plugged again"
                                  : L"another romflash or wizard took this handheld in this plug; not written again");
    }

    // Judged before each handheld: an all-day line stops writing once the PC runs low.
    if (!o.allowBattery && JudgePower(ReadPowerState()) == PowerVerdict::Refuse) {
        attempt.refusedFor = "battery-low";
        if (target.found) KeepPath(link, foundPath);
        return finish(L"the PC runs on battery below 25 %: plug it in (or --allow-battery); this handheld was not "
                      L"opened");
    }

    // The handshake. Its engine's message waits until it is known whether to say it: a
    // handheld that did not answer in time gets a line of its own instead.
    reporter.SetContext(target.found ? target.device + L": " : L"wrong handshake answer from the handheld: ");
    reporter.Hold();
    DWORD found = 0;
    const int answer = WaitForHandheld(session, link, target, &hold, &found);
    if (found) attempt.started = found;
    if (answer == CUSBUpdate::kWrongReply && link.m_nFailure == CUSBUpdate::kFailNoAnswer) {
        reporter.Drop();
        attempt.handshake = answer;
        return finish(L"the handheld did not answer the handshake within " +
                      std::to_wstring(link.m_dwHandshakeTimeout / 1000) + L" s");
    }
    reporter.Release();
    if (answer == CUSBUpdate::kStopped) {
        attempt.interrupted = true;
        // Opened and asked: the handshake was under way.
        if (found) {
            attempt.handshake = CUSBUpdate::kStopped;
            return finish(L"interrupted during the handshake; nothing was sent");
        }
        return finish(L"interrupted before the handshake; nothing was sent");
    }
    attempt.handshake = answer;
    switch (answer) {
    case CUSBUpdate::kNoDevice:
        if (target.found) {
            // Listed by the look and not there to be opened: unplugged meanwhile, and nothing
            // was attempted. A handheld there that cannot be opened is a failure.
            const DWORD e = link.m_dwError;
            result.gone = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_DEVICE_NOT_CONNECTED ||
                          e == ERROR_DEV_NOT_EXIST || e == ERROR_DEVICE_REMOVED;
            attempt.skipped = result.gone;
            return finish(result.gone ? L"gone before it was opened" : L"could not be opened" + WindowsError(e));
        }
        return finish(L"no handheld found within " + std::to_wstring(target.waitSeconds) + L" s" +
                      (target.device.empty() ? L"" : L" (--device " + target.device + L")"));
    case CUSBUpdate::kLookupFailed:
        return finish(L"Windows could not list the handhelds" + WindowsError(link.m_dwError) + L"; none was opened");
    case CUSBUpdate::kBusy:
        if (target.found) return finish(busy);
        return finish(L"another upgrade is using the handheld at " + FromUtf8(link.m_szDevicePath) +
                      L"; it was not opened");
    case CUSBUpdate::kNotOurs: return notOurs(link.m_dwError);
    case CUSBUpdate::kWrongReply:
        result.said = true;  // by the engine
        return finish(L"wrong handshake answer");
    default: break;
    }

    // From the handshake to the end of the transfer the PC stays awake and the session is held.
    attempt.transfer = SendStagedImage(link, observer);  // closes the link
    const TransferOutcome& x = attempt.transfer;
    if (x.Succeeded()) return finish(std::wstring());
    const std::wstring block = BlockName(x.sent, x.blockCount + 1);
    if (x.stopped) {
        attempt.interrupted = true;
        return finish(L"interrupted before " + block + L"; the handheld holds an incomplete image");
    }
    const std::wstring why = WindowsError(x.error);
    const std::wstring what = x.headerFailed ? std::wstring(L"the header") : block;
    switch (x.failure) {
    case CUSBUpdate::kFailStalled:
        return finish(L"the handheld stopped taking data: " + what + L" was not taken within " +
                      std::to_wstring(o.stallSeconds) + L" s; the link is closed and the handheld holds an incomplete image");
    case CUSBUpdate::kFailWrite: return finish(L"the handheld refused " + what + why);
    case CUSBUpdate::kFailUnplugged:
        return finish(L"the handheld was unplugged: " + what + L" did not reach it" + why +
                      L"; it holds an incomplete image");
    case CUSBUpdate::kFailImageChanged:
        return finish(L"image " + imagePath + L": the file changed after it was checked; found before " + block +
                      L" went out, and nothing more was written (the handheld holds an incomplete image)");
    default: return finish(L"image " + imagePath + L": could not be read, at " + block + why);
    }
}

std::wstring ResultLine(const HandheldResult& r)
{
    const UpgradeOutcome& o = r.outcome;
    std::wstring line = r.device + L" result=" + FromUtf8(o.result);
    if (o.result == "skipped") return line + L" (" + r.why + L")";
    if (r.code != kExitSuccess) line += L" code=" + std::to_wstring(r.code);
    wchar_t figures[96];
    std::swprintf(figures, 96, L" bytes=%llu duration=%.3fs sent=%d", static_cast<unsigned long long>(o.taken),
                  o.duration, o.sent);
    line += figures;
    if (!o.step.empty()) line += L" step=" + FromUtf8(o.step);
    if (!o.reason.empty()) line += L" reason=" + FromUtf8(o.reason) + L" error=" + std::to_wstring(o.error);
    if (!o.cause.empty()) line += L" cause=" + FromUtf8(o.cause);
    if (!r.why.empty()) line += L" (" + r.why + L")";
    return line;
}

void RoadThread::Start(Session& session, const std::shared_ptr<const StagedImage>& image,
                       const std::wstring& imagePath, const Options& o)
{
    m_thread.Start(
        [this, &session, image, imagePath, &o] {
            m_result = RunRoad(session, image, imagePath, m_target, o, counter);
            m_finished = true;
        },
        nullptr, 0);
}

const HandheldResult& RoadThread::Result()
{
    m_thread.Wait();
    return m_result;
}
