// The engine's guards: a device path that does not fit, sending with no image staged,
// read errors, images of 4 GiB or more, writers during the transfer, and an image whose
// bytes change between staging and sending.
#include <cstdio>
#include <cstring>

#include "power/PowerCheck.h"
#include "image/PublisherChecks.h"
#include "tests/engine/LinkTest.h"

namespace {

constexpr int kPathBuffer = CUSBUpdate::kPathSize;
constexpr unsigned char kCanary = 0xCC;

// A path buffer with guard bytes behind it, all set to kCanary.
struct GuardedPath {
    char bytes[kPathBuffer + 64];
    GuardedPath() { std::memset(bytes, kCanary, sizeof bytes); }
    bool Untouched(int from) const
    {
        for (size_t i = static_cast<size_t>(from); i < sizeof bytes; ++i)
            if (static_cast<unsigned char>(bytes[i]) != kCanary) return false;
        return true;
    }
};

// After OpenImage refused an image: nothing is staged or held open, and the one error box
// shown says `text`.
void ExpectRefused(const CUSBUpdate& link, const ErrorBoxWatcher& boxes, const wchar_t* text)
{
    EXPECT_FALSE(link.HasImage());
    EXPECT_EQ(link.m_nByteCount, 0u);
    EXPECT_EQ(link.m_nByteSum, 0u);
    EXPECT_EQ(link.m_nBlockCount, 0);
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts()[0], text);
}

class DevicePathGuard : public LinkTest {};

TEST_F(DevicePathGuard, PathOf255CharactersFitsWhole)
{
    ASSERT_TRUE(Plug(L"--path-length 255"));
    CUSBUpdate link;
    GuardedPath path;
    OwnedHandle h(link.FindDevice(&GUID_DEVINTERFACE_UPGRADE, path.bytes));
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(std::strlen(path.bytes), 255u);
    EXPECT_STRCASEEQ(path.bytes, LongDevicePath(255).c_str());
    EXPECT_TRUE(path.Untouched(kPathBuffer)) << "nothing written past the buffer";
    h.reset();

    EXPECT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    EXPECT_STRCASEEQ(link.m_szDevicePath, LongDevicePath(255).c_str());
    link.Close();
}

class TooLongDevicePath : public LinkTest, public ::testing::WithParamInterface<int> {};

TEST_P(TooLongDevicePath, CountsAsNoDevice)
{
    const int length = GetParam();
    ASSERT_TRUE(Plug(L"--path-length " + std::to_wstring(length)));
    CUSBUpdate link;
    GuardedPath path;
    EXPECT_EQ(link.FindDevice(&GUID_DEVINTERFACE_UPGRADE, path.bytes), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(path.Untouched(0)) << "neither cut short nor overrun";
    EXPECT_EQ(link.Connect(), CUSBUpdate::kNoDevice);
    EXPECT_TRUE(boxes.Texts().empty());
    EXPECT_EQ(device.ReadReport()["connections"], "0") << "nothing was opened";

    // The device was there and could be opened by its whole path: the engine chose not to.
    if (length < MAX_PATH) {
        OwnedHandle direct(::CreateFileA(LongDevicePath(length).c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(direct.valid());
        EXPECT_TRUE(device.WaitForReport("connections", "1", 5000));
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, TooLongDevicePath, ::testing::Values(256, 259, 315));

class SendGuard : public LinkTest {};

TEST_F(SendGuard, NoImageStagedSendsNothing)
{
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    EXPECT_EQ(link.SendBlock(), 0);
    link.Close();
    EmulatedHandheld::Report r = WaitUntilClosed();
    EXPECT_EQ(r["bytes_received"], "0");
    EXPECT_EQ(r["header_hex"], "");

    // A failed staging leaves no stream either.
    CUSBUpdate unstaged;
    unstaged.OpenImage(dir.File(L"missing.bin"));
    EXPECT_EQ(unstaged.SendBlock(), 0);
}

TEST_F(SendGuard, ReadErrorWhileStagingRefusesTheImage)
{
    FailingImagePipe pipe(Pattern(3000));
    CUSBUpdate link;
    EXPECT_EQ(link.OpenImage(pipe.Path()), 0u);
    EXPECT_TRUE(pipe.Served()) << "the error came after data had been read";
    ASSERT_NO_FATAL_FAILURE(ExpectRefused(link, boxes, L"The image file could not be read."));
}

TEST_F(SendGuard, ReadErrorWhileSendingStopsBeforeTheWrite)
{
    // Larger than the stream's buffer, so that reads reach the file after the redirection.
    const Bytes image = Pattern(256 << 10, 11);
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    ASSERT_NE(link.OpenImage(Image(image)), 0u);
    link.SendHeader();
    for (int i = 0; i < 8; ++i) ASSERT_EQ(link.SendBlock(), 1);
    // From here on the stream's reads fail: its descriptor now has no read access.
    ASSERT_TRUE(RedirectStream(link.Image()->Stream(), dir.File(L"write-only.bin"), true));
    const std::vector<int> answers = SendAllBlocks(link);
    const int sent = 8 + BlocksSent(answers);
    EXPECT_LT(sent, 513) << "the transfer must not end as a success";
    EXPECT_EQ(answers.back(), 0);
    EXPECT_EQ(link.SendBlock(), 0);
    link.Close();
    EmulatedHandheld::Report r = WaitUntilClosed();
    EXPECT_EQ(r["blocks"], std::to_string(sent)) << "no block written for the failed read";
    EXPECT_EQ(r["match"], "0");
}

// The header counts in 32 bits: images of 4 GiB or more are refused before any of them
// is read. The files are sparse, so they cost no disk space.
class LargeImage : public LinkTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(LargeImage, IsRefusedAtOnce)
{
    const std::wstring path = dir.File(L"large.bin");
    ASSERT_TRUE(MakeSparseFile(path, GetParam()));
    CUSBUpdate link;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(link.OpenImage(path), 0u);
    // Reading 4 GiB takes about ten seconds here; the box costs up to two when Wine has to
    // bring up its desktop first.
    EXPECT_LT(::GetTickCount64() - start, 5000u) << "refused without reading the file";
    ASSERT_NO_FATAL_FAILURE(ExpectRefused(link, boxes, L"The image file is too large: images must be smaller than 4 GB."));
    EXPECT_TRUE(WriterCanOpen(path)) << "the refused file is not held open";
    EXPECT_EQ(link.SendBlock(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LargeImage, ::testing::Values(4ull << 30, (4ull << 30) + 1, 6ull << 30));

class ImageSizeLimit : public LinkTest {};

// The largest image that fits is staged whole. This reads 4 GiB (of holes): about ten
// seconds, so it runs as a CTest entry of its own.
TEST_F(ImageSizeLimit, LargestImageIsStaged)
{
    const std::wstring path = dir.File(L"largest.bin");
    ASSERT_TRUE(MakeSparseFile(path, (4ull << 30) - 1));
    CUSBUpdate link;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(link.OpenImage(path), 0u);
    std::printf("staged 4 GiB - 1 bytes in %llu ms\n", ::GetTickCount64() - start);
    EXPECT_TRUE(link.HasImage());
    EXPECT_EQ(link.m_nByteCount, 0xFFFFFFFFu);
    EXPECT_EQ(link.m_nBlockCount, 0x7FFFFF);
    EXPECT_TRUE(boxes.Texts().empty());
    link.Close();
}

// A stream whose size is not known beforehand is stopped once it passes the limit:
// /dev/zero, through Wine's drive Z:, never ends.
TEST_F(ImageSizeLimit, EndlessStreamIsStoppedPastTheLimit)
{
    CUSBUpdate link;
    EXPECT_EQ(link.OpenImage(L"Z:\\dev\\zero"), 0u);
    EXPECT_FALSE(link.HasImage());
    EXPECT_EQ(link.m_nByteCount, 0u);
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts()[0], L"The image file is too large: images must be smaller than 4 GB.");
}

class StagedImage : public LinkTest {};

TEST_F(StagedImage, WritersAreKeptOutUntilClose)
{
    const std::wstring path = Image(Pattern(2000));
    CUSBUpdate link;
    ASSERT_NE(link.OpenImage(path), 0u);
    EXPECT_FALSE(WriterCanOpen(path));
    EXPECT_EQ(_wfopen(path.c_str(), L"r+b"), nullptr);
    OwnedHandle reader(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(reader.valid()) << "readers are welcome";
    reader.reset();
    link.Close();
    EXPECT_TRUE(WriterCanOpen(path));
}

TEST_F(StagedImage, FileOpenForWritingElsewhereIsNotStaged)
{
    const std::wstring path = Image(Pattern(2000));
    OwnedHandle writer(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer.valid());
    CUSBUpdate link;
    EXPECT_EQ(link.OpenImage(path), 0u);
    EXPECT_FALSE(link.HasImage());
    EXPECT_EQ(boxes.Texts().size(), 1u);
}

// Staging announced one image; the sending pass reads another. The stream's descriptor
// is pointed at a second file after staging, as if the bytes had changed on disk. The whole
// piece is read and digested before its first block: no changed byte ever goes out, and a
// file that only grew still gives exactly the bytes staged.
struct ChangedImage {
    const char* name;
    Bytes (*sent)(const Bytes& staged);
    int blocksSent;  // SendBlock calls that answer 1 (2 is success for 1000 bytes)
};

void PrintTo(const ChangedImage& c, std::ostream* os) { *os << c.name; }

const ChangedImage kChanges[] = {
    {"Unchanged", [](const Bytes& b) { return b; }, 2},
    {"LastByteChanged",
     [](const Bytes& b) {
         Bytes c = b;
         c.back() ^= 0x5A;
         return c;
     },
     0},
    {"TwoBytesSwapped",
     [](const Bytes& b) {
         Bytes c = b;
         std::swap(c[700], c[701]);
         return c;
     },
     0},
    {"OtherBytesSameLength", [](const Bytes& b) { return Pattern(b.size(), 99); }, 0},
    {"Grown",
     [](const Bytes& b) {
         return Concat({b, Pattern(600, 98)});
     },
     2},
    {"Shrunk", [](const Bytes& b) { return Slice(b, 0, 600); }, 0},
    {"EmptiedOut", [](const Bytes&) { return Bytes(); }, 0},
};

class ChangedBetweenPasses : public LinkTest, public ::testing::WithParamInterface<ChangedImage> {};

TEST_P(ChangedBetweenPasses, SendsOnlyTheStagedBytes)
{
    const Bytes staged = Pattern(1000, 21);
    const std::wstring stagedPath = Image(staged, L"staged.bin");
    const std::wstring sentPath = Image(GetParam().sent(staged), L"sent.bin");
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    ASSERT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    ASSERT_NE(link.OpenImage(stagedPath), 0u);
    ASSERT_TRUE(RedirectStream(link.Image()->Stream(), sentPath, false));
    link.SendHeader();
    const std::vector<int> answers = SendAllBlocks(link);
    EXPECT_EQ(BlocksSent(answers), GetParam().blocksSent);
    EXPECT_EQ(answers.back(), 0);
    link.Close();
    EmulatedHandheld::Report r = WaitUntilClosed();
    EXPECT_EQ(r["blocks"], std::to_string(GetParam().blocksSent));
    EXPECT_EQ(r["match"], GetParam().blocksSent == 2 ? "1" : "0");
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangedBetweenPasses, ::testing::ValuesIn(kChanges),
                         [](const ::testing::TestParamInfo<ChangedImage>& info) {
                             return std::string(info.param.name);
                         });

// Whether a PC's power lets a write start, for every kind of state Windows may report.
TEST(Judgement, OnlyABatteryBelowAQuarterRefusesAndAnyBatteryWarns)
{
    using S = PowerState::Source;
    const struct {
        PowerState state;
        PowerVerdict verdict;
    } cases[] = {
        {{S::Mains, 10}, PowerVerdict::Fine},    {{S::Mains, -1}, PowerVerdict::Fine},
        {{S::Unknown, 5}, PowerVerdict::Fine},   {{S::Battery, 24}, PowerVerdict::Refuse},
        {{S::Battery, 0}, PowerVerdict::Refuse}, {{S::Battery, 25}, PowerVerdict::Warn},
        {{S::Battery, 100}, PowerVerdict::Warn}, {{S::Battery, -1}, PowerVerdict::Warn},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JudgePower(c.state), c.verdict) << static_cast<int>(c.state.source) << " " << c.state.percent;
    const PowerState here = ReadPowerState();
    std::printf("this machine reports: source %d, charge %d %%\n", static_cast<int>(here.source), here.percent);
}

// What a checksum file says of an image, past what the road's files show.
TEST(Judgement, ChecksumTextNamesTheImageOnceOrIsNotUsed)
{
    using State = ChecksumFinding::State;
    const std::string a(64, 'a'), b(64, 'B');
    std::string hex;
    std::wstring problem;
    EXPECT_EQ(ParseChecksumText(a + " *./NK.BIN\r\n", L"nk.bin", true, &hex, &problem), State::Match);
    EXPECT_EQ(hex, a);
    EXPECT_EQ(ParseChecksumText("\xEF\xBB\xBF" + b + "\n", L"nk.bin", false, &hex, &problem), State::Match);
    EXPECT_EQ(hex, std::string(64, 'b'));
    EXPECT_EQ(ParseChecksumText(a + "  other.bin\n", L"nk.bin", true, &hex, &problem), State::None);
    EXPECT_EQ(ParseChecksumText(a + "  nk.bin\n" + b + "  nk.bin\n", L"nk.bin", true, &hex, &problem),
              State::Unreadable);
    EXPECT_EQ(problem, L"it gives two different checksums for nk.bin");
    EXPECT_EQ(ParseChecksumText(a + "  one.bin\n" + b + "  two.bin\n", L"nk.bin", false, &hex, &problem),
              State::Unreadable);
    EXPECT_EQ(ParseChecksumText(a.substr(1) + "  nk.bin\n", L"nk.bin", false, &hex, &problem), State::Unreadable);
    EXPECT_EQ(ParseChecksumText("", L"nk.bin", false, &hex, &problem), State::Unreadable);
    // Escaped names: a name with a line end is read (and is not the image), an unknown escape not.
    EXPECT_EQ(ParseChecksumText("\\" + a + "  a\\nb\n\\" + b + "  .\\\\NK.bin\n", L"nk.bin", true, &hex, &problem),
              State::Match);
    EXPECT_EQ(hex, std::string(64, 'b'));
    EXPECT_EQ(ParseChecksumText("\\" + a + "  a\\tb\n", L"nk.bin", true, &hex, &problem), State::Unreadable);
    EXPECT_EQ(ParseChecksumText(std::string("\xFF\xFE") + 'a', L"nk.bin", false, &hex, &problem), State::Unreadable);
    EXPECT_EQ(ParseChecksumText("SHA256 hash of C:\\roms\\nk.bin:\n" + a, L"nk.bin", true, &hex, &problem),
              State::Match);
    EXPECT_EQ(ParseChecksumText("SHA256 hash of other.bin:\n" + a, L"nk.bin", true, &hex, &problem), State::None);
}

}  // namespace
