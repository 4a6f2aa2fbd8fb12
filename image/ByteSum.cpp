#include "image/ByteSum.h"

#include <immintrin.h>

// A 32-bit caller (a window procedure, a thread start) may hand over a stack aligned to 4 bytes
// only; the vector versions realign theirs before spilling anything.
#if defined(__i386__)
#define VECTOR_ENTRY __attribute__((force_align_arg_pointer))
#else
#define VECTOR_ENTRY
#endif

namespace bytesum {

uint64_t Plain(const unsigned char* p, size_t n)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += p[i];
    return sum;
}

// The processor's features, as the C runtime read them at start.
bool HasSse2() { return __builtin_cpu_supports("sse2"); }
bool HasAvx2() { return __builtin_cpu_supports("avx2"); }

// (V)PSADBW against zero adds eight unsigned bytes at a time, so that staging costs little
// more than reading the file.
VECTOR_ENTRY __attribute__((target("sse2"))) uint64_t Sse2(const unsigned char* p, size_t n)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero, b = zero;
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        a = _mm_add_epi64(a, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), zero));
        b = _mm_add_epi64(b, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16)), zero));
    }
    uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi64(a, b));
    return lanes[0] + lanes[1] + Plain(p + i, n - i);
}

VECTOR_ENTRY __attribute__((target("avx2"))) uint64_t Avx2(const unsigned char* p, size_t n)
{
    const __m256i zero = _mm256_setzero_si256();
    __m256i a = zero, b = zero;
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        a = _mm256_add_epi64(a, _mm256_sad_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)), zero));
        b = _mm256_add_epi64(b,
                             _mm256_sad_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32)), zero));
    }
    uint64_t lanes[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), _mm256_add_epi64(a, b));
    return lanes[0] + lanes[1] + lanes[2] + lanes[3] + Plain(p + i, n - i);
}

}  // namespace bytesum

uint32_t ByteSum(const unsigned char* p, size_t n)
{
    if (bytesum::HasAvx2()) return static_cast<uint32_t>(bytesum::Avx2(p, n));
    if (bytesum::HasSse2()) return static_cast<uint32_t>(bytesum::Sse2(p, n));
    return static_cast<uint32_t>(bytesum::Plain(p, n));
}
