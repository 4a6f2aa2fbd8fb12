// One image transfer over an open link: stage the image, send the header and the blocks
// until the engine has no more to send, close the link. The progress page runs it with its
// bar and status text; the flasher and the fault runner run it without a page. Success
// means every block went out.
#pragma once
#include "device/USBUpdate.h"

class TransferObserver {
public:
    virtual ~TransferObserver() = default;
    virtual void OnStaged(int /*blockCount*/) {}
    virtual void OnBlockSent(int /*sent*/, int /*blockCount*/) {}
    // Asked before the header and before every block: true ends the transfer there, with
    // nothing more sent.
    virtual bool StopRequested() { return false; }
};

struct TransferOutcome {
    bool staged = false;        // the image could be opened and counted
    int blockCount = 0;         // whole 512-byte blocks in the image
    int sent = 0;               // block writes that succeeded
    bool headerSent = false;    // both header writes were taken
    bool headerFailed = false;  // a header write was refused
    bool stopped = false;       // the observer asked to stop
    // The engine's account of the first failure (CUSBUpdate::Failure) and its Windows error.
    int failure = CUSBUpdate::kFailNone;
    DWORD error = 0;
    double seconds = 0;  // from the header to the end of the last block
    // Blocks go out as blockCount + 1 writes; anything less is a failure.
    bool Succeeded() const { return staged && sent == blockCount + 1; }
};

// Nothing is written unless the image was staged: no header, no block. No block is
// written unless the handheld took the whole header.
TransferOutcome RunTransfer(CUSBUpdate& link, const CString& imagePath, TransferObserver& observer);
// The same for an image the caller has staged already (OpenImage) on this link.
TransferOutcome SendStagedImage(CUSBUpdate& link, TransferObserver& observer);
