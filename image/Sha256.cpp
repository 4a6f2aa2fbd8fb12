#include "image/Sha256.h"

#include <algorithm>

// XP SP3's AES provider has SHA-256; headers declare it only for builds aimed at SP3 and later.
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)
#endif

Sha256::Sha256()
{
    if (!::CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        m_provider = 0;
        m_failed = true;
        return;
    }
    if (!::CryptCreateHash(m_provider, CALG_SHA_256, 0, 0, &m_hash)) {
        m_hash = 0;
        m_failed = true;
    }
}

Sha256::~Sha256()
{
    if (m_hash) ::CryptDestroyHash(m_hash);
    if (m_provider) ::CryptReleaseContext(m_provider, 0);
}

void Sha256::Add(const void* data, size_t size)
{
    const BYTE* p = static_cast<const BYTE*>(data);
    while (!m_failed && size > 0) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        if (!::CryptHashData(m_hash, p, piece, 0)) m_failed = true;
        p += piece;
        size -= piece;
    }
}

std::string Sha256::Hex()
{
    BYTE digest[32];
    DWORD size = sizeof digest;
    if (m_failed || !::CryptGetHashParam(m_hash, HP_HASHVAL, digest, &size, 0) || size != sizeof digest) {
        m_failed = true;
        return std::string();
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (BYTE b : digest) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

bool ParseSha256(const std::wstring& text, std::string* digest)
{
    if (text.size() != 64) return false;
    std::string lower;
    for (wchar_t c : text) {
        if (c >= L'A' && c <= L'F') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
        lower += static_cast<char>(c);
    }
    *digest = lower;
    return true;
}
