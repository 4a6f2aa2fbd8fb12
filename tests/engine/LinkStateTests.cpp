// The link state: what construction sets, what staging leaves, how copies carry the
// link down the page chain, and what Close releases.
#include <io.h>

#include "tests/engine/LinkTest.h"

namespace {

class LinkState : public LinkTest {};

TEST_F(LinkState, ConstructionLeavesNothingOpenAndAZeroBuffer)
{
    CUSBUpdate link;
    EXPECT_EQ(link.m_nByteCount, 0u);
    EXPECT_EQ(link.m_nBlockCount, 0);
    EXPECT_EQ(link.m_pImageFile, nullptr);
    EXPECT_EQ(link.m_nBlockSize, 512);
    EXPECT_EQ(link.m_nByteSum, 0u);
    EXPECT_EQ(link.m_byCell, 0);
    EXPECT_EQ(link.m_hDevice, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(link.m_szDevicePath, "");
    EXPECT_EQ(Bytes(link.m_Buffer, link.m_Buffer + 512), Bytes(512, 0));
}

TEST_F(LinkState, StagingCountsAndRewinds)
{
    const Bytes image = Pattern(3000, 3);
    const std::wstring path = Image(image);
    CUSBUpdate link;
    uint32_t sum = 0;
    for (uint8_t b : image) sum += b;
    EXPECT_EQ(link.OpenImage(path), sum);
    ASSERT_NE(link.m_pImageFile, nullptr);
    EXPECT_EQ(link.m_nByteCount, 3000u);
    EXPECT_EQ(link.m_nByteSum, sum);
    EXPECT_EQ(link.m_nBlockCount, 5);
    EXPECT_EQ(link.m_nBlockSize, 512);
    EXPECT_EQ(link.m_byCell, image.back());
    EXPECT_EQ(_ftelli64(link.m_pImageFile), 0) << "rewound to the first byte";
    EXPECT_FALSE(std::feof(link.m_pImageFile));
    EXPECT_FALSE(std::ferror(link.m_pImageFile));
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
    std::fclose(link.m_pImageFile);

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
    EXPECT_EQ(link.m_pImageFile, nullptr);
    EXPECT_EQ(link.m_nByteCount, 0u);
    EXPECT_EQ(link.m_nBlockCount, 0);
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts()[0], L"Can not find  the image file.");
    EXPECT_EQ(link.SendBlock(), 0);
}

TEST_F(LinkState, CopiesCarryTheLinkDownThePageChain)
{
    // The device check connects, the image file page and the progress page get copies;
    // the last copy stages, sends and closes.
    const Bytes image = Pattern(1500, 5);
    const std::wstring path = Image(image);
    ASSERT_TRUE(Plug());
    CUSBUpdate check;
    ASSERT_EQ(check.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    CUSBUpdate imagePage;
    imagePage = check;
    CUSBUpdate progressPage(imagePage);
    EXPECT_EQ(progressPage.m_hDevice, check.m_hDevice);
    EXPECT_STREQ(progressPage.m_szDevicePath, check.m_szDevicePath);
    progressPage.OpenImage(path);
    progressPage.SendHeader();
    EXPECT_EQ(BlocksSent(SendAllBlocks(progressPage)), 3);

    // A copy taken in the middle of sending goes on where the original stopped.
    CUSBUpdate second(check);
    ASSERT_EQ(second.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    second.OpenImage(path);
    second.SendHeader();
    EXPECT_EQ(second.SendBlock(), 1);
    CUSBUpdate rest(second);
    EXPECT_EQ(BlocksSent(SendAllBlocks(rest)), 2) << "the copy sends the blocks that are left";

    progressPage.Close();
    rest.Close();
    EmulatedHandheld::Report r = WaitUntilClosed(2);
    EXPECT_EQ(r["match"], "1");
    EXPECT_EQ(r["blocks"], "3");
}

// Close releases what is open, whichever of the two that is, and changes no field.
class CloseLink : public LinkTest {
protected:
    void ExpectFieldsKept(const CUSBUpdate& before, const CUSBUpdate& after)
    {
        EXPECT_EQ(after.m_hDevice, before.m_hDevice);
        EXPECT_EQ(after.m_pImageFile, before.m_pImageFile);
        EXPECT_EQ(after.m_nByteCount, before.m_nByteCount);
        EXPECT_EQ(after.m_nByteSum, before.m_nByteSum);
    }
};

TEST_F(CloseLink, DeviceAndImageOpen)
{
    const std::wstring path = Image(Pattern(700));
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    link.OpenImage(path);
    ASSERT_NE(link.m_pImageFile, nullptr);
    const HANDLE device = link.m_hDevice;
    EXPECT_FALSE(WriterCanOpen(path)) << "staged: writers are kept out";
    const CUSBUpdate before = link;
    EXPECT_EQ(link.Close(), 0);
    ExpectFieldsKept(before, link);
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
    const CUSBUpdate before = link;
    EXPECT_EQ(link.Close(), 0);
    ExpectFieldsKept(before, link);
    WaitUntilClosed();
}

TEST_F(CloseLink, OnlyImageOpen)
{
    const std::wstring path = Image(Pattern(700));
    CUSBUpdate link;
    link.OpenImage(path);
    ASSERT_NE(link.m_pImageFile, nullptr);
    ASSERT_EQ(link.m_hDevice, INVALID_HANDLE_VALUE);
    const CUSBUpdate before = link;
    EXPECT_EQ(link.Close(), 0);
    ExpectFieldsKept(before, link);
    EXPECT_TRUE(WriterCanOpen(path));
}

TEST_F(CloseLink, NothingOpen)
{
    CUSBUpdate link;
    EXPECT_EQ(link.Close(), 0);
    EXPECT_EQ(link.m_hDevice, INVALID_HANDLE_VALUE);
    EXPECT_EQ(link.m_pImageFile, nullptr);
}

TEST_F(CloseLink, DestructorReleasesNothing)
{
    ASSERT_TRUE(Plug());
    HANDLE handle = INVALID_HANDLE_VALUE;
    {
        CUSBUpdate page;
        ASSERT_EQ(page.Connect(), CUSBUpdate::kReady) << DescribeLookup();
        handle = page.m_hDevice;
    }
    EXPECT_TRUE(HandleIsOpen(handle)) << "a page's copy is dropped without closing the link";
    EXPECT_EQ(device.ReadReport()["closed"], "0");
    ::CloseHandle(handle);
    WaitUntilClosed();
}

}  // namespace
