// SHA-256 of our own: the image is digested once while it is staged and again by every link
// as it sends it, so the digest must cost little beside a block write. With the processor's
// SHA instructions it runs several times faster than CryptoAPI's; without them, as fast.
// Data goes in in pieces of any size; Peek gives the digest of what went in so far and lets
// more follow.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    using Digest = std::array<uint8_t, 32>;
    // Portable: without the SHA instructions even where the processor has them (for tests).
    enum class Engine { Best, Portable };

    explicit Sha256(Engine engine = Engine::Best);
    void Add(const void* data, size_t size);
    // The digest of every byte added so far; more may be added afterwards.
    Digest Peek() const;
    // The digest in 64 lower-case hex digits.
    std::string Hex() const { return HexOf(Peek()); }

    static std::string HexOf(const Digest& digest);
    // Whether the processor's SHA instructions do the work (for the benchmarks).
    static bool Accelerated();

private:
    void (*m_compress)(uint32_t* state, const uint8_t* blocks, size_t count);
    uint32_t m_state[8];
    uint8_t m_block[64];
    size_t m_fill = 0;  // bytes waiting in m_block
    uint64_t m_length = 0;
};

// Whether `text` is a SHA-256 digest in hex (either case), and that digest in lower case.
bool ParseSha256(const std::wstring& text, std::string* digest);
