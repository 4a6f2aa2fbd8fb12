// Small owners for Win32 handles and GDI objects: each releases what it holds exactly once.
#pragma once
#include <windows.h>
#include <utility>

// A kernel handle whose "none" value is Null (most calls) or INVALID_HANDLE_VALUE (files).
template <HANDLE Null>
class UniqueHandleT {
public:
    UniqueHandleT() = default;
    explicit UniqueHandleT(HANDLE h) : m_h(h) {}
    ~UniqueHandleT() { reset(); }
    UniqueHandleT(UniqueHandleT&& o) noexcept : m_h(o.release()) {}
    UniqueHandleT& operator=(UniqueHandleT&& o) noexcept { reset(o.release()); return *this; }
    UniqueHandleT(const UniqueHandleT&) = delete;
    UniqueHandleT& operator=(const UniqueHandleT&) = delete;

    HANDLE get() const { return m_h; }
    bool valid() const { return m_h != Null && m_h != nullptr; }
    explicit operator bool() const { return valid(); }
    HANDLE release() { return std::exchange(m_h, Null); }
    void reset(HANDLE h = Null) {
        if (valid()) ::CloseHandle(m_h);
        m_h = h;
    }

private:
    HANDLE m_h = Null;
};
using UniqueHandle = UniqueHandleT<nullptr>;
using UniqueFileHandle = UniqueHandleT<INVALID_HANDLE_VALUE>;

// A GDI object (bitmap, font, brush) deleted with DeleteObject.
template <class T>
class GdiObject {
public:
    GdiObject() = default;
    explicit GdiObject(T h) : m_h(h) {}
    ~GdiObject() { if (m_h) ::DeleteObject(m_h); }
    GdiObject(GdiObject&& o) noexcept : m_h(std::exchange(o.m_h, nullptr)) {}
    GdiObject& operator=(GdiObject&& o) noexcept { std::swap(m_h, o.m_h); return *this; }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;

    T get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }

private:
    T m_h = nullptr;
};

// Selects an object into a device context and selects the previous one back on scope exit.
class SelectObjectGuard {
public:
    SelectObjectGuard(HDC dc, HGDIOBJ obj) : m_dc(dc), m_old(::SelectObject(dc, obj)) {}
    ~SelectObjectGuard() { if (m_old) ::SelectObject(m_dc, m_old); }
    SelectObjectGuard(const SelectObjectGuard&) = delete;
    SelectObjectGuard& operator=(const SelectObjectGuard&) = delete;

private:
    HDC m_dc;
    HGDIOBJ m_old;
};

// BeginPaint/EndPaint for one WM_PAINT.
class CPaintDC {
public:
    explicit CPaintDC(HWND wnd) : m_wnd(wnd), m_dc(::BeginPaint(wnd, &m_ps)) {}
    ~CPaintDC() { ::EndPaint(m_wnd, &m_ps); }
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    HDC get() const { return m_dc; }

private:
    HWND m_wnd;
    PAINTSTRUCT m_ps{};
    HDC m_dc;
};

// A memory device context from CreateCompatibleDC, deleted with DeleteDC.
class MemoryDC {
public:
    explicit MemoryDC(HDC compatibleWith) : m_dc(::CreateCompatibleDC(compatibleWith)) {}
    ~MemoryDC() { if (m_dc) ::DeleteDC(m_dc); }
    MemoryDC(const MemoryDC&) = delete;
    MemoryDC& operator=(const MemoryDC&) = delete;
    HDC get() const { return m_dc; }
    explicit operator bool() const { return m_dc != nullptr; }

private:
    HDC m_dc;
};
