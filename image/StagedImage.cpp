#include "image/StagedImage.h"

#include <io.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr uint64_t kPrime = 0x100000001B3ull;

// FNV-1a over 64-bit words: a multiply every eight bytes, so that the check costs staging
// little beside the SHA-256, and unlike the byte sum it tells bytes that changed places.
uint64_t MixWords(uint64_t h, const unsigned char* p, size_t words)
{
    for (size_t i = 0; i < words; ++i) {
        uint64_t w;
        std::memcpy(&w, p + 8 * i, 8);
        h = (h ^ w) * kPrime;
    }
    return h;
}

}  // namespace

void PieceChecks::Add(const unsigned char* data, size_t n)
{
    while (n > 0) {
        const size_t take = std::min(n, static_cast<size_t>(StagedImage::kPieceSize) - m_inPiece);
        Mix(data, take);
        data += take;
        n -= take;
        m_inPiece += take;
        if (m_inPiece == StagedImage::kPieceSize) EndPiece();
    }
}

// Whole words straight from the data; the bytes of a word split between two calls gather first.
void PieceChecks::Mix(const unsigned char* p, size_t n)
{
    while (n > 0 && m_fill > 0) {
        m_word[m_fill++] = *p++;
        --n;
        if (m_fill == 8) {
            m_hash = MixWords(m_hash, m_word, 1);
            m_fill = 0;
        }
    }
    m_hash = MixWords(m_hash, p, n / 8);
    for (size_t i = n - n % 8; i < n; ++i) m_word[m_fill++] = p[i];
}

void PieceChecks::EndPiece()
{
    if (m_fill > 0) {
        std::memset(m_word + m_fill, 0, sizeof m_word - m_fill);
        m_hash = MixWords(m_hash, m_word, 1);
    }
    m_checks.push_back(m_hash ^ m_inPiece);
    m_hash = kOffset;
    m_fill = 0;
    m_inPiece = 0;
}

std::vector<uint64_t> PieceChecks::Finish()
{
    if (m_inPiece > 0) EndPiece();
    return std::move(m_checks);
}

uint64_t PieceChecks::Of(const unsigned char* data, size_t n)
{
    PieceChecks one;
    one.Mix(data, n);
    one.m_inPiece = n;
    one.EndPiece();
    return one.m_checks.front();
}

StagedImage::StagedImage(FILE* file, uint32_t byteCount, uint32_t byteSum, std::string sha256,
                         std::vector<uint64_t> pieceChecks)
    : m_file(file), m_byteCount(byteCount), m_byteSum(byteSum), m_sha256(std::move(sha256)),
      m_pieceChecks(std::move(pieceChecks))
{
}

StagedImage::~StagedImage()
{
    if (m_file) std::fclose(m_file);
}

bool StagedImage::ReadPiece(uint32_t index, unsigned char* piece, DWORD* length, DWORD* error) const
{
    *length = 0;
    *error = 0;
    const uint64_t offset = static_cast<uint64_t>(index) * kPieceSize;
    if (index >= m_pieceChecks.size() || offset >= m_byteCount) return false;
    const DWORD want = static_cast<DWORD>(std::min<uint64_t>(kPieceSize, m_byteCount - offset));
    // A read at an offset of its own: the threads that share the handle never move each
    // other's position.
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(m_file)));
    DWORD got = 0;
    while (got < want) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset + got);
        at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
        DWORD n = 0;
        if (!::ReadFile(file, piece + got, want - got, &n, &at)) {
            *error = ::GetLastError();
            // Shorter than staging found: the file lost bytes, so they differ.
            if (*error == ERROR_HANDLE_EOF) *error = 0;
            return false;
        }
        if (n == 0) return false;
        got += n;
    }
    *length = got;
    return PieceChecks::Of(piece, got) == m_pieceChecks[index];
}
