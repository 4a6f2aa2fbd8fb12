// One image transfer over an open link: stage the image, send the header and the blocks
// until the engine has no more to send, close the link. The progress page runs it with its
// bar and status text; the fault runner runs it bare. Success means every block went out.
#pragma once
#include "USBUpdate.h"

class TransferObserver {
public:
    virtual ~TransferObserver() = default;
    virtual void OnStaged(int /*blockCount*/) {}
    virtual void OnBlockSent(int /*sent*/, int /*blockCount*/) {}
};

struct TransferOutcome {
    bool staged = false;  // the image could be opened and counted
    int blockCount = 0;   // whole 512-byte blocks in the image
    int sent = 0;         // block writes that succeeded
    // Blocks go out as blockCount + 1 writes; anything less is a failure.
    bool Succeeded() const { return staged && sent == blockCount + 1; }
};

// Nothing is written unless the image was staged: no header, no block. No block is
// written unless the handheld took the whole header.
TransferOutcome RunTransfer(CUSBUpdate& link, const CString& imagePath, TransferObserver& observer);
