// SHA-256 through CryptoAPI's AES provider, which Windows has from XP SP3 on. Data goes in in
// pieces; Hex() ends the digest. A machine without the provider gives an empty digest, and
// the caller treats that as "not known" rather than as a mismatch.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <cstddef>
#include <string>

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Add(const void* data, size_t size);
    // The digest in 64 lower-case hex digits, once all data is in; empty if it failed.
    std::string Hex();

private:
    HCRYPTPROV m_provider = 0;
    HCRYPTHASH m_hash = 0;
    bool m_failed = false;
};

// Whether `text` is a SHA-256 digest in hex (either case), and that digest in lower case.
bool ParseSha256(const std::wstring& text, std::string* digest);
