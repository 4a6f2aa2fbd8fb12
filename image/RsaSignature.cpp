#include "image/RsaSignature.h"

#include <algorithm>
#include <cstdint>

#include "image/Der.h"

namespace {

using Limbs = std::vector<uint32_t>;  // least significant first

Limbs FromBytes(const std::vector<BYTE>& bytes, size_t limbs)
{
    Limbs x(limbs, 0);
    for (size_t i = 0; i < bytes.size() && i / 4 < limbs; ++i)
        x[i / 4] |= static_cast<uint32_t>(bytes[bytes.size() - 1 - i]) << (8 * (i % 4));
    return x;
}

std::vector<BYTE> ToBytes(const Limbs& x, size_t length)
{
    std::vector<BYTE> bytes(length, 0);
    for (size_t i = 0; i < length && i / 4 < x.size(); ++i)
        bytes[length - 1 - i] = static_cast<BYTE>(x[i / 4] >> (8 * (i % 4)));
    return bytes;
}

// a >= b, both of a's size (b's missing top limbs taken as zero).
bool NotLess(const Limbs& a, const Limbs& b)
{
    for (size_t i = a.size(); i-- > 0;) {
        const uint32_t bi = i < b.size() ? b[i] : 0;
        if (a[i] != bi) return a[i] > bi;
    }
    return true;
}

void Subtract(Limbs& a, const Limbs& b)
{
    int64_t borrow = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const int64_t d = static_cast<int64_t>(a[i]) - (i < b.size() ? b[i] : 0) - borrow;
        a[i] = static_cast<uint32_t>(d);
        borrow = d < 0 ? 1 : 0;
    }
}

// x mod n, a bit at a time: short, and fast enough for a public exponent.
Limbs Reduce(const Limbs& x, const Limbs& n)
{
    Limbs r(n.size() + 1, 0);
    for (size_t bit = x.size() * 32; bit-- > 0;) {
        uint32_t carry = (x[bit / 32] >> (bit % 32)) & 1;
        for (uint32_t& limb : r) {
            const uint32_t out = limb >> 31;
            limb = (limb << 1) | carry;
            carry = out;
        }
        if (NotLess(r, n)) Subtract(r, n);
    }
    r.pop_back();
    return r;
}

Limbs MultiplyMod(const Limbs& a, const Limbs& b, const Limbs& n)
{
    Limbs product(a.size() + b.size(), 0);
    for (size_t i = 0; i < a.size(); ++i) {
        uint64_t carry = 0;
        for (size_t j = 0; j < b.size(); ++j) {
            const uint64_t t = static_cast<uint64_t>(a[i]) * b[j] + product[i + j] + carry;
            product[i + j] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
        product[i + b.size()] = static_cast<uint32_t>(carry);
    }
    return Reduce(product, n);
}

// The signature raised to the public exponent, as k bytes (the modulus's length); empty when
// the signature is not a number below the modulus.
std::vector<BYTE> PublicOperation(const RsaPublicKey& key, const std::vector<BYTE>& signature)
{
    const size_t k = key.modulus.size();
    if (signature.size() != k) return {};
    const size_t limbs = (k + 3) / 4;
    const Limbs n = FromBytes(key.modulus, limbs), s = FromBytes(signature, limbs);
    if (NotLess(s, n)) return {};
    uint32_t e = 0;
    for (BYTE b : key.exponent) e = (e << 8) | b;
    int top = 31;
    while (!((e >> top) & 1)) --top;
    Limbs m = s;
    for (int bit = top - 1; bit >= 0; --bit) {
        m = MultiplyMod(m, m, n);
        if ((e >> bit) & 1) m = MultiplyMod(m, s, n);
    }
    return ToBytes(m, k);
}

std::vector<BYTE> Unsigned(const DerItem& integer)
{
    const BYTE* p = integer.data;
    size_t n = integer.size;
    while (n > 0 && *p == 0) ++p, --n;
    return std::vector<BYTE>(p, p + n);
}

size_t BitLength(const std::vector<BYTE>& x)
{
    if (x.empty()) return 0;
    size_t bits = x.size() * 8;
    for (BYTE top = x[0]; !(top & 0x80); top <<= 1) --bits;
    return bits;
}

}  // namespace

bool ParseRsaPublicKey(const BYTE* der, size_t size, RsaPublicKey* key)
{
    DerReader outer(der, size);
    DerItem seq, n, e;
    if (!outer.Expect(kDerSequence, &seq) || !outer.AtEnd()) return false;
    DerReader fields(seq);
    if (!fields.Expect(kDerInteger, &n) || !fields.Expect(kDerInteger, &e) || !fields.AtEnd()) return false;
    if (n.size == 0 || (n.data[0] & 0x80) || e.size == 0 || (e.data[0] & 0x80)) return false;  // negative
    key->modulus = Unsigned(n);
    key->exponent = Unsigned(e);
    const size_t bits = BitLength(key->modulus);
    return bits >= 1024 && bits <= 8192 && key->exponent.size() <= 4 && !key->exponent.empty() &&
           (key->exponent.back() & 1) && !(key->exponent.size() == 1 && key->exponent[0] < 3);
}

bool VerifyPkcs1(const RsaPublicKey& key, const std::vector<BYTE>& signature, const std::string& hashOid,
                 const std::vector<BYTE>& digest)
{
    const std::vector<BYTE> em = PublicOperation(key, signature);
    if (em.empty() || hashOid.size() > 100 || digest.size() > 100) return false;
    for (bool withNull : {true, false}) {
        // DigestInfo ::= SEQUENCE { SEQUENCE { OID, NULL? }, OCTET STRING digest }
        const size_t algorithm = 2 + hashOid.size() + (withNull ? 2 : 0);
        std::string t;
        t += static_cast<char>(kDerSequence);
        t += static_cast<char>(2 + algorithm + 2 + digest.size());
        t += static_cast<char>(kDerSequence);
        t += static_cast<char>(algorithm);
        t += static_cast<char>(kDerOid);
        t += static_cast<char>(hashOid.size());
        t += hashOid;
        if (withNull) t += std::string("\x05\x00", 2);
        t += static_cast<char>(kDerOctetString);
        t += static_cast<char>(digest.size());
        t.append(digest.begin(), digest.end());
        if (em.size() < t.size() + 11) return false;
        // 00 01 FF..FF 00 T
        std::string expected(em.size() - t.size(), '\xFF');
        expected[0] = 0x00;
        expected[1] = 0x01;
        expected.back() = 0x00;
        expected += t;
        if (expected == std::string(em.begin(), em.end())) return true;
    }
    return false;
}

bool VerifyPss(const RsaPublicKey& key, const std::vector<BYTE>& signature, const std::vector<BYTE>& digest,
               size_t saltLength, const DigestFunction& hash)
{
    const size_t hLen = digest.size();
    const size_t emBits = BitLength(key.modulus) - 1;
    const size_t emLen = (emBits + 7) / 8;
    std::vector<BYTE> em = PublicOperation(key, signature);
    if (em.empty() || hLen == 0) return false;
    // k bytes; when emBits is a multiple of 8 the first is an extra zero.
    if (em.size() > emLen) {
        if (em[0] != 0) return false;
        em.erase(em.begin());
    }
    if (emLen < hLen + saltLength + 2 || em.back() != 0xBC) return false;
    const size_t dbLen = emLen - hLen - 1;
    std::vector<BYTE> db(em.begin(), em.begin() + dbLen);
    const std::vector<BYTE> h(em.begin() + dbLen, em.begin() + dbLen + hLen);
    const BYTE topMask = static_cast<BYTE>(0xFF >> (8 * emLen - emBits));
    if (db[0] & ~topMask) return false;
    // MGF1
    std::vector<BYTE> mask;
    for (uint32_t counter = 0; mask.size() < dbLen; ++counter) {
        std::vector<BYTE> seed(hLen + 4);
        std::copy(h.begin(), h.end(), seed.begin());
        for (int i = 0; i < 4; ++i) seed[hLen + i] = static_cast<BYTE>(counter >> (24 - 8 * i));
        const std::vector<BYTE> piece = hash(seed);
        if (piece.size() != hLen) return false;
        mask.insert(mask.end(), piece.begin(), piece.end());
    }
    for (size_t i = 0; i < dbLen; ++i) db[i] ^= mask[i];
    db[0] &= topMask;
    const size_t zeros = dbLen - saltLength - 1;
    for (size_t i = 0; i < zeros; ++i)
        if (db[i] != 0) return false;
    if (db[zeros] != 0x01) return false;
    // M' = eight zero bytes, the digest, the salt.
    std::vector<BYTE> m(8 + hLen + saltLength, 0);
    std::copy(digest.begin(), digest.end(), m.begin() + 8);
    std::copy(db.end() - saltLength, db.end(), m.begin() + 8 + hLen);
    return hash(m) == h;
}
