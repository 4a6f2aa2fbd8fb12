// The session around a romflash run that flashes, whatever its mode: how the run is stopped,
// how the PC is kept from sleeping and the Windows session from ending while a transfer runs,
// and how each attempt is recorded before the process may end.
//
// A stop comes from Ctrl+C, Ctrl+Break, the console closing (on the console's own thread), or
// the end of the Windows session (on a hidden window's thread). It sets the stop event, which
// ends every wait of every link at once; the records are written before the process ends.
#pragma once
#include <windows.h>
#include <atomic>
#include <memory>
#include <string>

#include "power/KeepAwake.h"
#include "log/UpgradeLog.h"
#include "flasher/SessionEnd.h"
#include "framework/Handles.h"

class Session {
public:
    Session();
    // The run is over and its records written: an end of the Windows session waiting for
    // them goes on.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    HANDLE StopEvent() const { return m_stop.get(); }
    bool StopRequested() const { return m_cause.load(std::memory_order_relaxed) != nullptr; }
    // --repeat, once the image is staged: the first Ctrl+C or Ctrl+Break takes no new
    // handhelds and lets those in progress finish; a second one stops them.
    void DrainOnFirstCtrlC() { m_drainFirst = true; }
    bool Draining() const { return m_draining; }

    // The attempt made whole, with what stopped it if it was interrupted and what vouched
    // for the image.
    UpgradeOutcome Conclude(UpgradeAttempt& attempt);
    // Where the records go, for the rest of the run (a crash's record too); a policy's folder
    // that cannot be used is said now.
    void SetLogDestination(const LogDestination& destination);
    // Writes the outcome's record (not for one skipped), prints it as JSON with --json, and
    // counts it for the run's summary. On standard error: the first record of the run that
    // cannot be written, and the shared log folder each time it can no longer be reached and
    // each time it can be again.
    void Record(const UpgradeOutcome& outcome);
    // With --json: each outcome as a JSON object on a line of standard output, and at the end
    // the run's summary (Summary).
    void PrintJson(bool json) { m_json = json; }
    // How many of each result.
    struct Tally {
        unsigned long success = 0, failed = 0, interrupted = 0, skipped = 0;
    };
    // The summary object: how many of each result, and the exit code (with --json).
    void Summary(int exitCode);
    // Its line, as JSON gives it.
    static std::wstring SummaryLine(const Tally& tally, int exitCode);
    // What vouched for the image ("signature", "sha256-file", "none"), once it is staged.
    void SetChecked(const char* checked) { m_checked = checked; }
    // The signer's thumbprint, for the records (see UpgradeAttempt::signer).
    void SetSigner(const std::string& thumbprint) { m_signer = thumbprint; }

    // While one lives: the thread that made it keeps the PC awake, and Windows is asked not
    // to end the session (the reason shown from Vista on).
    class Transfer {
    public:
        explicit Transfer(Session& session);
        ~Transfer();
        Transfer(const Transfer&) = delete;
        Transfer& operator=(const Transfer&) = delete;

    private:
        Session& m_session;
        KeepAwake m_awake;
    };

private:
    static BOOL WINAPI OnConsoleControl(DWORD event);
    static void OnSessionEnd(const char* cause);
    // `ending`: the process ends once this returns, so the records are waited for first.
    void StopFor(const char* cause, bool ending);
    void TransfersChanged(int by);

    UniqueHandle m_stop, m_done;
    std::atomic<const char*> m_cause{nullptr};
    std::atomic<bool> m_drainFirst{false}, m_draining{false};
    CRITICAL_SECTION m_logLock;
    LogDestination m_destination;
    bool m_logFailed = false, m_sharedDown = false;
    CRITICAL_SECTION m_holdLock;
    int m_transfers = 0;
    std::unique_ptr<SessionEnd> m_sessionEnd;
    const char* m_checked = "none";
    std::string m_signer;
    bool m_json = false;
    CRITICAL_SECTION m_countLock;
    Tally m_tally;
};

// romflash's exit code for an outcome (the README's table).
int ExitCodeOf(const UpgradeOutcome& outcome);
