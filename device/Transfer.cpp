#include "device/Transfer.h"

namespace {

double Now()
{
    LARGE_INTEGER count, frequency;
    ::QueryPerformanceCounter(&count);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The header, then blocks until the engine has no more to send or the observer asks to stop.
void SendHeaderAndBlocks(CUSBUpdate& link, TransferObserver& observer, TransferOutcome& outcome)
{
    if (observer.StopRequested()) {
        outcome.stopped = true;
        return;
    }
    const double start = Now();
    // A handheld that lost the header would read the first block as one: no block goes out
    // unless both header words were taken.
    outcome.headerSent = link.SendHeader() && link.m_nFailure == CUSBUpdate::kFailNone;
    if (!outcome.headerSent) {
        // The stop event ended the wait on a header word: a stop, not a refusal.
        outcome.stopped = link.m_nFailure == CUSBUpdate::kFailStopped;
        outcome.headerFailed = !outcome.stopped;
        outcome.failure = link.m_nFailure;
        outcome.error = link.m_dwError;
        outcome.seconds = Now() - start;
        return;
    }
    for (;;) {
        if (observer.StopRequested()) {
            outcome.stopped = true;
            break;
        }
        if (link.SendBlock() != 1) break;
        observer.OnBlockSent(++outcome.sent, outcome.blockCount);
    }
    outcome.seconds = Now() - start;
    // Likewise when it ended the wait on a block.
    if (link.m_nFailure == CUSBUpdate::kFailStopped) outcome.stopped = true;
    if (!outcome.stopped && !outcome.Succeeded()) {
        outcome.failure = link.m_nFailure;
        outcome.error = link.m_dwError;
    }
}

}  // namespace

TransferOutcome RunTransfer(CUSBUpdate& link, const CString& imagePath, TransferObserver& observer)
{
    link.OpenImage(imagePath);
    return SendStagedImage(link, observer);
}

TransferOutcome SendStagedImage(CUSBUpdate& link, TransferObserver& observer)
{
    TransferOutcome outcome;
    outcome.staged = link.HasImage();
    outcome.blockCount = link.m_nBlockCount;
    observer.OnStaged(outcome.blockCount);
    if (outcome.staged) {
        SendHeaderAndBlocks(link, observer, outcome);
    } else {
        outcome.failure = link.m_nFailure;
        outcome.error = link.m_dwError;
    }
    link.Close();
    return outcome;
}
