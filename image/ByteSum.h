// The image's byte sum: every byte counted as 0..255, modulo 2^32. Staging and the sending pass
// both use it. The vector versions are chosen at run time, only where the processor has them
// (an XP-era processor may lack even SSE2); every version gives the same result.
#pragma once
#include <cstddef>
#include <cstdint>

uint32_t ByteSum(const unsigned char* p, size_t n);

// The versions ByteSum chooses from, for tests and benchmarks. Each is callable only where its
// Has... function says so.
namespace bytesum {
uint64_t Plain(const unsigned char* p, size_t n);
bool HasSse2();
uint64_t Sse2(const unsigned char* p, size_t n);
bool HasAvx2();
uint64_t Avx2(const unsigned char* p, size_t n);
}  // namespace bytesum
