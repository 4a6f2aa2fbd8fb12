// The link state: what construction sets, what staging leaves, how moves carry the
// link down the page chain, and what Close releases.
#include <io.h>
#include <utility>

#include "tests/engine/LinkTest.h"

namespace {

class LinkState : public LinkTest {};

TEST_F(LinkState, ConstructionLeavesNothingOpenAndAZeroBuffer)
{
    CUSBUpdate link;
    EXPECT_EQ(link.m_nByteCount, 0u);
    EXPECT_EQ(link.m_nBlockCount, 0);
    EXPECT_FALSE(link.HasImage());
    EXPECT_EQ(link.m_nBlockSize, 512);
    EXPECT_EQ(link.m_nByteSum, 0u);
    EXPECT_EQ(link.m_byCell, 0);
    EXPECT_EQ(link.m_hDevice, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(link.m_szDevicePath, "");
    EXPECT_EQ(Bytes(link.m_Buffer, link.m_Buffer + 512), Bytes(512, 0));
}

TEST_F(LinkState, StagingCountsSumsAndDigests)
{
    const Bytes image = Pattern(3000, 3);
    const std::wstring path = Image(image);
    CUSBUpdate link;
    uint32_t sum = 0;
    for (uint8_t b : image) sum += b;
    EXPECT_EQ(link.OpenImage(path), sum);
    ASSERT_TRUE(link.HasImage());
    EXPECT_EQ(link.m_nByteCount, 3000u);
    EXPECT_EQ(link.m_nByteSum, sum);
    EXPECT_EQ(link.m_nBlockCount, 5);
    EXPECT_EQ(link.m_nBlockSize, 512);
    EXPECT_EQ(link.m_byCell, image.back());
    EXPECT_TRUE(boxes.Texts().empty());
    link.Close();
}

TEST_F(LinkState, StagingAgainStartsTheCountsOver)
{
    const std::wstring big = Image(Pattern(5000, 4), L"big.bin");
    const std::wstring small = Image(Bytes{1, 2, 250}, L"small.bin");
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    link.OpenImage(big);
    link.SendHeader();
    EXPECT_EQ(BlocksSent(SendAllBlocks(link, 3)), 3);

    EXPECT_EQ(link.OpenImage(small), 253u);
    EXPECT_EQ(link.m_nByteCount, 3u);
    EXPECT_EQ(link.m_nBlockCount, 0);
    EXPECT_EQ(link.m_byCell, 250);
    // (No second header: to the device that would be block data.)
    EXPECT_EQ(SendAllBlocks(link), (std::vector<int>{1, 0})) << "the second image goes out whole";
    link.Close();
    EmulatedHandheld::Report r = WaitUntilClosed();
    EXPECT_EQ(r["bytes_received"], std::to_string(4 * 512));
}

TEST_F(LinkState, MissingImageFileIsReportedAndLeavesNothingOpen)
{
    CUSBUpdate link;
    EXPECT_EQ(link.OpenImage(dir.File(L"no such image.bin")), 0u);
    EXPECT_FALSE(link.HasImage());
    EXPECT_EQ(link.m_nByteCount, 0u);
    EXPECT_EQ(link.m_nBlockCount, 0);
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts()[0], L"Can not find  the image file.");
    EXPECT_EQ(link.SendBlock(), 0);
}

TEST_F(LinkState, MovesCarryTheLinkDownThePageChainAndOnlyTheOwnerHoldsIt)
{
    // The device check connects and hands the link on to the image file page, and that one to
    // the progress page, which stages, sends and closes. A page moved from holds nothing.
    const Bytes image = Pattern(1500, 5);
    const std::wstring path = Image(image);
    ASSERT_TRUE(Plug());
    CUSBUpdate check;
    ASSERT_EQ(check.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    const HANDLE handle = check.m_hDevice;
    CUSBUpdate imagePage;
    imagePage = std::move(check);
    CUSBUpdate progressPage(std::move(imagePage));
    EXPECT_EQ(progressPage.m_hDevice, handle);
    EXPECT_EQ(check.m_hDevice, INVALID_HANDLE_VALUE);
    EXPECT_EQ(imagePage.m_hDevice, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(progressPage.m_szDevicePath, check.m_szDevicePath) << "the path stays readable";
    check.Close();
    imagePage.Close();
    EXPECT_TRUE(HandleIsOpen(handle)) << "a page moved from closed the link";
    progressPage.OpenImage(path);
    progressPage.SendHeader();

    // Moved in the middle of sending, the link goes on where it stopped.
    EXPECT_EQ(progressPage.SendBlock(), 1);
    CUSBUpdate rest(std::move(progressPage));
    EXPECT_FALSE(progressPage.HasImage());
    EXPECT_EQ(BlocksSent(SendAllBlocks(rest)), 2) << "the new owner sends the blocks that are left";

    // Taking over another link first closes the one held.
    rest = CUSBUpdate();
    EXPECT_FALSE(HandleIsOpen(handle));
    EmulatedHandheld::Report r = WaitUntilClosed();
    EXPECT_EQ(r["match"], "1");
    EXPECT_EQ(r["blocks"], "3");
}

// Close releases what is open, whichever of the two that is; the counts stay, and the
// fields that held what it released read as closed, so a second Close does nothing.
class CloseLink : public LinkTest {
protected:
    void ExpectClosedKeepingCounts(CUSBUpdate& link)
    {
        const uint32_t count = link.m_nByteCount, sum = link.m_nByteSum;
        EXPECT_EQ(link.Close(), 0);
        EXPECT_EQ(link.m_hDevice, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(link.HasImage());
        EXPECT_EQ(link.m_nByteCount, count);
        EXPECT_EQ(link.m_nByteSum, sum);
        EXPECT_EQ(link.Close(), 0);
    }
};

TEST_F(CloseLink, DeviceAndImageOpen)
{
    const std::wstring path = Image(Pattern(700));
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    link.OpenImage(path);
    ASSERT_TRUE(link.HasImage());
    const HANDLE device = link.m_hDevice;
    EXPECT_FALSE(WriterCanOpen(path)) << "staged: writers are kept out";
    ExpectClosedKeepingCounts(link);
    EXPECT_EQ(link.m_nByteCount, 700u);
    EXPECT_FALSE(HandleIsOpen(device));
    WaitUntilClosed();
    EXPECT_TRUE(WriterCanOpen(path)) << "the image stream is closed";
}

TEST_F(CloseLink, OnlyDeviceOpen)
{
    // Cancel on the image file page: no stream was ever opened.
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    ExpectClosedKeepingCounts(link);
    WaitUntilClosed();
}

TEST_F(CloseLink, OnlyImageOpen)
{
    const std::wstring path = Image(Pattern(700));
    CUSBUpdate link;
    link.OpenImage(path);
    ASSERT_TRUE(link.HasImage());
    ASSERT_EQ(link.m_hDevice, INVALID_HANDLE_VALUE);
    ExpectClosedKeepingCounts(link);
    EXPECT_TRUE(WriterCanOpen(path));
}

TEST_F(CloseLink, NothingOpen)
{
    CUSBUpdate link;
    ExpectClosedKeepingCounts(link);
}

TEST_F(CloseLink, TheOwnersDestructorClosesTheLink)
{
    ASSERT_TRUE(Plug());
    HANDLE handle = INVALID_HANDLE_VALUE;
    {
        CUSBUpdate page;
        ASSERT_EQ(page.Connect(), CUSBUpdate::kReady) << DescribeLookup();
        handle = page.m_hDevice;
    }
    EXPECT_FALSE(HandleIsOpen(handle));
    WaitUntilClosed();
}

}  // namespace
