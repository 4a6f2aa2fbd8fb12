#include "image/Sha256.h"

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void CompressPortable(uint32_t state[8], const uint8_t* data, size_t blocks)
{
    for (; blocks > 0; --blocks, data += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(data[4 * i]) << 24 | uint32_t(data[4 * i + 1]) << 16 | uint32_t(data[4 * i + 2]) << 8 |
                   data[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

// The same with the SHA extensions: four rounds per pair of sha256rnds2, the message schedule
// in four registers that take turns. The state lives as ABEF and CDGH, the order the
// instructions want. A 32-bit caller (a thread start) may hand over a stack aligned to 4 bytes
// only: the function realigns its own before it spills a vector.
__attribute__((force_align_arg_pointer, target("sha,sse4.1,ssse3"))) void CompressSha(uint32_t state[8], const uint8_t* data, size_t blocks)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bull, 0x0405060700010203ull);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);                 // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);           // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);   // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);        // CDGH

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abefSaved = state0, cdghSaved = state1;
        __m128i m[4];
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i) {
            if (i < 4)
                m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
            __m128i msg = _mm_add_epi32(m[i % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * i])));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            if (i >= 3 && i <= 14) {
                __m128i& next = m[(i + 1) % 4];
                next = _mm_add_epi32(next, _mm_alignr_epi8(m[i % 4], m[(i + 3) % 4], 4));
                next = _mm_sha256msg2_epu32(next, m[i % 4]);
            }
            msg = _mm_shuffle_epi32(msg, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
            if (i >= 1 && i <= 12) m[(i + 3) % 4] = _mm_sha256msg1_epu32(m[(i + 3) % 4], m[i % 4]);
        }
        state0 = _mm_add_epi32(state0, abefSaved);
        state1 = _mm_add_epi32(state1, cdghSaved);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);              // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);           // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);        // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

bool HasShaInstructions()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = c & bit_SSSE3, sse41 = c & bit_SSE4_1;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & bit_SHA);
}

using Compressor = void (*)(uint32_t*, const uint8_t*, size_t);

// Chosen once; the choice is the same for every thread.
Compressor Compress()
{
    static const Compressor chosen = HasShaInstructions() ? CompressSha : CompressPortable;
    return chosen;
}

}  // namespace

Sha256::Sha256(Engine engine) : m_compress(engine == Engine::Portable ? CompressPortable : Compress())
{
    static constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(m_state, kInitial, sizeof m_state);
}

void Sha256::Add(const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    m_length += size;
    if (m_fill > 0) {
        const size_t take = std::min(size, sizeof m_block - m_fill);
        std::memcpy(m_block + m_fill, p, take);
        m_fill += take;
        p += take;
        size -= take;
        if (m_fill < sizeof m_block) return;
        m_compress(m_state, m_block, 1);
        m_fill = 0;
    }
    // Whole blocks straight from the caller's bytes.
    m_compress(m_state, p, size / 64);
    p += size - size % 64;
    m_fill = size % 64;
    std::memcpy(m_block, p, m_fill);
}

Sha256::Digest Sha256::Peek() const
{
    // The padding goes into a copy: the running state carries on untouched.
    uint32_t state[8];
    std::memcpy(state, m_state, sizeof state);
    uint8_t tail[128] = {};
    std::memcpy(tail, m_block, m_fill);
    tail[m_fill] = 0x80;
    const size_t blocks = m_fill < 56 ? 1 : 2;
    const uint64_t bits = m_length * 8;
    for (int i = 0; i < 8; ++i) tail[64 * blocks - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    m_compress(state, tail, blocks);
    Digest digest;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state[i] >> (24 - 8 * j));
    return digest;
}

std::string Sha256::HexOf(const Digest& digest)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (uint8_t b : digest) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

bool Sha256::Accelerated() { return Compress() == CompressSha; }

bool ParseSha256(const std::wstring& text, std::string* digest)
{
    if (text.size() != 64) return false;
    std::string lower;
    for (wchar_t c : text) {
        if (c >= L'A' && c <= L'F') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
        lower += static_cast<char>(c);
    }
    *digest = lower;
    return true;
}
