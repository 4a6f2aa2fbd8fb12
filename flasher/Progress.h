// How the transfers go, as they go: the line of one handheld's blocks, and the count that
// each handheld of --all and --repeat keeps for the line of them all.
#pragma once
#include <atomic>

#include "device/Transfer.h"
#include "flasher/Console.h"
#include "flasher/Session.h"

// Blocks, percent, speed and time left of one handheld, on standard error.
class ProgressLine : public TransferObserver {
public:
    explicit ProgressLine(const Session& session) : m_session(session) {}
    void OnStaged(int blockCount) override;
    void OnBlockSent(int sent, int blockCount) override;
    bool StopRequested() override { return m_session.StopRequested(); }
    // The last state, and the end of the line a console was drawing on.
    void Finish();

private:
    void Draw(bool now);

    const Session& m_session;
    StatusLine m_line;
    int m_writes = 1, m_sent = 0;
    DWORD m_start = 0;
};

// The blocks one handheld has taken so far, for another thread to read.
class BlockCounter : public TransferObserver {
public:
    explicit BlockCounter(const Session& session) : m_session(session) {}
    void OnBlockSent(int sent, int) override { m_sent.store(sent, std::memory_order_relaxed); }
    bool StopRequested() override { return m_session.StopRequested(); }
    int Sent() const { return m_sent.load(std::memory_order_relaxed); }

private:
    const Session& m_session;
    std::atomic<int> m_sent{0};
};
