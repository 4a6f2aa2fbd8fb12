#include "flasher/Road.h"

#include <algorithm>
#include <cwchar>
#include <vector>

#include "flasher/Console.h"

namespace {

// Connects to the chosen handheld: the first present, number N of the list, or the one at a
// path. kNoDevice while it is not there.
int ConnectChosen(CUSBUpdate& link, const std::wstring& device)
{
    if (device.empty()) return link.Connect();
    const std::vector<std::string> present = CUSBUpdate::ListDevices();
    if (device.find_first_not_of(L"0123456789") == std::wstring::npos) {
        const unsigned long n = std::wcstoul(device.c_str(), nullptr, 10);
        if (n < 1 || n > present.size() || present[n - 1].empty()) return CUSBUpdate::kNoDevice;
        return link.ConnectTo(present[n - 1]);
    }
    for (const std::string& path : present)
        if (!path.empty() && _wcsicmp(Widen(path).c_str(), device.c_str()) == 0) return link.ConnectTo(path);
    return CUSBUpdate::kNoDevice;
}

// Looks for the handheld until it answers or the wait is over: Connect's answer (kStopped
// after a stop).
int WaitForHandheld(Session& session, CUSBUpdate& link, const RoadTarget& target)
{
    const DWORD start = ::GetTickCount();
    for (bool announced = target.found;;) {
        if (session.StopRequested()) return CUSBUpdate::kStopped;
        // A path the lookup has just given is opened as it is, with no lookup of its own.
        const int answer = target.found ? link.ConnectTo(std::string(target.device.begin(), target.device.end()))
                                        : ConnectChosen(link, target.device);
        if (answer != CUSBUpdate::kNoDevice || ::GetTickCount() - start >= target.waitSeconds * 1000) return answer;
        if (!announced) {
            Write(STD_ERROR_HANDLE,
                  L"waiting up to " + std::to_wstring(target.waitSeconds) + L" s for the handheld...\r\n");
            announced = true;
        }
        ::WaitForSingleObject(session.StopEvent(), 250);
    }
}

}  // namespace

std::vector<std::wstring> PresentHandhelds()
{
    std::vector<std::wstring> present;
    for (const std::string& path : CUSBUpdate::ListDevices())
        if (!path.empty()) present.push_back(Widen(path));
    return present;
}

HandheldResult RunRoad(Session& session, const std::shared_ptr<const StagedImage>& image,
                       const std::wstring& imagePath, const RoadTarget& target, const Options& o,
                       TransferObserver& observer, bool recordBusy)
{
    const DWORD start = ::GetTickCount();
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

    auto finish = [&](int code, std::wstring why) {
        link.Close();
        const TransferOutcome& x = attempt.transfer;
        result.code = code;
        result.why = std::move(why);
        result.device = Widen(link.m_szDevicePath);
        result.outcome = x;
        result.bytes = std::min<uint64_t>(static_cast<uint64_t>(x.sent) * CUSBUpdate::kBlockSize, link.m_nByteCount);
        result.seconds = (::GetTickCount() - start) / 1000.0;
        result.failure = DescribeFailure(attempt);
        if (!result.busy || recordBusy) session.Record(attempt);
        return result;
    };

    // The handshake. Its engine's message waits until it is known whether to say it: a
    // handheld that did not answer in time gets a line of its own instead.
    reporter.SetContext(target.found ? target.device + L": " : L"wrong handshake answer from the handheld: ");
    reporter.Hold();
    const int answer = WaitForHandheld(session, link, target);
    if (answer == CUSBUpdate::kWrongReply && link.m_nFailure == CUSBUpdate::kFailNoAnswer) {
        reporter.Drop();
        attempt.handshake = answer;
        return finish(kExitWrongAnswer, L"the handheld did not answer the handshake within " +
                                            std::to_wstring(link.m_dwHandshakeTimeout / 1000) + L" s");
    }
    reporter.Release();
    if (answer == CUSBUpdate::kStopped) {
        attempt.interrupted = true;
        return finish(kExitInterrupted, L"interrupted before the handshake; nothing was sent");
    }
    attempt.handshake = answer;
    switch (answer) {
    case CUSBUpdate::kNoDevice:
        if (target.found) return finish(kExitNoHandheld, L"gone before the handshake");
        return finish(kExitNoHandheld, L"no handheld found within " + std::to_wstring(target.waitSeconds) + L" s" +
                                           (target.device.empty() ? L"" : L" (--device " + target.device + L")"));
    case CUSBUpdate::kBusy:
        result.busy = true;
        if (target.found) return finish(kExitNoHandheld, L"another program is using this handheld: skipped");
        return finish(kExitNoHandheld,
                      L"another upgrade is using the handheld at " + Widen(link.m_szDevicePath) + L"; it was not opened");
    case CUSBUpdate::kWrongReply:
        result.said = true;  // by the engine
        return finish(kExitWrongAnswer, L"wrong handshake answer");
    default: break;
    }

    {
        // From here to the end of the transfer the PC stays awake and the session is held.
        const Session::Transfer transfer(session);
        attempt.transfer = SendStagedImage(link, observer);  // closes the link
    }
    const TransferOutcome& x = attempt.transfer;
    if (x.Succeeded()) return finish(kExitSuccess, std::wstring());
    const std::wstring block = BlockName(x.sent, x.blockCount + 1);
    if (x.stopped) {
        attempt.interrupted = true;
        return finish(kExitInterrupted, L"interrupted before " + block + L"; the handheld holds an incomplete image");
    }
    const std::wstring why = WindowsError(x.error);
    switch (x.failure) {
    case CUSBUpdate::kFailStalled:
        return finish(kExitStalled, L"the handheld stopped taking data: " +
                                        (x.headerFailed ? std::wstring(L"the header") : block) + L" was not taken within " +
                                        std::to_wstring(o.stallSeconds) +
                                        L" s; the link is closed and the handheld holds an incomplete image");
    case CUSBUpdate::kFailWrite:
        return finish(kExitRefused, x.headerFailed ? L"the handheld refused the header" + why
                                                   : L"the handheld refused " + block + why);
    case CUSBUpdate::kFailImageChanged:
        return finish(kExitImage, L"image " + imagePath + L": the file changed after it was checked; found before " +
                                      block + L" went out, and nothing more was written (the handheld holds an "
                                      L"incomplete image)");
    default:
        return finish(kExitImage, L"image " + imagePath + L": could not be read, at " + block + why);
    }
}

std::wstring ResultLine(const HandheldResult& r)
{
    wchar_t figures[96];
    std::swprintf(figures, 96, L" bytes=%lu duration=%.3fs sent=%d", static_cast<unsigned long>(r.bytes),
                  r.seconds, r.outcome.sent);
    std::wstring line = r.device + (r.code == kExitSuccess ? std::wstring(L" result=success")
                                                           : L" result=failed code=" + std::to_wstring(r.code));
    line += figures;
    if (!r.failure.empty()) line += L" " + Widen(r.failure);
    if (!r.why.empty()) line += L" (" + r.why + L")";
    return line;
}

void RoadThread::Start(Session& session, const std::shared_ptr<const StagedImage>& image,
                       const std::wstring& imagePath, const Options& o, bool recordBusy)
{
    m_thread.Start(
        [this, &session, image, imagePath, &o, recordBusy] {
            RoadTarget target;
            target.device = path;
            target.found = true;
            m_result = RunRoad(session, image, imagePath, target, o, counter, recordBusy);
            m_finished = true;
        },
        nullptr, 0);
}

const HandheldResult& RoadThread::Result()
{
    m_thread.Wait();
    return m_result;
}
