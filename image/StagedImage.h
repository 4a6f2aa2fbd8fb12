// StagedImage: an image staged once and sent over many links, each on its own thread. The
// file stays open without write sharing for as long as any link holds it, and every link
// reads it through that one handle at a position of its own: no link opens the file by its
// path again, so a path that leads elsewhere after staging changes nothing that is sent.
//
// Staging also keeps a check of every 64 KiB piece of the image. A link reads a whole piece
// before any of its blocks goes out and compares it with that check, so bytes that changed
// anyway (a file on a share changed by its server) are found before the first block that
// differs is sent.
#pragma once
#include <windows.h>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class StagedImage {
public:
    enum { kPieceSize = 64 << 10 };

    StagedImage(FILE* file, uint32_t byteCount, uint32_t byteSum, std::string sha256,
                std::vector<uint64_t> pieceChecks);
    ~StagedImage();  // closes the file
    StagedImage(const StagedImage&) = delete;
    StagedImage& operator=(const StagedImage&) = delete;

    uint32_t ByteCount() const { return m_byteCount; }
    uint32_t ByteSum() const { return m_byteSum; }
    const std::string& Sha256() const { return m_sha256; }
    // The stream staging read, for tests that point it at other bytes.
    FILE* Stream() const { return m_file; }

    // Reads piece `index` into `piece` (kPieceSize bytes of room) and compares it with what
    // staging found: true with *length set when it is the same, else false with *error set to
    // the read's Windows error (0 when the bytes differ). Safe from any number of threads.
    bool ReadPiece(uint32_t index, unsigned char* piece, DWORD* length, DWORD* error) const;

private:
    FILE* m_file;
    uint32_t m_byteCount, m_byteSum;
    std::string m_sha256;
    std::vector<uint64_t> m_pieceChecks;
};

// The check of each piece, made as the bytes go by.
class PieceChecks {
public:
    void Add(const unsigned char* data, size_t n);
    // The checks of every piece, the last (short) one included.
    std::vector<uint64_t> Finish();
    // The check of one whole piece of n bytes.
    static uint64_t Of(const unsigned char* data, size_t n);

private:
    static constexpr uint64_t kOffset = 0xCBF29CE484222325ull;
    void Mix(const unsigned char* p, size_t n);
    void EndPiece();

    std::vector<uint64_t> m_checks;
    uint64_t m_hash = kOffset;
    unsigned char m_word[8] = {};
    size_t m_fill = 0;  // bytes gathered in m_word
    size_t m_inPiece = 0;
};
