// A publisher's detached signature over an image: PKCS #7 / CMS signed data in DER, the
// image's bytes not inside it, signed by RSA over SHA-256, -384 or -512. The bytes go in as
// staging reads them; Verify then checks the signature with CryptoAPI and the signer's chain
// against the Windows trust store, as Windows judges a signed program: it must lead to a
// trusted root, every certificate valid now, and be fit for code signing. Revocation is not
// looked up (benches are often offline).
//
// The message functions would hash the content themselves, but not every CryptoAPI takes
// detached content in pieces (Wine's wants it in one call, which a 4 GB image cannot be), so
// the content is hashed here and the signature checked from the signer's own fields.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <memory>
#include <string>
#include <vector>

class Crypt32;

class DetachedSignature {
public:
    // `encoded`: the signature file's bytes. A signature that cannot even be decoded says so
    // in Verify.
    explicit DetachedSignature(const std::vector<BYTE>& encoded);
    ~DetachedSignature();
    DetachedSignature(const DetachedSignature&) = delete;
    DetachedSignature& operator=(const DetachedSignature&) = delete;

    // The signed content, in order, in pieces of any size.
    void Add(const void* data, size_t size);
    // After the last byte: true when the signature is good and its chain validates; *signer
    // is the signer's name (also when the chain does not validate, if it is known), *problem
    // why it is not good.
    bool Verify(std::wstring* signer, std::wstring* problem);

private:
    void CloseMessage();

    std::unique_ptr<Crypt32> m_api;  // crypt32.dll, from the system directory
    HCRYPTPROV m_provider = 0;
    HCRYPTMSG m_msg = nullptr;
    std::vector<BYTE> m_signerInfo;  // the first signer's CMSG_SIGNER_INFO
    ALG_ID m_hashAlg = 0;
    HCRYPTHASH m_contentHash = 0;
    std::wstring m_decodeProblem;  // set when the file is not a signature we can check
    bool m_contentFailed = false;
};

// A Windows error in words ("... (error 0x800B0109)"), for what a signature check found.
std::wstring CryptoProblem(DWORD error);
