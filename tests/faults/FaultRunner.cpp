// Randomised fault injection: images of random sizes flashed to the emulated handheld under
// random faults, each run checked against what the handheld saw. Seeded and reproducible:
//
//   fault_runner [--runs=N] [--seed=S] [--flasher=PATH-TO-romflash.exe] [gtest options]
//
// With --flasher every other run goes through romflash instead of the engine in this process,
// and its exit code must name the fault.
// Sizes run from 0 to 2 MiB, with multiples of 512 and their neighbours drawn often. The
// faults: none, a refused block, unplugging after a block, a wrong, short or empty second
// handshake answer, silence then unplugging, a refused header.
#include <gtest/gtest.h>
#include <cstdio>
#include <cwchar>
#include <map>
#include <random>
#include <string>
#include "tools/robot/Console.h"
#include "tests/engine/Support.h"
#include "tests/support/TestSupport.h"
#include "device/Transfer.h"
#include "device/USBUpdate.h"

namespace {

int g_runs = 40;
uint32_t g_seed = 20261207;
std::wstring g_flasher;

enum class Fault {
    None,
    RefuseBlock,
    UnplugAfterBlock,
    WrongByte,
    ShortSecond,
    FailSecond,
    SilentThenUnplug,
    RefuseHeader,
    Stall
};
constexpr Fault kFaults[] = {Fault::None,        Fault::RefuseBlock, Fault::UnplugAfterBlock, Fault::WrongByte,
                             Fault::ShortSecond, Fault::FailSecond,  Fault::SilentThenUnplug, Fault::RefuseHeader,
                             Fault::Stall};

const char* Name(Fault f)
{
    switch (f) {
    case Fault::None: return "none";
    case Fault::RefuseBlock: return "refuse-block";
    case Fault::UnplugAfterBlock: return "unplug-after-block";
    case Fault::WrongByte: return "wrong-byte";
    case Fault::ShortSecond: return "short-second";
    case Fault::FailSecond: return "fail-second";
    case Fault::SilentThenUnplug: return "silent-then-unplug";
    case Fault::RefuseHeader: return "refuse-header";
    case Fault::Stall: return "stall";
    }
    return "?";
}

struct Plan {
    size_t size;
    Fault fault;
    uint32_t block;  // for the block faults
    std::wstring Options() const
    {
        switch (fault) {
        case Fault::None: return L"";
        case Fault::RefuseBlock: return L"--refuse-block " + std::to_wstring(block);
        case Fault::UnplugAfterBlock: return L"--unplug-after-block " + std::to_wstring(block);
        case Fault::WrongByte: return L"--mode wrong-byte --wrong-byte-at " + std::to_wstring(block % 16);
        case Fault::ShortSecond: return L"--mode short-second";
        case Fault::FailSecond: return L"--mode fail-second";
        case Fault::SilentThenUnplug: return L"--mode silent --unplug-after-ms 200";
        case Fault::RefuseHeader: return L"--refuse-header";
        // A handheld that takes no data for a while (an erase) and then goes on: no fault at all.
        case Fault::Stall: return L"--stall-after-block " + std::to_wstring(block) + L" --stall-ms 300";
        }
        return L"";
    }
};

Plan Draw(std::mt19937& rng)
{
    constexpr size_t kMax = 2u << 20;
    Plan p{};
    if (rng() % 5 < 2) {
        // A multiple of 512 or one of its neighbours: where block counting goes wrong.
        size_t k = rng() % (kMax / 512 + 1);
        long long size = static_cast<long long>(k * 512) + static_cast<long long>(rng() % 3) - 1;
        p.size = static_cast<size_t>(std::max(0LL, std::min<long long>(size, kMax)));
    } else {
        p.size = rng() % (kMax + 1);
    }
    p.fault = rng() % 4 == 0 ? Fault::None : kFaults[1 + rng() % (std::size(kFaults) - 1)];
    p.block = static_cast<uint32_t>(rng() % (p.size / 512 + 1));
    return p;
}

struct Tally {
    int runs = 0, successes = 0, failures = 0, falseSuccesses = 0, missedSuccesses = 0;
};

TEST(FaultInjection, SuccessIsReportedExactlyWhenTheHandheldTookEveryBlock)
{
    std::mt19937 rng(g_seed);
    std::map<Fault, Tally> tally;
    ScratchDir dir;
    ErrorBoxWatcher boxes;
    for (int run = 0; run < g_runs; ++run) {
        const Plan plan = Draw(rng);
        SCOPED_TRACE("run " + std::to_string(run) + ": " + std::to_string(plan.size) + " bytes, fault " +
                     Name(plan.fault) + " at " + std::to_string(plan.block) + " (seed " + std::to_string(g_seed) + ")");
        const Bytes image = Pattern(plan.size, static_cast<uint32_t>(run) + g_seed);
        uint32_t sum = 0;
        for (uint8_t b : image) sum += b;
        const std::wstring path = dir.File(L"image" + std::to_wstring(run % 2) + L".bin");
        WriteBytes(path, image);

        EmulatedHandheld device;
        ASSERT_TRUE(device.Start(plan.Options() + L" --time-limit 60"))
            << std::string(device.Error().begin(), device.Error().end());
        bool success = false;
        DWORD exitCode = 0;
        const bool throughFlasher = !g_flasher.empty() && run % 2 == 1;
        if (throughFlasher) {
            const robot::ConsoleResult result = robot::RunConsole(g_flasher, L"--wait 10 \"" + path + L"\"");
            ASSERT_TRUE(result.ended) << "romflash did not end: " << result.err;
            exitCode = result.exitCode;
            success = exitCode == 0;
        } else {
            CUSBUpdate link;
            const int answer = link.Connect();
            if (answer == CUSBUpdate::kReady) {
                TransferObserver quiet;
                success = RunTransfer(link, path, quiet).Succeeded();
            } else if (answer == CUSBUpdate::kWrongReply) {
                link.Close();
            }
        }
        EmulatedHandheld::Report r = device.Stop();

        const uint64_t expectedBlocks = plan.size / 512 + 1;
        const bool tookEveryBlock = r["blocks"] == std::to_string(expectedBlocks) && r["refused"] == "none";
        Tally& t = tally[plan.fault];
        ++t.runs;
        (success ? t.successes : t.failures)++;
        if (success && !tookEveryBlock) ++t.falseSuccesses;
        if (!success && tookEveryBlock) ++t.missedSuccesses;

        EXPECT_EQ(success, tookEveryBlock) << "blocks seen: " << r["blocks"] << ", refused: " << r["refused"];
        EXPECT_EQ(r["bytes_after_refusal"], "0") << "something was written after a refusal";
        if (r["blocks"] != "0") {
            EXPECT_EQ(r["header_received"], "1") << "blocks came without a header before them";
            EXPECT_EQ(r["header_writes"], "2");
        }
        if (success) {
            EXPECT_EQ(r["header_count"], std::to_string(plan.size));
            EXPECT_EQ(r["header_sum"], std::to_string(sum));
            EXPECT_EQ(r["image_bytes"], std::to_string(plan.size));
            EXPECT_EQ(r["image_sum"], std::to_string(sum));
            EXPECT_EQ(r["match"], "1");
            EXPECT_EQ(r["bytes_received"], std::to_string(expectedBlocks * 512)) << "whole blocks after the header";
        }
        // Every fault but an unplug after the very last block keeps blocks from the handheld.
        const bool losesData = plan.fault != Fault::None && plan.fault != Fault::Stall &&
                               !(plan.fault == Fault::UnplugAfterBlock && plan.block == plan.size / 512);
        if (losesData) {
            EXPECT_FALSE(success) << "a fault that loses data was reported as success";
        }
        if (throughFlasher) {
            // The handshake faults give "wrong answer" (2), faults in the data "refused" (4), or
            // "unplugged" (9) for a handheld that went away.
            const bool handshakeFault = plan.fault == Fault::WrongByte || plan.fault == Fault::ShortSecond ||
                                        plan.fault == Fault::FailSecond || plan.fault == Fault::SilentThenUnplug;
            const DWORD expected = handshakeFault                             ? 2u
                                   : success                                  ? 0u
                                   : plan.fault == Fault::UnplugAfterBlock    ? 9u
                                                                              : 4u;
            EXPECT_EQ(exitCode, expected) << "romflash's exit code";
        }
        if (HasFatalFailure()) break;
    }

    std::printf("fault runs (seed %u):\n  %-20s %6s %9s %8s %14s %15s\n", g_seed, "fault", "runs", "success", "failed",
                "false success", "missed success");
    int total = 0, falseTotal = 0;
    for (const auto& [fault, t] : tally) {
        std::printf("  %-20s %6d %9d %8d %14d %15d\n", Name(fault), t.runs, t.successes, t.failures, t.falseSuccesses,
                    t.missedSuccesses);
        total += t.runs;
        falseTotal += t.falseSuccesses;
    }
    std::printf("  %-20s %6d, false successes: %d\n", "all", total, falseTotal);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (const wchar_t* runs = OptionValue(argv[i], L"--runs="))
            g_runs = static_cast<int>(std::wcstol(runs, nullptr, 10));
        if (const wchar_t* seed = OptionValue(argv[i], L"--seed="))
            g_seed = static_cast<uint32_t>(std::wcstoul(seed, nullptr, 10));
        if (const wchar_t* path = OptionValue(argv[i], L"--flasher=")) g_flasher = path;
    }
    return RUN_ALL_TESTS();
}
