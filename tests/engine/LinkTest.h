// The fixture of the link engine tests: a scratch directory, a watcher that answers the
// engine's error boxes, and an emulated handheld that a test plugs in with the options it
// needs. Everything runs through the real lookup, pipe and files under Wine.
#pragma once
#include <gtest/gtest.h>

#include "tests/engine/Support.h"
#include "tests/support/TestSupport.h"
#include "device/USBUpdate.h"

class LinkTest : public ::testing::Test {
protected:
    // Plugs in the emulated handheld; false (and a test failure) when it does not come up.
    bool Plug(const std::wstring& options = L"")
    {
        const bool limited = options.find(L"--time-limit") != std::wstring::npos;
        if (device.Start(limited ? options : options + L" --time-limit 60")) return true;
        ADD_FAILURE() << "emulated handheld: " << Utf8(device.Error());
        return false;
    }

    // Waits for the emulator to see the host close the device, and returns its report.
    EmulatedHandheld::Report WaitUntilClosed(int closedCount = 1)
    {
        EmulatedHandheld::Report r;
        EXPECT_TRUE(device.WaitForReport("closed", std::to_string(closedCount), 10000, &r))
            << "the emulated handheld did not see the host close the device";
        return r;
    }

    std::wstring Image(const Bytes& bytes, const std::wstring& name = L"image.bin")
    {
        const std::wstring path = dir.File(name);
        WriteBytes(path, bytes);
        return path;
    }

    ScratchDir dir;
    ErrorBoxWatcher boxes;
    EmulatedHandheld device;
};

// Calls SendBlock until it answers 0 (at most `limit` times) and returns its answers.
inline std::vector<int> SendAllBlocks(CUSBUpdate& link, int limit = 100000)
{
    std::vector<int> answers;
    for (int i = 0; i < limit; ++i) {
        answers.push_back(link.SendBlock());
        if (answers.back() == 0) break;
    }
    return answers;
}

// Number of leading 1 answers: the blocks the progress page would count as sent.
inline int BlocksSent(const std::vector<int>& answers)
{
    int n = 0;
    while (n < static_cast<int>(answers.size()) && answers[n] == 1) ++n;
    return n;
}
