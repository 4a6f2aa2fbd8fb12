// Reading DER, as far as a signature and its certificates need: one item after another, each
// a tag (one byte: no tag number past 30 is ever needed here), a definite length in its
// shortest form and its content. Anything else is a failure, never a guess: BER's indefinite
// lengths, and lengths written longer than they need be, are not DER.
#pragma once
#include <windows.h>
#include <cstddef>
#include <string>

struct DerItem {
    BYTE tag = 0;
    const BYTE* data = nullptr;  // the content
    size_t size = 0;
    const BYTE* whole = nullptr;  // tag, length and content
    size_t wholeSize = 0;

    std::string Bytes() const { return std::string(reinterpret_cast<const char*>(data), size); }
    bool Is(BYTE t, const std::string& content) const { return tag == t && Bytes() == content; }
};

class DerReader {
public:
    DerReader(const BYTE* data, size_t size) : m_p(data), m_end(data + size) {}
    explicit DerReader(const DerItem& item) : DerReader(item.data, item.size) {}

    bool AtEnd() const { return m_p == m_end; }
    bool Failed() const { return m_failed; }
    // The tag of the next item, or 0 at the end.
    BYTE PeekTag() const { return AtEnd() ? 0 : *m_p; }

    // The next item; false at the end or on bad encoding (then Failed).
    bool Next(DerItem* item)
    {
        if (m_failed || AtEnd()) return false;
        const BYTE* p = m_p;
        item->tag = *p++;
        if ((item->tag & 0x1F) == 0x1F || p == m_end) return Fail();
        size_t length = *p++;
        if (length & 0x80) {
            const size_t count = length & 0x7F;
            if (count == 0 || count > 4 || static_cast<size_t>(m_end - p) < count || *p == 0) return Fail();
            length = 0;
            for (size_t i = 0; i < count; ++i) length = (length << 8) | *p++;
            if (length < 0x80) return Fail();  // the short form was due
        }
        if (static_cast<size_t>(m_end - p) < length) return Fail();
        item->whole = m_p;
        item->data = p;
        item->size = length;
        item->wholeSize = static_cast<size_t>(p - m_p) + length;
        m_p = p + length;
        return true;
    }
    // The next item, which must have this tag.
    bool Expect(BYTE tag, DerItem* item)
    {
        if (PeekTag() != tag) return Fail();
        return Next(item);
    }
    // The next item if it has this tag; false (not a failure) if it has another.
    bool Optional(BYTE tag, DerItem* item) { return PeekTag() == tag && Next(item); }

private:
    bool Fail()
    {
        m_failed = true;
        return false;
    }

    const BYTE* m_p;
    const BYTE* m_end;
    bool m_failed = false;
};

// Tags.
constexpr BYTE kDerBoolean = 0x01, kDerInteger = 0x02, kDerBitString = 0x03, kDerOctetString = 0x04,
               kDerNull = 0x05, kDerOid = 0x06, kDerSequence = 0x30, kDerSet = 0x31;
// [n], constructed and primitive.
constexpr BYTE DerContext(int n) { return static_cast<BYTE>(0xA0 | n); }
constexpr BYTE DerContextPrimitive(int n) { return static_cast<BYTE>(0x80 | n); }

// An INTEGER in its shortest form (no leading 00 or FF that the next byte does not need).
inline bool DerMinimalInteger(const DerItem& item)
{
    if (item.tag != kDerInteger || item.size == 0) return false;
    if (item.size == 1) return true;
    return !(item.data[0] == 0x00 && !(item.data[1] & 0x80)) && !(item.data[0] == 0xFF && (item.data[1] & 0x80));
}

// A small non-negative INTEGER (a version, a path length): false when it is none.
inline bool DerSmallInteger(const DerItem& item, long* value)
{
    if (!DerMinimalInteger(item) || item.size > 2 || (item.data[0] & 0x80)) return false;
    *value = item.size == 1 ? item.data[0] : (item.data[0] << 8 | item.data[1]);
    return true;
}

// An OBJECT IDENTIFIER with content, each of its numbers in its shortest form and ended.
inline bool DerSoundOid(const DerItem& item)
{
    if (item.tag != kDerOid || item.size == 0 || (item.data[item.size - 1] & 0x80)) return false;
    for (size_t i = 0; i < item.size; ++i)
        if (item.data[i] == 0x80 && (i == 0 || !(item.data[i - 1] & 0x80))) return false;
    return true;
}

