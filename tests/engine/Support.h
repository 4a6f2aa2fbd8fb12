// Helpers of the link engine tests: scratch files, a watcher that answers the engine's
// error boxes, an image served through a pipe, and the expected wire content.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/emuhandheld/EmulatedHandheld.h"
#include "tools/emuhandheld/OwnedHandle.h"

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

// True while `h` is an open handle of this process.
bool HandleIsOpen(HANDLE h);

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

// Makes one write to the device go wrong in a way the emulated handheld cannot: a pipe
// either takes a whole write or fails it, where a driver may also report success with
// fewer bytes. While the object lives, this program's import of WriteFile points at a
// stand-in (the engine is linked in, so its writes go through that import). Writes to
// other handles pass through untouched; of the writes to `device`, the one numbered `index`
// (from 0) either fails having sent nothing (Fail), or sends only its first `delivered`
// bytes and reports success with that count (Short). Every other write goes through.
class WriteFault {
public:
    enum Kind { Fail, Short };
    WriteFault(HANDLE device, int index, Kind kind, DWORD delivered = 0);
    ~WriteFault();
    WriteFault(const WriteFault&) = delete;
    WriteFault& operator=(const WriteFault&) = delete;
    bool Installed() const { return !m_slots.empty(); }
    int Writes() const { return m_writes; }  // writes to the device seen so far

private:
    static BOOL WINAPI StandIn(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
    static WriteFault* s_active;

    HANDLE m_device;
    int m_index;
    Kind m_kind;
    DWORD m_delivered;
    int m_writes = 0;
    decltype(&::WriteFile) m_real = nullptr;
    std::vector<FARPROC*> m_slots;
};

// Replays the device lookup step by step and says where it fails (for failure messages).
std::string DescribeLookup();

// The device path SetupAPI reports for the emulator started with --path-length `length`.
std::string LongDevicePath(int length);
