// A publisher's detached signature over an image: CMS signed data (PKCS #7) in strict DER,
// the image's bytes not inside it, signed by RSA (PKCS #1 v1.5 or PSS) over SHA-256, -384 or
// -512; each signer named by issuer and serial number or by subject key identifier. The bytes
// go in as staging reads them; Verify then judges it. A file with several signers is good
// only when every one of them is.
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
//     decoded here), within its path length, and, where it says what its key is for, for
//     signing certificates; the signer's key, where it says, is for digital signatures;
//   - no certificate of the chain limits its uses to others than code signing;
//   - no certificate of the chain is in one of the PC's stores of distrusted certificates
//     (Disallowed), and none below the root is signed with MD5 or SHA-1;
//   - with pinned thumbprints, the signer's certificate or a CA of its chain is one of them.
// Every certificate the file carries is judged by our own reading first (CertificateShape.h):
// none reaches CryptoAPI unless it is sound.
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

    // One SignerInfo's parts, as Decode found them (DER).
    struct Signer {
        std::string issuer, serial, keyId;  // issuer and serial, or key id
        std::string digestOid, signedAttributes, signatureOid, signatureParameters, signature;
        ALG_ID hashAlg = 0;
    };

private:
    bool Decode(const std::vector<BYTE>& encoded);
    bool VerifySigner(const Signer& signer, HCERTSTORE carried, SignatureFinding* finding);
    bool CheckChain(const CERT_CONTEXT* signer, HCERTSTORE carried, SignatureFinding* finding);

    std::unique_ptr<Crypt32> m_api;  // crypt32.dll, from the system directory
    HCRYPTPROV m_provider = 0;
    // The image's digest, one for each hash the signers use.
    std::vector<std::pair<ALG_ID, HCRYPTHASH>> m_contentHashes;
    std::vector<std::pair<ALG_ID, std::vector<BYTE>>> m_digests;
    std::vector<std::vector<std::string>> m_pins;
    std::vector<std::string> m_certificates;  // those the file carries (DER)
    std::vector<Signer> m_signers;
    std::wstring m_decodeProblem;  // set when the file is not a signature we can check
    CheckReason m_decodeReason;    // the same, for the wizard to say in its language
    bool m_contentFailed = false;
};

// A Windows error in words ("... (error 0x800B0109)"), for what a signature check found.
std::wstring CryptoProblem(DWORD error);
