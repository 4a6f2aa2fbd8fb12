#include "image/StagedImage.h"

#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "image/ByteSum.h"

namespace {

// Staging reads the image in pieces of this size: few reads, and each still in the cache
// when it is summed and digested.
constexpr size_t kStagingChunk = 2u << 20;

// The largest image whose byte count fits the 32-bit header word.
constexpr uint64_t kLargestImage = 0xFFFFFFFFull;

}  // namespace

std::shared_ptr<const StagedImage> StagedImage::Stage(const wchar_t* path, const StagingHooks& hooks,
                                                      ImageFault* fault, DWORD* error)
{
    *fault = ImageFault::None;
    *error = 0;
    std::shared_ptr<StagedImage> image(new (std::nothrow) StagedImage);
    if (!image) {
        *fault = ImageFault::Read;
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    // Writers are kept out from here until the last link lets the image go.
    _doserrno = 0;
    image->m_file = _wfsopen(path, L"rb", _SH_DENYWR);
    if (!image->m_file) {
        *fault = ImageFault::Open;
        *error = _doserrno;
        return nullptr;
    }
    auto refuse = [&](ImageFault why, DWORD code) -> std::shared_ptr<const StagedImage> {
        *fault = why;
        *error = code;
        return nullptr;  // the image's destructor closes the file
    };

    // A file whose size is known is refused before any of it is read; a stream of unknown
    // size (a device, a pipe) is stopped by the count below.
    struct _stati64 st;
    const bool sized = _fstati64(_fileno(image->m_file), &st) == 0 && (st.st_mode & _S_IFREG);
    if (sized && static_cast<uint64_t>(st.st_size) > kLargestImage) return refuse(ImageFault::TooLarge, 0);
    const uint64_t total = sized ? static_cast<uint64_t>(st.st_size) : 0;

    // Without memory for the large buffer, a small one on the stack does the same job.
    std::unique_ptr<BYTE[]> large(new (std::nothrow) BYTE[kStagingChunk]);
    BYTE small[16384];
    BYTE* const chunk = large ? large.get() : small;
    const size_t chunkSize = large ? kStagingChunk : sizeof small;

    Sha256 digest;
    size_t inPiece = 0;
    uint64_t count = 0;
    uint32_t sum = 0;
    for (;;) {
        if (hooks.stop && ::WaitForSingleObject(hooks.stop, 0) == WAIT_OBJECT_0) return refuse(ImageFault::Stopped, 0);
        const size_t n = std::fread(chunk, 1, chunkSize, image->m_file);
        if (n > 0) {
            count += n;
            if (count > kLargestImage) return refuse(ImageFault::TooLarge, 0);
            sum += ::ByteSum(chunk, n);
            // The digest of every prefix that ends a piece, as the readers will find it.
            for (size_t at = 0; at < n;) {
                const size_t take = std::min(n - at, static_cast<size_t>(kPieceSize) - inPiece);
                digest.Add(chunk + at, take);
                at += take;
                inPiece += take;
                if (inPiece == kPieceSize) {
                    image->m_prefixDigests.push_back(digest.Peek());
                    inPiece = 0;
                }
            }
            if (hooks.reader) hooks.reader(chunk, n);
            image->m_lastByte = chunk[n - 1];
        }
        if (std::ferror(image->m_file)) return refuse(ImageFault::Read, ::GetLastError());
        if (hooks.progress) hooks.progress(count, total);
        if (n < chunkSize) break;
    }
    image->m_digest = digest.Peek();
    if (inPiece > 0) image->m_prefixDigests.push_back(image->m_digest);
    image->m_byteCount = static_cast<uint32_t>(count);
    image->m_byteSum = sum;
    image->m_sha256Hex = Sha256::HexOf(image->m_digest);
    return image;
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
    if (offset >= m_byteCount) return false;
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
    return true;
}

ImageReader::ImageReader(std::shared_ptr<const StagedImage> image) : m_image(std::move(image)) {}

bool ImageReader::Fail(ImageFault fault, DWORD error)
{
    m_fault = fault;
    m_error = error;
    m_end = true;
    return false;
}

// The piece is digested before any of it is handed on, and compared with what staging found
// for the same prefix of the image.
bool ImageReader::LoadPiece(uint32_t index)
{
    if (!m_piece) m_piece.reset(new (std::nothrow) unsigned char[StagedImage::kPieceSize]);
    if (!m_piece) return Fail(ImageFault::Read, ERROR_NOT_ENOUGH_MEMORY);
    DWORD length = 0, error = 0;
    if (index >= m_image->m_prefixDigests.size() || !m_image->ReadPiece(index, m_piece.get(), &length, &error))
        return Fail(error ? ImageFault::Read : ImageFault::Changed, error);
    m_sent.Add(m_piece.get(), length);
    if (m_sent.Peek() != m_image->m_prefixDigests[index]) return Fail(ImageFault::Changed, 0);
    m_pieceLoaded = index + 1;
    return true;
}

bool ImageReader::Next(BYTE* out, size_t size, size_t* n)
{
    *n = 0;
    if (m_end || !m_image) return false;
    const uint64_t left = m_image->m_byteCount - m_position;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(size, left));
    for (size_t copied = 0; copied < take;) {
        const uint32_t index = static_cast<uint32_t>(m_position / StagedImage::kPieceSize);
        if (m_pieceLoaded != index + 1 && !LoadPiece(index)) return false;
        const size_t offset = static_cast<size_t>(m_position % StagedImage::kPieceSize);
        const size_t part = std::min(take - copied, static_cast<size_t>(StagedImage::kPieceSize) - offset);
        std::memcpy(out + copied, m_piece.get() + offset, part);
        copied += part;
        m_position += part;
    }
    if (take < size) {
        // The last bytes: they go out only if everything read is the image that was shown.
        m_end = true;
        if (m_position != m_image->m_byteCount || m_sent.Peek() != m_image->m_digest)
            return Fail(ImageFault::Changed, 0);
    }
    *n = take;
    return true;
}
