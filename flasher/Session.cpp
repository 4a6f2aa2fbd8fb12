#include "flasher/Session.h"

#include "flasher/Console.h"
#include "flasher/Options.h"
#include "log/CrashRecord.h"

#include <cstdio>
#include <cwchar>

namespace {

// The run's one session, for the handlers that Windows calls on threads of its own.
Session* g_session = nullptr;

}  // namespace

Session::Session()
    : m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_done(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    ::InitializeCriticalSection(&m_holdLock);
    ::InitializeCriticalSection(&m_countLock);
    ::InitializeCriticalSection(&m_logLock);
    g_session = this;
    ::SetConsoleCtrlHandler(&Session::OnConsoleControl, TRUE);
    m_sessionEnd.reset(new SessionEnd(&Session::OnSessionEnd));
}

Session::~Session()
{
    ::SetEvent(m_done.get());
    ::SetConsoleCtrlHandler(&Session::OnConsoleControl, FALSE);
    m_sessionEnd.reset();
    g_session = nullptr;
    ::DeleteCriticalSection(&m_holdLock);
    ::DeleteCriticalSection(&m_countLock);
    ::DeleteCriticalSection(&m_logLock);
}

BOOL WINAPI Session::OnConsoleControl(DWORD event)
{
    Session* self = g_session;
    if (!self) return FALSE;
    if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && self->m_drainFirst && !self->m_draining.exchange(true))
        return TRUE;
    const char* cause = nullptr;
    switch (event) {
    case CTRL_C_EVENT: cause = "ctrl-c"; break;
    case CTRL_BREAK_EVENT: cause = "ctrl-break"; break;
    case CTRL_CLOSE_EVENT: cause = "console-closed"; break;
    case CTRL_LOGOFF_EVENT: cause = "logoff"; break;
    case CTRL_SHUTDOWN_EVENT: cause = "shutdown"; break;
    default: return FALSE;
    }
    self->StopFor(cause, event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT);
    return TRUE;
}

void Session::OnSessionEnd(const char* cause)
{
    if (Session* self = g_session) self->StopFor(cause, true);
}

void Session::StopFor(const char* cause, bool ending)
{
    const char* none = nullptr;
    m_cause.compare_exchange_strong(none, cause);
    ::SetEvent(m_stop.get());
    // Windows gives a closing console five seconds; the records come well within that.
    if (ending) ::WaitForSingleObject(m_done.get(), 4000);
}

UpgradeOutcome Session::Conclude(UpgradeAttempt& attempt)
{
    if (attempt.interrupted) attempt.stopCause = m_cause.load();
    attempt.checked = m_checked;
    if (attempt.signer.empty()) attempt.signer = m_signer;
    return ::Conclude(attempt);
}

void Session::Record(const UpgradeOutcome& outcome)
{
    ::EnterCriticalSection(&m_countLock);
    ++(outcome.result == "success"       ? m_tally.success
       : outcome.result == "interrupted" ? m_tally.interrupted
       : outcome.result == "skipped"     ? m_tally.skipped
                                         : m_tally.failed);
    if (m_json) Write(STD_OUTPUT_HANDLE, FromUtf8(FormatUpgradeJson(outcome)) + L"\r\n");
    ::LeaveCriticalSection(&m_countLock);
    if (outcome.result == "skipped") return;  // another program's handheld: not ours to record
    ::EnterCriticalSection(&m_logLock);
    const RecordWritten w = LogUpgrade(outcome, m_destination);
    const std::wstring local = UpgradeLogFolder().empty() ? L"" : UpgradeLogFolder() + L"\\upgrade.log";
    if (!m_destination.shared.empty() && w.shared == m_sharedDown) {
        m_sharedDown = !w.shared;
        if (m_sharedDown)
            Complain(L"the log folder " + m_destination.shared + L" cannot be reached" + WindowsError(w.sharedError) +
                     L": the records go to " + (local.empty() ? L"the local log" : local) + L" until it can");
        else
            Complain(L"the log folder " + m_destination.shared + L" can be reached again: the records go to " +
                     m_destination.SharedLog() + L" again");
    }
    if (!w.Written() && !m_logFailed) {
        m_logFailed = true;
        std::wstring reason = WindowsError(w.error);
        if (!reason.empty()) reason = reason.substr(2, reason.size() - 3);  // without " (" and ")"
        Complain(L"the upgrade log could not be written: " + reason +
                 (local.empty() ? std::wstring(L", no folder for it") : L", at " + local));
    }
    ::LeaveCriticalSection(&m_logLock);
}

void Session::SetLogDestination(const LogDestination& destination)
{
    m_destination = destination;
    SetCrashLogDestination(destination);
    if (!destination.problem.empty())
        Complain(destination.problem + L": the records stay on this PC, in " + UpgradeLogFolder() + L"\\upgrade.log");
}

void Session::Summary(int exitCode)
{
    if (!m_json) return;
    ::EnterCriticalSection(&m_countLock);
    const Tally tally = m_tally;
    ::LeaveCriticalSection(&m_countLock);
    Write(STD_OUTPUT_HANDLE, SummaryLine(tally, exitCode));
}

std::wstring Session::SummaryLine(const Tally& t, int exitCode)
{
    wchar_t line[192];
    std::swprintf(line, 192,
                  L"{\"summary\":true,\"success\":%lu,\"failed\":%lu,\"interrupted\":%lu,\"skipped\":%lu,\"exit\":%d}\r\n",
                  t.success, t.failed, t.interrupted, t.skipped, exitCode);
    return line;
}

int ExitCodeOf(const UpgradeOutcome& o)
{
    if (o.result == "success") return kExitSuccess;
    if (o.result == "interrupted") return kExitInterrupted;
    if (o.step == "power") return kExitBattery;
    if (o.step == "image") return kExitImage;
    if (o.step == "handshake") {
        if (o.reason == "wrong-answer" || o.reason == "timeout") return kExitWrongAnswer;
        if (o.reason == "not-ours") return kExitNotOurs;
        if (o.reason == "lookup-failed") return kExitLookupFailed;
        return kExitNoHandheld;
    }
    if (o.reason == "stalled") return kExitStalled;
    if (o.reason == "unplugged") return kExitUnplugged;
    if (o.reason == "write-refused") return kExitRefused;
    return kExitImage;  // read again while sending: changed or unreadable
}

void Session::TransfersChanged(int by)
{
    ::EnterCriticalSection(&m_holdLock);
    const int before = m_transfers;
    m_transfers += by;
    if ((before == 0) != (m_transfers == 0) && m_sessionEnd) m_sessionEnd->Hold(m_transfers > 0);
    ::LeaveCriticalSection(&m_holdLock);
}

Session::Transfer::Transfer(Session& session) : m_session(session) { m_session.TransfersChanged(+1); }

Session::Transfer::~Transfer() { m_session.TransfersChanged(-1); }
