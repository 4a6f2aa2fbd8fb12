// Helpers of the link engine tests: scratch files, a watcher that answers the engine's
// error boxes, an image served through a pipe, and the expected wire content.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "EmulatedHandheld.h"
#include "OwnedHandle.h"

using Bytes = std::vector<uint8_t>;

// A fresh directory under %TEMP%, removed with everything in it at the end of the test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// Deterministic bytes covering 0..255 in no simple order, different for each seed.
Bytes Pattern(size_t size, uint32_t seed = 1);
Bytes Slice(const Bytes& b, size_t from, size_t count);
Bytes Concat(std::initializer_list<Bytes> parts);

void WriteBytes(const std::wstring& path, const Bytes& bytes);
Bytes ReadBytes(const std::wstring& path);

// A file of the given size whose content is one hole: costs no disk space.
bool MakeSparseFile(const std::wstring& path, uint64_t size);

// True when another program could open the file for writing right now.
bool WriterCanOpen(const std::wstring& path);

// Answers message boxes of this process with caption "Error" from a thread of its own:
// records each box's text and presses its OK. Boxes are modal, so once the call that
// showed one has returned, Texts() holds it.
class ErrorBoxWatcher {
public:
    ErrorBoxWatcher();
    ~ErrorBoxWatcher();
    ErrorBoxWatcher(const ErrorBoxWatcher&) = delete;
    ErrorBoxWatcher& operator=(const ErrorBoxWatcher&) = delete;
    std::vector<std::wstring> Texts() const;

private:
    static DWORD WINAPI Run(LPVOID self);
    void Poll();

    mutable CRITICAL_SECTION m_lock;
    std::vector<std::wstring> m_texts;
    std::vector<HWND> m_answered;
    OwnedHandle m_stop;
    OwnedHandle m_thread;
};

// An image file name that is a pipe: it hands out `bytes`, then drops the connection,
// which the reader sees as a read error (not as the end of the file).
class FailingImagePipe {
public:
    explicit FailingImagePipe(Bytes bytes);
    ~FailingImagePipe();
    FailingImagePipe(const FailingImagePipe&) = delete;
    FailingImagePipe& operator=(const FailingImagePipe&) = delete;
    const std::wstring& Path() const { return m_path; }
    bool Served() const;  // the reader connected and took every byte

private:
    static DWORD WINAPI Run(LPVOID self);
    bool Serve();

    std::wstring m_path;
    Bytes m_bytes;
    OwnedHandle m_pipe;
    OwnedHandle m_stop;
    OwnedHandle m_thread;
    volatile LONG m_served = 0;
};

// Points the stream's file descriptor at another open file: from then on the engine's
// reads get that file's bytes, or fail when it was opened for writing only.
bool RedirectStream(FILE* stream, const std::wstring& path, bool writeOnly);

// Replays the device lookup step by step and says where it fails (for failure messages).
std::string DescribeLookup();

// The device path SetupAPI reports for the emulator started with --path-length `length`.
std::string LongDevicePath(int length);

inline uint64_t ToNumber(const std::string& s) { return std::stoull(s); }
