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

// Our SHA-256 both ways: with the processor's SHA instructions where it has them, and the
// portable way every processor runs. Known answers, however the bytes arrive and with a look
// at the digest between pieces (as staging and every reader take it), and both ways agreeing
// on bytes of every kind.
TEST(ByteSumSha256, BothWaysGiveTheKnownDigestsHoweverTheBytesArrive)
{
    std::printf("SHA instructions %s\n", Sha256::Accelerated() ? "used" : "absent: the portable way twice");
    const struct {
        std::string data;
        const char* digest;
    } known[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (Sha256::Engine engine : {Sha256::Engine::Best, Sha256::Engine::Portable}) {
        for (const auto& k : known) {
            for (size_t read : {size_t{1}, size_t{55}, size_t{64}, size_t{65}, size_t{4096}, k.data.size() + 1}) {
                if (read == 1 && k.data.size() > 1000) continue;
                Sha256 digest(engine);
                for (size_t at = 0; at < k.data.size(); at += read) {
                    digest.Add(k.data.data() + at, std::min(read, k.data.size() - at));
                    digest.Peek();
                }
                EXPECT_EQ(digest.Hex(), k.digest) << k.data.size() << " bytes in reads of " << read;
            }
        }
    }
    std::mt19937 random(7);
    std::vector<unsigned char> bytes(3 * StagedImage::kPieceSize + 1001);
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
    Sha256 best, portable(Sha256::Engine::Portable);
    for (size_t at = 0, read = 1; at < bytes.size(); at += read, read = read * 3 + 1) {
        const size_t n = std::min(read, bytes.size() - at);
        best.Add(bytes.data() + at, n);
        portable.Add(bytes.data() + at, n);
        ASSERT_EQ(best.Hex(), portable.Hex()) << "after " << at + n << " bytes";
    }
}
