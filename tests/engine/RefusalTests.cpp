// A device that stops taking data: the write it refuses fails (or comes out short), exactly
// that SendBlock (or SendHeader) answers 0, and nothing reaches the device after it.
#include "tests/engine/LinkTest.h"
#include "device/Transfer.h"

namespace {

class Refusal : public LinkTest {
protected:
    // Stages a 2000-byte image (four block writes when all goes well) on a connected link.
    void Stage(CUSBUpdate& link)
    {
        ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
        ASSERT_NE(link.OpenImage(Image(Pattern(2000, 9))), 0u);
    }
};

class RefusedBlock : public Refusal, public ::testing::WithParamInterface<int> {};

TEST_P(RefusedBlock, FailsExactlyThatBlock)
{
    const int k = GetParam();
    ASSERT_TRUE(Plug(L"--refuse-block " + std::to_wstring(k)));
    CUSBUpdate link;
    Stage(link);
    EXPECT_TRUE(link.SendHeader());
    const std::vector<int> answers = SendAllBlocks(link);
    EXPECT_EQ(BlocksSent(answers), k);
    EXPECT_EQ(answers.size(), static_cast<size_t>(k) + 1) << "block " << k << " answered 0";
    EXPECT_EQ(link.SendBlock(), 0) << "a refused device takes nothing more";
    link.Close();

    EmulatedHandheld::Report r = device.Stop();
    EXPECT_EQ(r["refused"], "block:" + std::to_string(k));
    EXPECT_EQ(r["blocks"], std::to_string(k));
    EXPECT_EQ(r["bytes_received"], std::to_string(512 * k));
    EXPECT_EQ(r["bytes_after_refusal"], "0");
    EXPECT_EQ(r["match"], "0");
}

INSTANTIATE_TEST_SUITE_P(Blocks, RefusedBlock, ::testing::Values(0, 1, 3));

TEST_F(Refusal, RefusedHeaderFailsSendHeader)
{
    ASSERT_TRUE(Plug(L"--refuse-header"));
    CUSBUpdate link;
    Stage(link);
    EXPECT_FALSE(link.SendHeader());
    EXPECT_EQ(link.SendBlock(), 0);
    link.Close();
    EmulatedHandheld::Report r = device.Stop();
    EXPECT_EQ(r["refused"], "header");
    EXPECT_EQ(r["header_received"], "0");
    EXPECT_EQ(r["bytes_after_refusal"], "0");
}

TEST_F(Refusal, UnpluggedInTheMiddle)
{
    ASSERT_TRUE(Plug(L"--unplug-after-block 1"));
    CUSBUpdate link;
    Stage(link);
    EXPECT_TRUE(link.SendHeader());
    const std::vector<int> answers = SendAllBlocks(link);
    EXPECT_EQ(answers, (std::vector<int>{1, 1, 0}));
    link.Close();
    EXPECT_TRUE(device.WaitForExit(10000)) << "an unplugged handheld ends the emulator";
    EmulatedHandheld::Report r = device.ReadReport();
    EXPECT_EQ(r["unplugged"], "1");
    EXPECT_EQ(r["blocks"], "2");
    EXPECT_EQ(r["finished"], "1");

    CUSBUpdate again;
    EXPECT_EQ(again.Connect(), CUSBUpdate::kNoDevice);
    EXPECT_TRUE(boxes.Texts().empty());
}

// A driver may report success having written fewer bytes than asked. Such a write did not
// deliver its block or word: it counts as refused, and nothing is written after it.
TEST_F(Refusal, ShortBlockWriteFailsTheTransferAndNothingFollows)
{
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    // Writes to the device: the two header words, then blocks 0, 1, ...: block 1 gets
    // only 100 of its 512 bytes through.
    WriteFault fault(link.m_hDevice, 3, WriteFault::Short, 100);
    ASSERT_TRUE(fault.Installed());
    TransferObserver quiet;
    const TransferOutcome outcome = RunTransfer(link, Image(Pattern(2000, 9)), quiet);
    EXPECT_FALSE(outcome.Succeeded());
    EXPECT_EQ(outcome.sent, 1) << "block 1 went short";
    EXPECT_EQ(fault.Writes(), 4) << "writes after the short one";

    EmulatedHandheld::Report r = WaitUntilClosed();
    EXPECT_EQ(r["header_received"], "1");
    EXPECT_EQ(r["bytes_received"], std::to_string(512 + 100));
}

struct HeaderFault {
    const char* name;
    int write;  // 0: the byte count, 1: the byte sum
    WriteFault::Kind kind;
    DWORD delivered;
};

void PrintTo(const HeaderFault& f, std::ostream* os) { *os << f.name; }

// Each header word cut short or failed.
const HeaderFault kHeaderFaults[] = {
    {"CountShort", 0, WriteFault::Short, 2},
    {"CountFailed", 0, WriteFault::Fail, 0},
    {"SumShort", 1, WriteFault::Short, 3},
    {"SumFailed", 1, WriteFault::Fail, 0},
};

std::string HeaderFaultName(const ::testing::TestParamInfo<HeaderFault>& info) { return info.param.name; }

class HeaderWordNotTaken : public Refusal, public ::testing::WithParamInterface<HeaderFault> {};

TEST_P(HeaderWordNotTaken, FailsSendHeaderAndNothingFollows)
{
    const HeaderFault& f = GetParam();
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    Stage(link);
    WriteFault fault(link.m_hDevice, f.write, f.kind, f.delivered);
    ASSERT_TRUE(fault.Installed());
    EXPECT_FALSE(link.SendHeader());
    EXPECT_EQ(fault.Writes(), f.write + 1) << "writes after the word not taken";
    link.Close();
    EmulatedHandheld::Report r = WaitUntilClosed();
    EXPECT_EQ(r["header_received"], "0");
    EXPECT_EQ(r["bytes_received"], "0");
}

INSTANTIATE_TEST_SUITE_P(Words, HeaderWordNotTaken, ::testing::ValuesIn(kHeaderFaults), HeaderFaultName);

// A header the handheld did not take, while it would still take what follows: no block
// goes out, since the handheld would read the first block as the header (or its sum).

class HeaderNotTaken : public Refusal, public ::testing::WithParamInterface<HeaderFault> {};

TEST_P(HeaderNotTaken, FailsTheTransferWithNoBlockSent)
{
    const HeaderFault& f = GetParam();
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    WriteFault fault(link.m_hDevice, f.write, f.kind, f.delivered);
    ASSERT_TRUE(fault.Installed());
    TransferObserver quiet;
    const TransferOutcome outcome = RunTransfer(link, Image(Pattern(2000, 9)), quiet);
    EXPECT_TRUE(outcome.staged);
    EXPECT_FALSE(outcome.Succeeded());
    EXPECT_EQ(outcome.sent, 0);
    EXPECT_EQ(fault.Writes(), f.write + 1) << "writes after the header word not taken";

    EmulatedHandheld::Report r = WaitUntilClosed();
    EXPECT_EQ(r["header_received"], "0");
    EXPECT_EQ(r["bytes_received"], "0");
}

INSTANTIATE_TEST_SUITE_P(Words, HeaderNotTaken, ::testing::ValuesIn(kHeaderFaults), HeaderFaultName);

}  // namespace
