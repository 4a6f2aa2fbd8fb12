// The byte sum's versions (plain, SSE2, AVX2) against each other and against ByteSum itself:
// every length up to a few blocks of each vector width and some large ones, from every start
// offset within 64 bytes (the vector versions read unaligned), on pseudo-random bytes and on
// all-0xFF bytes (the largest sum per byte).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "image/ByteSum.h"
#include "image/StagedImage.h"

namespace {

constexpr size_t kLargestOffset = 63;

// The lengths checked: 0..200 covers both vector loops' tails and several whole rounds;
// the large ones end in a partial round.
std::vector<size_t> Lengths()
{
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
    lengths.push_back(4095);
    lengths.push_back(65536 + 17);
    return lengths;
}

// Every version the processor has gives the same sum as the plain one, and ByteSum gives
// that sum modulo 2^32, for each length at each start offset into the buffer.
void ExpectEveryVersionAgrees(const std::vector<unsigned char>& buffer, const char* what)
{
    const bool sse2 = bytesum::HasSse2(), avx2 = bytesum::HasAvx2();
    for (size_t n : Lengths()) {
        for (size_t offset = 0; offset <= kLargestOffset; ++offset) {
            ASSERT_LE(offset + n, buffer.size());
            const unsigned char* p = buffer.data() + offset;
            uint64_t expected = 0;
            for (size_t i = 0; i < n; ++i) expected += p[i];
            SCOPED_TRACE(::testing::Message() << what << ", " << n << " bytes from offset " << offset);
            const uint64_t plain = bytesum::Plain(p, n);
            ASSERT_EQ(plain, expected);
            if (sse2) {
                ASSERT_EQ(bytesum::Sse2(p, n), plain);
            }
            if (avx2) {
                ASSERT_EQ(bytesum::Avx2(p, n), plain);
            }
            ASSERT_EQ(::ByteSum(p, n), static_cast<uint32_t>(plain));
        }
    }
}

}  // namespace

TEST(ByteSumVersions, EveryVersionGivesTheSameSum)
{
    std::printf("SSE2 %s, AVX2 %s\n", bytesum::HasSse2() ? "checked" : "absent: not checked",
                bytesum::HasAvx2() ? "checked" : "absent: not checked");
    const size_t size = kLargestOffset + 65536 + 17;

    std::vector<unsigned char> random(size);
    std::mt19937 generator(20240611u);
    std::uniform_int_distribution<int> byte(0, 255);
    for (unsigned char& b : random) b = static_cast<unsigned char>(byte(generator));
    ExpectEveryVersionAgrees(random, "pseudo-random bytes");

    ExpectEveryVersionAgrees(std::vector<unsigned char>(size, 0xFF), "all 0xFF");
}

// Staging makes the pieces' checks from reads of any length; a link checks each whole piece
// it reads. Both must agree however the reads fell, or every link would find the image changed.
TEST(ByteSumPieceChecks, ReadsOfAnyLengthGiveTheChecksOfWholePieces)
{
    std::mt19937 random(7);
    std::vector<unsigned char> image(3 * StagedImage::kPieceSize + 1001);
    for (unsigned char& b : image) b = static_cast<unsigned char>(random());
    for (size_t read : {size_t{1}, size_t{7}, size_t{4096}, size_t{2} << 20}) {
        PieceChecks staging;
        for (size_t at = 0; at < image.size(); at += read)
            staging.Add(image.data() + at, std::min(read, image.size() - at));
        const std::vector<uint64_t> checks = staging.Finish();
        ASSERT_EQ(checks.size(), 4u);
        for (size_t piece = 0; piece < checks.size(); ++piece) {
            const size_t start = piece * StagedImage::kPieceSize;
            const size_t n = std::min<size_t>(StagedImage::kPieceSize, image.size() - start);
            EXPECT_EQ(checks[piece], PieceChecks::Of(image.data() + start, n)) << "reads of " << read << ", piece " << piece;
        }
    }
}
