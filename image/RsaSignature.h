// RSA signatures checked with the public key alone, here rather than by a provider: CryptoAPI
// has no PSS, bcrypt is not on XP, and one piece of arithmetic judges alike on every Windows
// (and under Wine). Public data only, so nothing here needs to run in constant time.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

struct RsaPublicKey {
    std::vector<BYTE> modulus, exponent;  // big-endian, without leading zeros
};

// An RSAPublicKey (PKCS #1: SEQUENCE of modulus and exponent) in DER, as a certificate's
// subjectPublicKey holds it. False for a key this program does not take: a modulus of 1024
// to 8192 bits and an odd exponent of 3 to 2^32 - 1 (a larger one would only make the work long).
bool ParseRsaPublicKey(const BYTE* der, size_t size, RsaPublicKey* key);

// The digest of some bytes, with the signature's hash.
using DigestFunction = std::function<std::vector<BYTE>(const std::vector<BYTE>&)>;

// PKCS #1 v1.5: `digest` of the signed bytes, made with the hash whose OID's content bytes are
// `hashOid` (the DigestInfo is taken with or without NULL parameters).
bool VerifyPkcs1(const RsaPublicKey& key, const std::vector<BYTE>& signature, const std::string& hashOid,
                 const std::vector<BYTE>& digest);
// RSASSA-PSS with MGF1 over the same hash, as `hash` makes it; `saltLength` from the
// signature's parameters.
bool VerifyPss(const RsaPublicKey& key, const std::vector<BYTE>& signature, const std::vector<BYTE>& digest,
               size_t saltLength, const DigestFunction& hash);
