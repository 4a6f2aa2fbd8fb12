// StagedImage: an image read once, before anything is sent: its byte count and sum (which the
// header announces), its SHA-256 (which the user is shown and the log records) and the SHA-256
// of every 64 KiB prefix of it. The file stays open without write sharing for as long as any
// link holds the image, and nothing but an ImageReader hands its bytes on.
//
// An ImageReader is one link's way through the image. It reads a whole piece through the
// handle that staging opened, at its own position, and digests it as it goes; the piece's
// blocks are handed on only once the digest of everything up to the piece's end is the one
// staging found. So a file changed after staging (in place, by a server below Windows'
// sharing rules, or by anyone with a file crafted to keep its length and sums) stops the
// transfer before its first changed block, and the last block goes out only when the SHA-256
// of every byte sent is the one that was shown.
#pragma once
#include <windows.h>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "image/Sha256.h"

// Why staging or a reader stopped short of the image as staged.
enum class ImageFault {
    None,
    Open,      // the file could not be opened (the error tells why)
    TooLarge,  // 4 GiB or more: the header's count has 32 bits
    Read,      // a read error
    Changed,   // the bytes read are not the ones staging digested
    Stopped,   // the stop event ended staging
};

// What staging tells while it reads.
struct StagingHooks {
    HANDLE stop = nullptr;  // a manual-reset event: once set, staging ends between two reads
    std::function<void(uint64_t done, uint64_t total)> progress;  // total 0: size not known
    std::function<void(const BYTE* data, size_t size)> reader;    // every byte, in order
};

class StagedImage {
public:
    enum { kPieceSize = 64 << 10 };

    // Opens `path` denying writers and reads it once. nullptr, with *fault and the Windows
    // error in *error, when it cannot be staged; the file is then closed again.
    static std::shared_ptr<const StagedImage> Stage(const wchar_t* path, const StagingHooks& hooks, ImageFault* fault,
                                                    DWORD* error);
    ~StagedImage();  // closes the file
    StagedImage(const StagedImage&) = delete;
    StagedImage& operator=(const StagedImage&) = delete;

    uint32_t ByteCount() const { return m_byteCount; }
    uint32_t ByteSum() const { return m_byteSum; }
    uint8_t LastByte() const { return m_lastByte; }
    // The SHA-256 in lower-case hex: the one shown, checked against the publisher's files and logged.
    const std::string& Sha256Hex() const { return m_sha256Hex; }
    // The stream staging read, for tests that point it at other bytes.
    FILE* Stream() const { return m_file; }

private:
    friend class ImageReader;
    StagedImage() = default;
    // Reads piece `index` whole into `piece`: false with *error (0: the file is shorter now).
    bool ReadPiece(uint32_t index, unsigned char* piece, DWORD* length, DWORD* error) const;

    FILE* m_file = nullptr;
    uint32_t m_byteCount = 0, m_byteSum = 0;
    uint8_t m_lastByte = 0;
    Sha256::Digest m_digest{};
    std::string m_sha256Hex;
    std::vector<Sha256::Digest> m_prefixDigests;  // of the bytes up to each piece's end
};

class ImageReader {
public:
    explicit ImageReader(std::shared_ptr<const StagedImage> image);
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    // The next `size` bytes into `out`: true with *n of them, fewer than `size` only for the
    // last (then possibly none). False once past the end, or on a fault: then nothing of it is to be sent.
    bool Next(BYTE* out, size_t size, size_t* n);
    ImageFault Fault() const { return m_fault; }
    DWORD Error() const { return m_error; }
    const StagedImage& Image() const { return *m_image; }

private:
    bool Fail(ImageFault fault, DWORD error);
    bool LoadPiece(uint32_t index);

    std::shared_ptr<const StagedImage> m_image;
    Sha256 m_sent;  // of every byte handed on so far, and of the piece ahead of them
    std::unique_ptr<unsigned char[]> m_piece;
    uint32_t m_pieceLoaded = 0;  // index + 1 of the piece in m_piece; 0 for none
    uint64_t m_position = 0;
    bool m_end = false;
    ImageFault m_fault = ImageFault::None;
    DWORD m_error = 0;
};
