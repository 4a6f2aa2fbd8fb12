// Transfer benchmark. Flashes images through the shipped program's progress page to the
// emulated handheld in sink mode, driven by the robot, and through the flasher, and prints:
//  - the page's throughput against a bare loop of the same number of 512-byte WriteFile
//    calls to the same handheld (target: at least 0.95 of it);
//  - the flasher's throughput against the same loop (target: at least 0.97 of it);
//  - romflash --all to four handhelds, and to ten, against as many bare loops at once (target:
//    at least 0.9);
//  - the program's peak working set for a 1 MiB and a 1 GiB image (target: within 1 MiB),
//    romflash --all's to four handhelds for 1 MiB and a quarter of that image each, and
//    romflash --all's to ten handhelds against its peak for one (target: at most 8 MiB more);
//  - how the memory of a romflash --repeat line grows as handhelds come and go, per 1,000
//    plugs (target: flat, within the noise of a few KiB).
// All throughputs are measured by the handheld, from the first to the last byte it took.
//
//   transfer_bench --wizard=PATH [--flasher=PATH] [--mib=64] [--big-mib=1024] [--rounds=9]
//                  [--plugs=400] [--only=plugs]
#include <windows.h>
#include <psapi.h>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>
#include "framework/Handles.h"
#include "tools/robot/Console.h"
#include "tools/emuhandheld/EmulatedHandheld.h"
#include "tools/robot/Robot.h"
#include "tests/support/TestSupport.h"
#include "device/Transfer.h"
#include "device/USBUpdate.h"
#include "res/resource.h"

using robot::Page;

namespace {

std::wstring g_wizard;
std::wstring g_flasher;

bool MakeImage(const std::wstring& path, uint64_t size)
{
    bool ok = false;
    WriteSampleImage(path, size, 7, &ok);
    return ok;
}

double Seconds(EmulatedHandheld::Report& r)
{
    return (std::stod(r["data_last_ms"]) - std::stod(r["data_first_ms"])) / 1000.0;
}

// Waits for a page looking only every 5 s. Each look is a round of cross-process calls into
// the wizard, on the one processor the transfer has: the fewer, the less of the robot's own
// work is in the page's figure.
bool WaitQuietly(const robot::Wizard& w, Page page, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 5000) {
        if (w.VisiblePage() == page) return true;
        ::Sleep(5000);
    }
    return false;
}

struct PageRun {
    bool ok = false;
    double mibPerSecond = 0;
    long long longestGapMs = 0;  // the longest pause in the data the handheld saw
    SIZE_T peakWorkingSet = 0;
};

// One whole run of the wizard with the image, to the finish page.
PageRun ThroughThePage(const std::wstring& image, uint64_t size)
{
    PageRun run;
    EmulatedHandheld device;
    if (!device.Start(L"--sink --time-limit 1200")) {
        std::printf("emulated handheld: %ls\n", device.Error().c_str());
        return run;
    }
    robot::Wizard w;
    auto step = [&](int button, Page next) { return w.Press(button) && w.WaitForPage(next, 15000); };
    if (!w.Start(g_wizard) || !step(IDOK, Page::Reset) || !step(IDOK, Page::Select) || !w.Press(IDOK) ||
        !w.WaitForPage(Page::Image, 15000) || !w.Press(IDC_IMAGE_FILE) || !w.ChooseFile(image) ||
        !w.AnswerMessageBox(10 * 60 * 1000, true, IDYES) || !WaitQuietly(w, Page::End, 30 * 60 * 1000)) {
        std::printf("the wizard did not reach the finish page (visible: %s)\n", robot::PageName(w.VisiblePage()));
        return run;
    }
    PROCESS_MEMORY_COUNTERS pmc{sizeof pmc};
    if (::GetProcessMemoryInfo(w.Process(), &pmc, sizeof pmc)) run.peakWorkingSet = pmc.PeakWorkingSetSize;
    w.Press(IDOK);
    w.WaitForExit(10000);
    EmulatedHandheld::Report r = device.Stop();
    run.ok = r["header_count"] == std::to_string(size & 0xFFFFFFFFu) && r["blocks"] == std::to_string(size / 512 + 1);
    run.mibPerSecond = (static_cast<double>(size) / (1 << 20)) / Seconds(r);
    run.longestGapMs = std::stoll("0" + r["data_longest_gap_ms"]);
    return run;
}

// One whole run of the flasher with the image, its progress going nowhere.
double ThroughTheFlasher(const std::wstring& image, uint64_t size)
{
    EmulatedHandheld device;
    if (!device.Start(L"--sink --time-limit 1200")) return 0;
    const robot::ConsoleResult result = robot::RunConsole(g_flasher, L"--wait 10 \"" + image + L"\"", 30 * 60 * 1000);
    EmulatedHandheld::Report r = device.Stop();
    if (result.exitCode != 0 || r["blocks"] != std::to_string(size / 512 + 1)) {
        std::printf("the flasher's transfer was incomplete (exit code %lu): %s\n", result.exitCode, result.err.c_str());
        return 0;
    }
    return (static_cast<double>(size) / (1 << 20)) / Seconds(r);
}

// The same number of 512-byte writes, after the same handshake and header, in a bare loop:
// plain blocking writes on a handle of its own, nothing else.
bool BareWrites(const std::string& path, uint64_t size)
{
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BYTE answer[16];
    DWORD done = 0;
    ::ReadFile(h, answer, 16, &done, nullptr);
    ::ReadFile(h, answer, 16, &done, nullptr);
    const uint32_t header[2] = {static_cast<uint32_t>(size), 0};
    ::WriteFile(h, &header[0], 4, &done, nullptr);
    ::WriteFile(h, &header[1], 4, &done, nullptr);
    std::vector<BYTE> block(512, 0x5A);
    bool ok = true;
    for (uint64_t i = 0; ok && i < size / 512 + 1; ++i) ok = ::WriteFile(h, block.data(), 512, &done, nullptr) != 0;
    ::CloseHandle(h);
    return ok;
}

double BareLoop(uint64_t size)
{
    EmulatedHandheld device;
    if (!device.Start(L"--sink --time-limit 1200")) return 0;
    const std::vector<std::string> present = CUSBUpdate::LookUp().paths;
    if (present.empty() || !BareWrites(present[0], size)) return 0;
    EmulatedHandheld::Report r = device.Stop();
    return (static_cast<double>(size) / (1 << 20)) / Seconds(r);
}

// The engine's own loop (staging, header, SendBlock) in this process, with no page around it:
// tells the cost of the page apart from the cost of reading the image.
double EngineLoop(const std::wstring& image, uint64_t size)
{
    EmulatedHandheld device;
    if (!device.Start(L"--sink --time-limit 1200")) return 0;
    CUSBUpdate link;
    if (link.Connect() != CUSBUpdate::kReady) return 0;
    TransferObserver quiet;
    if (!RunTransfer(link, image, quiet).Succeeded()) return 0;
    EmulatedHandheld::Report r = device.Stop();
    return (static_cast<double>(size) / (1 << 20)) / Seconds(r);
}

double Median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Best(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

// Several handhelds at once: their data in MiB/s together, over the longest of their
// transfers (each handheld times its own, from its first to its last byte).
using Handhelds = std::vector<std::unique_ptr<EmulatedHandheld>>;

double Together(Handhelds& devices, uint64_t size, bool* ok)
{
    double longest = 0;
    for (auto& device : devices) {
        EmulatedHandheld::Report r = device->Stop();
        *ok = *ok && r["blocks"] == std::to_string(size / 512 + 1);
        longest = std::max(longest, Seconds(r));
    }
    return longest > 0 ? devices.size() * (static_cast<double>(size) / (1 << 20)) / longest : 0;
}

bool StartHandhelds(Handhelds& devices, int n)
{
    for (int i = 0; i < n; ++i) {
        devices.push_back(std::make_unique<EmulatedHandheld>());
        if (!devices.back()->Start(L"--sink --time-limit 1200 --instance " + std::to_wstring(i))) return false;
    }
    return true;
}

// The flasher's --all against n handhelds; *peak gets its peak working set.
double FlasherAll(const std::wstring& image, uint64_t size, int n, SIZE_T* peak = nullptr)
{
    Handhelds devices;
    if (!StartHandhelds(devices, n)) return 0;
    // Its memory is looked at only when asked for: the looks are no part of a speed round.
    robot::ConsoleProgram flasher;
    if (peak) flasher.WatchMemory();
    if (!flasher.Start(g_flasher, L"--all --count " + std::to_wstring(n) + L" --wait 10 \"" + image + L"\"")) return 0;
    const robot::ConsoleResult result = flasher.Wait(30 * 60 * 1000);
    if (peak) *peak = result.peakWorkingSet;
    bool ok = result.exitCode == 0;
    const double speed = Together(devices, size, &ok);
    return ok ? speed : 0;
}

// n bare loops at once, one thread and handle each, one per handheld.
double BareLoops(uint64_t size, int n)
{
    Handhelds devices;
    if (!StartHandhelds(devices, n)) return 0;
    const std::vector<std::string> present = CUSBUpdate::LookUp().paths;
    if (present.size() != static_cast<size_t>(n)) return 0;
    struct Loop {
        std::string path;
        uint64_t size;
        static DWORD WINAPI Run(LPVOID p)
        {
            const Loop* self = static_cast<Loop*>(p);
            return BareWrites(self->path, self->size) ? 0 : 1;
        }
    };
    std::vector<Loop> loops(n);
    std::vector<HANDLE> threads(n);
    for (int i = 0; i < n; ++i) {
        loops[i] = {present[i], size};
        threads[i] = ::CreateThread(nullptr, 0, &Loop::Run, &loops[i], 0, nullptr);
    }
    ::WaitForMultipleObjects(static_cast<DWORD>(n), threads.data(), TRUE, INFINITE);
    for (HANDLE t : threads) ::CloseHandle(t);
    bool ok = true;
    const double speed = Together(devices, size, &ok);
    return ok ? speed : 0;
}

// --all to n handhelds, `each` bytes apiece, against n bare loops at once, back to back in
// each of `rounds` rounds as for one handheld. False when a transfer was incomplete.
bool CompareAll(const std::wstring& image, uint64_t each, int n, int rounds)
{
    if (!MakeImage(image, each)) return false;
    std::vector<double> alls, allRatios;
    bool ok = true;
    double before = BareLoops(each, n);
    for (int round = 0; round < rounds; ++round) {
        const double a = FlasherAll(image, each, n);
        const double after = BareLoops(each, n);
        const double b = (before + after) / 2;
        before = after;
        std::printf("  round %d: --all %.2f MiB/s, %d bare loops %.2f MiB/s\n", round + 1, a, n, b);
        ok = ok && a > 0 && b > 0;
        if (b > 0) allRatios.push_back(a / b);
        alls.push_back(a);
    }
    std::printf("%d handhelds: %llu MiB each, %d rounds\n", n, static_cast<unsigned long long>(each >> 20), rounds);
    std::printf("  romflash --all: %8.2f MiB/s together (median)\n", Median(alls));
    std::printf("  --all ratio:   %8.3f (--all / %d bare loops at once, median of the rounds' ratios; target >= 0.9)\n",
                Median(allRatios), n);
    return ok;
}

// A --repeat line's memory as handhelds come and go: read once it has settled (after `warm`
// plugs) and again after `plugs` more, each plug written before it is unplugged, ten device
// paths in turn as on a bench. The growth per 1,000 plugs in KiB, of the working set and of
// the private bytes; false when a plug was not written.
bool RepeatLineGrowth(const std::wstring& image, int warm, int plugs, double* workingSetKiB, double* privateKiB)
{
    robot::ConsoleProgram line;
    if (!line.Start(g_flasher, L"--repeat \"" + image + L"\"")) return false;
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, line.ProcessId()));
    auto memory = [&](SIZE_T* workingSet, SIZE_T* privateBytes) {
        ::Sleep(1000);  // the last road's thread has gone
        PROCESS_MEMORY_COUNTERS pmc{sizeof pmc};
        const bool read = ::GetProcessMemoryInfo(process.get(), &pmc, sizeof pmc) != 0;
        *workingSet = pmc.WorkingSetSize;
        *privateBytes = pmc.PagefileUsage;
        return read;
    };
    int plugged = 0;
    auto plug = [&](int n) {
        for (int i = 0; i < n; ++i, ++plugged) {
            EmulatedHandheld device;
            if (!device.Start(L"--instance " + std::to_wstring(plugged % 10)) ||
                !device.WaitForReport("match", "1", 30000))
                return false;
        }
        return true;
    };
    SIZE_T ws0 = 0, pb0 = 0, ws1 = 0, pb1 = 0;
    const bool ok = process && plug(warm) && memory(&ws0, &pb0) && plug(plugs) && memory(&ws1, &pb1);
    line.PressCtrlC();
    line.Wait(20000);
    *workingSetKiB = (static_cast<double>(ws1) - static_cast<double>(ws0)) / 1024 * 1000 / plugs;
    *privateKiB = (static_cast<double>(pb1) - static_cast<double>(pb0)) / 1024 * 1000 / plugs;
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    uint64_t mib = 64, bigMib = 1024;
    int rounds = 9, plugs = 400;
    bool plugsOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (const wchar_t* path = OptionValue(argv[i], L"--wizard=")) g_wizard = path;
        if (const wchar_t* path = OptionValue(argv[i], L"--flasher=")) g_flasher = path;
        if (const wchar_t* n = OptionValue(argv[i], L"--mib=")) mib = std::wcstoull(n, nullptr, 10);
        if (const wchar_t* n = OptionValue(argv[i], L"--big-mib=")) bigMib = std::wcstoull(n, nullptr, 10);
        if (const wchar_t* n = OptionValue(argv[i], L"--rounds="))
            rounds = static_cast<int>(std::wcstol(n, nullptr, 10));
        if (const wchar_t* n = OptionValue(argv[i], L"--plugs=")) plugs = static_cast<int>(std::wcstol(n, nullptr, 10));
        if (const wchar_t* what = OptionValue(argv[i], L"--only=")) plugsOnly = std::wstring(what) == L"plugs";
    }
    if (g_wizard.empty()) {
        std::fprintf(stderr,
                     "usage: transfer_bench --wizard=PATH [--flasher=PATH] [--mib=64] [--big-mib=1024] [--rounds=9]\n");
        return 2;
    }

    const std::wstring image = TempPath(L"bench-image.bin");
    if (!g_flasher.empty() && plugs > 0) {
        double workingSet = 0, privateBytes = 0;
        if (!MakeImage(image, 30000)) return 1;
        const bool plugsOk = RepeatLineGrowth(image, 50, plugs, &workingSet, &privateBytes);
        std::printf("memory: a romflash --repeat line, %d plugs after 50 to settle%s\n", plugs,
                    plugsOk ? "" : "  (A PLUG WAS NOT WRITTEN)");
        std::printf("  growth per 1,000 plugs: working set %+8.1f KiB, private bytes %+8.1f KiB (target: flat)\n",
                    workingSet, privateBytes);
        if (!plugsOk) return 1;
    }
    if (plugsOnly) return 0;

    const uint64_t size = mib << 20;
    if (!MakeImage(image, size)) return 1;
    // Rounds of all four, back to back. Under Wine every block write is a round trip through
    // the wine server, and the machine's pace drifts from minute to minute: each round's ratio
    // compares the page and the flasher with the bare loops run just before and just after
    // them (the mean of the two), and the median of those ratios is the figure that holds
    // still from one benchmark to the next. The medians of the speeds are shown beside.
    std::vector<double> pages, bares, engines, flashers, pageRatios, flasherRatios;
    long long longestGapMs = 0;
    bool ok = true;
    double bareBefore = BareLoop(size);
    for (int round = 0; round < rounds; ++round) {
        PageRun p = ThroughThePage(image, size);
        double e = EngineLoop(image, size);
        double f = g_flasher.empty() ? 0 : ThroughTheFlasher(image, size);
        const double bareAfter = BareLoop(size);
        const double b = (bareBefore + bareAfter) / 2;
        bareBefore = bareAfter;
        std::printf("  round %d: page %.2f MiB/s, bare loop %.2f MiB/s, engine loop %.2f MiB/s", round + 1,
                    p.mibPerSecond, b, e);
        if (!g_flasher.empty()) std::printf(", flasher %.2f MiB/s", f);
        std::printf("\n");
        ok = ok && p.ok && (g_flasher.empty() || f > 0);
        if (b > 0) {
            pageRatios.push_back(p.mibPerSecond / b);
            flasherRatios.push_back(f / b);
        }
        longestGapMs = std::max(longestGapMs, p.longestGapMs);
        pages.push_back(p.mibPerSecond);
        bares.push_back(b);
        engines.push_back(e);
        flashers.push_back(f);
    }
    if (!ok) {
        std::printf("  a transfer through the page or the flasher was incomplete\n");
        return 1;
    }
    const double page = Median(pages), bare = Median(bares), engine = Median(engines);
    std::printf("speed: %llu MiB image, %llu block writes, %d rounds (median, best)\n",
                static_cast<unsigned long long>(mib), static_cast<unsigned long long>(size / 512 + 1), rounds);
    std::printf("  progress page: %8.2f %8.2f MiB/s\n", page, Best(pages));
    std::printf("  bare loop:     %8.2f %8.2f MiB/s\n", bare, Best(bares));
    std::printf("  engine loop:   %8.2f %8.2f MiB/s (the same routine without the page)\n", engine, Best(engines));
    if (!g_flasher.empty()) std::printf("  flasher:       %8.2f %8.2f MiB/s\n", Median(flashers), Best(flashers));
    std::printf("  ratio:         %8.3f (progress page / bare loop, median of the rounds' ratios; target >= 0.95)\n",
                Median(pageRatios));
    if (!g_flasher.empty())
        std::printf("  flasher ratio: %8.3f (flasher / bare loop, median of the rounds' ratios; target >= 0.97)\n",
                    Median(flasherRatios));
    std::printf("  longest pause in the data during a page run: %lld ms\n", longestGapMs);

    if (!g_flasher.empty()) {
        // Four handhelds at once, 16 MiB each, then a bench's ten, 8 MiB each.
        ok = CompareAll(image, 16u << 20, 4, 5) && ok;
        ok = CompareAll(image, 8u << 20, 10, 5) && ok;
    }

    std::printf("memory: peak working set of the program\n");
    for (uint64_t m : {uint64_t{1}, bigMib}) {
        if (!MakeImage(image, m << 20)) return 1;
        PageRun run = ThroughThePage(image, m << 20);
        ok = ok && run.ok;
        std::printf("  %5llu MiB image: %8.1f MiB peak working set%s\n", static_cast<unsigned long long>(m),
                    static_cast<double>(run.peakWorkingSet) / (1 << 20), run.ok ? "" : "  (TRANSFER INCOMPLETE)");
    }
    if (!g_flasher.empty()) {
        // romflash --all to four handhelds: the image is staged once and each link reads it
        // through a buffer of its own, so the big image costs no more than the small one.
        for (uint64_t m : {uint64_t{1}, std::max<uint64_t>(1, bigMib / 4)}) {
            if (!MakeImage(image, m << 20)) return 1;
            SIZE_T peak = 0;
            const bool allOk = FlasherAll(image, m << 20, 4, &peak) > 0;
            ok = ok && allOk;
            std::printf("  %5llu MiB image, romflash --all to 4: %8.1f MiB peak working set%s\n",
                        static_cast<unsigned long long>(m), static_cast<double>(peak) / (1 << 20),
                        allOk ? "" : "  (TRANSFER INCOMPLETE)");
        }
        // A bench's ten handhelds against one, with the same 16 MiB image: each link adds its
        // thread and its piece of the image, nothing in proportion to the image.
        if (!MakeImage(image, 16u << 20)) return 1;
        SIZE_T peaks[2] = {0, 0};
        const int counts[2] = {1, 10};
        for (int i = 0; i < 2; ++i) {
            const bool allOk = FlasherAll(image, 16u << 20, counts[i], &peaks[i]) > 0;
            ok = ok && allOk;
            std::printf("     16 MiB image, romflash --all to %d: %8.1f MiB peak working set%s\n", counts[i],
                        static_cast<double>(peaks[i]) / (1 << 20), allOk ? "" : "  (TRANSFER INCOMPLETE)");
        }
        std::printf("  ten handhelds cost %.1f MiB more than one (target <= 8)\n",
                    (static_cast<double>(peaks[1]) - static_cast<double>(peaks[0])) / (1 << 20));
    }
    ::DeleteFileW(image.c_str());
    return ok ? 0 : 1;
}
