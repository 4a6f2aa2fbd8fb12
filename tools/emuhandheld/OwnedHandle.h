// OwnedHandle: a kernel handle closed exactly once with CloseHandle. Null and
// INVALID_HANDLE_VALUE both mean "none". Used by the emulated handheld and its launcher,
// which build without the wizard's framework.
#pragma once
#include <windows.h>
#include <utility>

class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE h) : m_h(h) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(OwnedHandle&& o) noexcept : m_h(o.release()) {}
    OwnedHandle& operator=(OwnedHandle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    HANDLE get() const { return m_h; }
    bool valid() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }
    HANDLE release() { return std::exchange(m_h, nullptr); }
    void reset(HANDLE h = nullptr) {
        if (valid()) ::CloseHandle(m_h);
        m_h = h;
    }

private:
    HANDLE m_h = nullptr;
};
