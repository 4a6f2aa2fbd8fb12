// A publisher's detached signature over an image: CMS signed data (PKCS #7) in DER, the
// image's bytes not inside it, signed by RSA (PKCS #1 v1.5 or PSS) over SHA-256, -384 or -512;
// the signer named by issuer and serial number or by subject key identifier. The bytes go in
// as staging reads them; Verify then judges it.
//
// What Windows would prove of a signed program, proved here on every Windows and under Wine
// alike, since no one chain policy's verdict is taken alone (Wine's is laxer than Windows'):
//   - the signed content is data (id-data), both the message's and its signed attribute's:
//     a program's signature or any other kind of content signs something else;
//   - the signature is the signer's over these bytes (checked here, see RsaSignature);
//   - the signer's chain is built from the PC's stores and the certificates in the file only,
//     with nothing fetched from where the file's author could point; it has no error status
//     (revocation aside: it is not looked up, benches are often offline), ends at a root in
//     one of the PC's root stores, and each certificate is signed by the next and valid now;
//   - every certificate above the signer's is a certification authority (basic constraints,
//     decoded here), within its path length;
//   - no certificate of the chain limits its uses to others than code signing;
//   - with pinned thumbprints, the signer's certificate or a CA of its chain is one of them.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <memory>
#include <string>
#include <vector>

#include "image/PublisherChecks.h"

class Crypt32;

class DetachedSignature {
public:
    // `encoded`: the signature file's bytes. `pins`: lists of thumbprints (lower-case hex,
    // SHA-1 or SHA-256); every list must name the signer's certificate or a CA of its chain.
    // A signature that cannot even be decoded says so in Verify.
    DetachedSignature(const std::vector<BYTE>& encoded, const std::vector<std::vector<std::string>>& pins);
    ~DetachedSignature();
    DetachedSignature(const DetachedSignature&) = delete;
    DetachedSignature& operator=(const DetachedSignature&) = delete;

    // The signed content, in order, in pieces of any size.
    void Add(const void* data, size_t size);
    // After the last byte: true when the signature is good, its chain holds and its signer is
    // one the pins name. Fills in the finding's signer and thumbprint (whenever the signer's
    // certificate is found), its problem, and notTrusted when only the pins refuse it.
    bool Verify(SignatureFinding* finding);

private:
    bool Decode(const std::vector<BYTE>& encoded);
    bool CheckChain(const CERT_CONTEXT* signer, HCERTSTORE carried, SignatureFinding* finding);

    std::unique_ptr<Crypt32> m_api;  // crypt32.dll, from the system directory
    HCRYPTPROV m_provider = 0;
    HCRYPTHASH m_contentHash = 0;
    ALG_ID m_hashAlg = 0;
    std::vector<std::vector<std::string>> m_pins;
    // The signature's parts, as Decode found them (DER).
    std::vector<std::string> m_certificates;
    std::string m_issuer, m_serial, m_keyId;  // the signer: issuer and serial, or key id
    std::string m_digestOid, m_signedAttributes, m_signatureOid, m_signatureParameters, m_signature;
    std::wstring m_decodeProblem;  // set when the file is not a signature we can check
    CheckReason m_decodeReason;    // the same, for the wizard to say in its language
    bool m_contentFailed = false;
};

// A Windows error in words ("... (error 0x800B0109)"), for what a signature check found.
std::wstring CryptoProblem(DWORD error);
