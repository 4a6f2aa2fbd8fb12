// EmulatedHandheld: starts, watches and stops tools/emuhandheld (emuhandheld.exe), the
// emulated handheld that the wizard's unchanged device lookup finds under Wine.
//
//   EmulatedHandheld device;                       // library emuctl
//   ASSERT_TRUE(device.Start(L"--mode wrong-byte")) << device.Error();
//   ... run the code under test: while the emulator runs, the handheld is plugged in ...
//   device.WaitForReport("closed", "1", 5000);     // the host closed the device
//   EmulatedHandheld::Report r = device.Stop();     // ends it and returns its final report
//   EXPECT_EQ(r["header_count"], "513");
//
// Start passes the given options on (see `emuhandheld --help`) and adds --report and
// --ready-file with files of its own in %TEMP%, then waits until the device is present.
// The report is a map of the emulator's key=value lines; every value is text. Stop asks
// the emulator to finish through its stop event, so the report it returns is the final
// one (finished=1); an emulator that does not end in time is terminated. The destructor
// stops a running emulator and deletes the temporary files; should the calling program
// end without that (a crash), the emulator ends with it, through a job object.
//
// emuhandheld.exe is looked for at the path in the environment variable EMUHANDHELD_EXE,
// else beside the calling program's own .exe: in CMake, emuhandheld_beside(<target>)
// copies it there after every build.
//
// Only one emulated handheld can be present at a time (the device name is shared by the
// whole Wine prefix): tests that use one should share the CTest resource lock
// "emulated_handheld". Not thread-safe: use one object from one thread.
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

#include "tools/emuhandheld/OwnedHandle.h"

class EmulatedHandheld {
public:
    using Report = std::map<std::string, std::string>;

    EmulatedHandheld();
    ~EmulatedHandheld();
    EmulatedHandheld(const EmulatedHandheld&) = delete;
    EmulatedHandheld& operator=(const EmulatedHandheld&) = delete;

    // Starts the emulator with these options and waits until the device is present.
    // False (see Error) when it cannot be started, ends early, or is not ready in time.
    bool Start(const std::wstring& options = L"", DWORD readyTimeoutMs = 20000);

    // Asks it to finish, waits up to timeoutMs for it to end (terminating it if need be)
    // and returns its last report. Does nothing but read the report if it has ended.
    Report Stop(DWORD timeoutMs = 10000);

    // Waits for it to end by itself (time limit, unplug); true when it has ended.
    bool WaitForExit(DWORD timeoutMs);

    bool Running() const;
    DWORD ExitCode() const;  // STILL_ACTIVE while running
    DWORD ProcessId() const { return m_pid; }

    // The report as it stands (empty before the first one is written).
    Report ReadReport() const;
    // Polls the report until key has this value or the time is up; true when it has.
    // *last, when given, receives the last report read.
    bool WaitForReport(const std::string& key, const std::string& value, DWORD timeoutMs, Report* last = nullptr) const;

    const std::wstring& Error() const { return m_error; }

    // Reads any report file of the emulator.
    static Report ParseReport(const std::wstring& path);

private:
    std::wstring FindExecutable() const;
    void Cleanup();

    std::wstring m_reportPath;
    std::wstring m_readyPath;
    std::wstring m_error;
    OwnedHandle m_job;  // ends the emulator when this process ends
    OwnedHandle m_process;
    DWORD m_pid = 0;
};

// Writes a sample image of `size` varied bytes (every value 0..255 occurs, in no simple
// order; `seed` picks the order) and returns the sum of its bytes modulo 2^32, as the
// handheld's header carries it. *ok, when given, tells whether the file was written whole.
uint32_t WriteSampleImage(const std::wstring& path, uint64_t size, uint32_t seed, bool* ok = nullptr);
