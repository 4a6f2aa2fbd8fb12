#include "device/StagedImage.h"

#include <io.h>

#include <algorithm>
#include <utility>

namespace {

// Adds bytes to a running Fletcher sum: a is the sum of the bytes, b the sum of the a's.
// Four bytes a step, the same result as one at a time.
void Fletcher(const unsigned char* p, size_t n, uint64_t* a, uint64_t* b)
{
    uint64_t x = *a, y = *b;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        y += 4 * x + 4u * p[i] + 3u * p[i + 1] + 2u * p[i + 2] + p[i + 3];
        x += static_cast<uint64_t>(p[i]) + p[i + 1] + p[i + 2] + p[i + 3];
    }
    for (; i < n; ++i) {
        x += p[i];
        y += x;
    }
    *a = x;
    *b = y;
}

uint64_t Combine(uint64_t a, uint64_t b) { return (b << 32) ^ a; }

}  // namespace

void PieceChecks::Add(const unsigned char* data, size_t n)
{
    while (n > 0) {
        const size_t take = std::min(n, static_cast<size_t>(StagedImage::kPieceSize) - m_inPiece);
        Fletcher(data, take, &m_a, &m_b);
        data += take;
        n -= take;
        m_inPiece += take;
        if (m_inPiece == StagedImage::kPieceSize) {
            m_checks.push_back(Combine(m_a, m_b));
            m_a = m_b = 0;
            m_inPiece = 0;
        }
    }
}

std::vector<uint64_t> PieceChecks::Finish()
{
    if (m_inPiece > 0) m_checks.push_back(Combine(m_a, m_b));
    m_a = m_b = 0;
    m_inPiece = 0;
    return std::move(m_checks);
}

uint64_t PieceChecks::Of(const unsigned char* data, size_t n)
{
    uint64_t a = 0, b = 0;
    Fletcher(data, n, &a, &b);
    return Combine(a, b);
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
