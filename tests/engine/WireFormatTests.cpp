// What goes over the wire for an image of N bytes: the header (count and sum, little-endian,
// two writes), N/512 rounded down plus one blocks, and the content of the last block, whose
// tail is whatever the block before left in the buffer.
#include <numeric>

#include "tests/engine/LinkTest.h"

namespace {

std::string LittleEndianHex(uint32_t v)
{
    char text[9];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, v >> 24);
    return text;
}

uint32_t Sum(const Bytes& b)
{
    uint32_t s = 0;
    for (uint8_t x : b) s += x;
    return s;
}

struct WireCase {
    const char* name;
    size_t size;
    int32_t blockCount;    // m_nBlockCount after staging
    int blockWrites;       // SendBlock calls that answer 1
    const char* countHex;  // first header write
    Bytes (*lastBlock)(const Bytes& image);
};

void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

const WireCase kWireCases[] = {
    {"Empty", 0, 0, 1, "00000000", [](const Bytes&) { return Bytes(512, 0); }},
    {"OneShortOfABlock", 511, 0, 1, "ff010000",
     [](const Bytes& img) {
         return Concat({img, Bytes(1, 0)});
     }},
    {"OneBlock", 512, 1, 2, "00020000", [](const Bytes& img) { return Slice(img, 0, 512); }},
    {"OneBlockAndAByte", 513, 1, 2, "01020000",
     [](const Bytes& img) {
         return Concat({Slice(img, 512, 1), Slice(img, 1, 511)});
     }},
    {"TwoBlocks", 1024, 2, 3, "00040000", [](const Bytes& img) { return Slice(img, 512, 512); }},
    {"TwoBlocksLess24", 1000, 1, 2, "e8030000",
     [](const Bytes& img) {
         return Concat({Slice(img, 512, 488), Slice(img, 488, 24)});
     }},
};

class WireFormat : public LinkTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(WireFormat, HeaderBlockWritesAndLastBlock)
{
    const WireCase& c = GetParam();
    const Bytes image = Pattern(c.size, static_cast<uint32_t>(c.size) + 7);
    const std::wstring path = Image(image);
    const std::wstring received = dir.File(L"received.bin");
    const std::wstring blocks = dir.File(L"blocks.bin");
    ASSERT_TRUE(Plug(L"--save \"" + received + L"\" --save-blocks \"" + blocks + L"\""));

    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    EXPECT_EQ(link.OpenImage(path), Sum(image));
    EXPECT_EQ(link.m_nByteCount, c.size);
    EXPECT_EQ(link.m_nBlockCount, c.blockCount);
    EXPECT_TRUE(link.SendHeader());
    const std::vector<int> answers = SendAllBlocks(link);
    EXPECT_EQ(BlocksSent(answers), c.blockWrites);
    EXPECT_EQ(answers.size(), static_cast<size_t>(c.blockWrites) + 1) << "the call after the last block answers 0";
    EXPECT_EQ(link.SendBlock(), 0) << "and so does every call after that";
    link.Close();

    EmulatedHandheld::Report r = WaitUntilClosed();
    EXPECT_EQ(r["header_hex"], c.countHex + LittleEndianHex(Sum(image)));
    EXPECT_EQ(r["header_writes"], "2") << "count and sum go in two writes";
    EXPECT_EQ(r["header_count"], std::to_string(c.size));
    EXPECT_EQ(r["header_sum"], std::to_string(Sum(image)));
    EXPECT_EQ(r["blocks"], std::to_string(c.blockWrites));
    EXPECT_EQ(r["bytes_received"], std::to_string(512 * c.blockWrites));
    EXPECT_EQ(r["match"], "1");
    EXPECT_EQ(ReadBytes(received), image);

    Bytes expected;
    for (int k = 0; k + 1 < c.blockWrites; ++k) {
        const Bytes block = Slice(image, 512 * static_cast<size_t>(k), 512);
        expected.insert(expected.end(), block.begin(), block.end());
    }
    const Bytes last = c.lastBlock(image);
    expected.insert(expected.end(), last.begin(), last.end());
    const Bytes wire = ReadBytes(blocks);
    ASSERT_EQ(wire.size(), expected.size());
    EXPECT_TRUE(wire == expected) << "block content differs from the wire format";
    EXPECT_TRUE(Slice(wire, wire.size() - 512, 512) == last) << "last block";
}

INSTANTIATE_TEST_SUITE_P(Sizes, WireFormat, ::testing::ValuesIn(kWireCases),
                         [](const ::testing::TestParamInfo<WireCase>& info) { return std::string(info.param.name); });

// The byte sum counts every byte as 0..255 and wraps modulo 2^32, in staging and in the
// header alike.
class ByteSum : public LinkTest {};

TEST_F(ByteSum, CountsHighBytesAsUnsigned)
{
    Bytes every(256);
    std::iota(every.begin(), every.end(), 0);  // 0..255 once: 32640, or -128 if signed
    const std::wstring path = Image(every);
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    EXPECT_EQ(link.OpenImage(path), 32640u);
    EXPECT_EQ(link.m_byCell, 255) << "the last byte staged";
    EXPECT_TRUE(link.SendHeader());
    link.Close();
    EmulatedHandheld::Report r = WaitUntilClosed();
    EXPECT_EQ(r["header_hex"], "00010000807f0000");
}

TEST_F(ByteSum, WrapsModulo2To32)
{
    // 17 MiB of 0xFF: 17 * 2^20 * 255 = 4,545,576,960, which is 250,609,664 mod 2^32.
    const std::wstring path = Image(Bytes(17u << 20, 0xFF));
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    EXPECT_EQ(link.OpenImage(path), 250609664u);
    EXPECT_EQ(link.m_nByteCount, 17u << 20);
    EXPECT_EQ(link.m_nBlockCount, 17 * 2048);
    EXPECT_TRUE(link.SendHeader());
    link.Close();
    EmulatedHandheld::Report r = WaitUntilClosed();
    EXPECT_EQ(r["header_count"], std::to_string(17u << 20));
    EXPECT_EQ(r["header_sum"], "250609664");
}

// A whole transfer of a few MiB against the emulator's fast sink: every block arrives and
// the image matches its header. Prints the rate, for comparison with the progress page.
TEST(SinkTransfer, FourMiBArriveWhole)
{
    ScratchDir dir;
    const Bytes image = Pattern((4u << 20) + 100, 77);
    const std::wstring path = dir.File(L"image.bin");
    WriteBytes(path, image);
    EmulatedHandheld device;
    ASSERT_TRUE(device.Start(L"--sink --time-limit 60")) << Utf8(device.Error());
    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    EXPECT_EQ(link.OpenImage(path), Sum(image));
    EXPECT_TRUE(link.SendHeader());
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(BlocksSent(SendAllBlocks(link)), 8193);
    const ULONGLONG ms = ::GetTickCount64() - start;
    link.Close();
    EmulatedHandheld::Report r;
    ASSERT_TRUE(device.WaitForReport("closed", "1", 10000, &r));
    EXPECT_EQ(r["blocks"], "8193");
    EXPECT_EQ(r["image_bytes"], std::to_string(image.size()));
    EXPECT_EQ(r["match"], "1");
    std::printf("4 MiB in %llu ms: %.1f MiB/s over the emulated link\n", ms,
                ms ? 4000.0 / static_cast<double>(ms) : 0.0);
}

}  // namespace
