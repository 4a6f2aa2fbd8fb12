#include "Transfer.h"

TransferOutcome RunTransfer(CUSBUpdate& link, const CString& imagePath, TransferObserver& observer)
{
    TransferOutcome outcome;
    link.OpenImage(imagePath);
    outcome.staged = link.m_pImageFile != nullptr;
    outcome.blockCount = link.m_nBlockCount;
    observer.OnStaged(outcome.blockCount);
    // A handheld that lost the header would read the first block as one: no block goes
    // out unless both header words were taken.
    if (outcome.staged && link.SendHeader()) {
        while (link.SendBlock() == 1) observer.OnBlockSent(++outcome.sent, outcome.blockCount);
    }
    link.Close();
    return outcome;
}
