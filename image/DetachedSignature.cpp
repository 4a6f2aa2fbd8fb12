#include "image/DetachedSignature.h"

#include "framework/SystemLibrary.h"

#include <algorithm>
#include <cstring>
#include <utility>

// Newer than the headers of an XP-era target; XP SP3's AES provider has all three.
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)
#define CALG_SHA_384 (ALG_CLASS_HASH | ALG_TYPE_ANY | 13)
#define CALG_SHA_512 (ALG_CLASS_HASH | ALG_TYPE_ANY | 14)
#endif

// CryptoAPI's certificate and message functions, loaded from the system directory.
#define CRYPT32_FUNCTION(name) decltype(&::name) const name = m_dll.Function<decltype(&::name)>(#name)
class Crypt32 {
    SystemLibrary m_dll{L"crypt32.dll"};

public:
    CRYPT32_FUNCTION(CryptMsgOpenToDecode);
    CRYPT32_FUNCTION(CryptMsgUpdate);
    CRYPT32_FUNCTION(CryptMsgGetParam);
    CRYPT32_FUNCTION(CryptMsgClose);
    CRYPT32_FUNCTION(CertOpenStore);
    CRYPT32_FUNCTION(CertCloseStore);
    CRYPT32_FUNCTION(CertGetSubjectCertificateFromStore);
    CRYPT32_FUNCTION(CertFreeCertificateContext);
    CRYPT32_FUNCTION(CertGetNameStringW);
    CRYPT32_FUNCTION(CryptDecodeObjectEx);
    CRYPT32_FUNCTION(CryptEncodeObjectEx);
    CRYPT32_FUNCTION(CryptImportPublicKeyInfo);
    CRYPT32_FUNCTION(CertGetCertificateChain);
    CRYPT32_FUNCTION(CertFreeCertificateChain);
    CRYPT32_FUNCTION(CertVerifyCertificateChainPolicy);

    bool Loaded() const
    {
        return CryptMsgOpenToDecode && CryptMsgUpdate && CryptMsgGetParam && CryptMsgClose && CertOpenStore && CertCloseStore && CertGetSubjectCertificateFromStore && CertFreeCertificateContext &&
               CertGetNameStringW && CryptDecodeObjectEx && CryptEncodeObjectEx && CryptImportPublicKeyInfo && CertGetCertificateChain && CertFreeCertificateChain && CertVerifyCertificateChainPolicy;
    }
};
#undef CRYPT32_FUNCTION

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct StoreCloser {
    const Crypt32* api;
    void operator()(void* store) const { api->CertCloseStore(store, 0); }
};
struct CertFree {
    const Crypt32* api;
    void operator()(const CERT_CONTEXT* cert) const { api->CertFreeCertificateContext(cert); }
};
struct ChainFree {
    const Crypt32* api;
    void operator()(const CERT_CHAIN_CONTEXT* chain) const { api->CertFreeCertificateChain(chain); }
};
struct LocalFreer {
    void operator()(void* p) const { ::LocalFree(p); }
};

// A hash or key object, destroyed with its scope.
class Hash {
public:
    Hash(HCRYPTPROV provider, ALG_ID alg)
    {
        if (!::CryptCreateHash(provider, alg, 0, 0, &m_h)) m_h = 0;
    }
    ~Hash()
    {
        if (m_h) ::CryptDestroyHash(m_h);
    }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    HCRYPTHASH get() const { return m_h; }

private:
    HCRYPTHASH m_h = 0;
};
class Key {
public:
    Key(const Crypt32& api, HCRYPTPROV provider, CERT_PUBLIC_KEY_INFO* info)
    {
        if (!api.CryptImportPublicKeyInfo(provider, X509_ASN_ENCODING, info, &m_h)) m_h = 0;
    }
    ~Key()
    {
        if (m_h) ::CryptDestroyKey(m_h);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HCRYPTKEY get() const { return m_h; }

private:
    HCRYPTKEY m_h = 0;
};

ALG_ID DigestOf(const char* oid)
{
    if (!oid) return 0;
    if (std::strcmp(oid, "2.16.840.1.101.3.4.2.1") == 0) return CALG_SHA_256;
    if (std::strcmp(oid, "2.16.840.1.101.3.4.2.2") == 0) return CALG_SHA_384;
    if (std::strcmp(oid, "2.16.840.1.101.3.4.2.3") == 0) return CALG_SHA_512;
    return 0;
}

std::wstring SignerName(const Crypt32& api, const CERT_CONTEXT* cert)
{
    wchar_t name[256] = L"";
    api.CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    return name;
}

std::vector<BYTE> HashValue(HCRYPTHASH hash)
{
    DWORD size = 0;
    if (!::CryptGetHashParam(hash, HP_HASHVAL, nullptr, &size, 0)) return {};
    std::vector<BYTE> value(size);
    if (!::CryptGetHashParam(hash, HP_HASHVAL, value.data(), &size, 0)) return {};
    return value;
}

// The messageDigest attribute's value: the digest of the content that was signed.
std::vector<BYTE> SignedDigest(const Crypt32& api, const CRYPT_ATTRIBUTES& attrs)
{
    for (DWORD i = 0; i < attrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& a = attrs.rgAttr[i];
        if (std::strcmp(a.pszObjId, szOID_RSA_messageDigest) != 0 || a.cValue != 1) continue;
        CRYPT_DATA_BLOB* blob = nullptr;
        DWORD size = 0;
        if (!api.CryptDecodeObjectEx(X509_ASN_ENCODING, X509_OCTET_STRING, a.rgValue[0].pbData, a.rgValue[0].cbData,
                                   CRYPT_DECODE_ALLOC_FLAG, nullptr, &blob, &size))
            return {};
        std::unique_ptr<void, LocalFreer> owned(blob);
        return std::vector<BYTE>(blob->pbData, blob->pbData + blob->cbData);
    }
    return {};
}

}  // namespace

std::wstring CryptoProblem(DWORD error)
{
    wchar_t* text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring words = text ? text : L"";
    if (text) ::LocalFree(text);
    while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' || words.back() == L' ' ||
                              words.back() == L'.'))
        words.pop_back();
    wchar_t code[32];
    wsprintfW(code, L"error 0x%08lX", error);
    return words.empty() ? std::wstring(code) : words + L" (" + code + L")";
}

DetachedSignature::DetachedSignature(const std::vector<BYTE>& encoded) : m_api(std::make_unique<Crypt32>())
{
    m_decodeProblem = L"it is not a PKCS #7 signature (signed data in DER)";
    if (!m_api->Loaded()) {
        m_decodeProblem = L"this Windows has no CryptoAPI to check it with";
        return;
    }
    const Crypt32& api = *m_api;
    // SHA-2 lives in the AES provider (XP SP3 on).
    if (!::CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        m_provider = 0;
        m_decodeProblem = L"this Windows has no SHA-2 provider: " + CryptoProblem(::GetLastError());
        return;
    }
    m_msg = api.CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr);
    DWORD type = 0, size = sizeof type;
    if (!m_msg || encoded.empty() ||
        !api.CryptMsgUpdate(m_msg, encoded.data(), static_cast<DWORD>(encoded.size()), TRUE) ||
        !api.CryptMsgGetParam(m_msg, CMSG_TYPE_PARAM, 0, &type, &size) || type != CMSG_SIGNED) {
        CloseMessage();
        return;
    }
    size = 0;
    if (!api.CryptMsgGetParam(m_msg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) {
        m_decodeProblem = L"it names no signer";
        CloseMessage();
        return;
    }
    m_signerInfo.resize(size);
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(m_signerInfo.data());
    if (!api.CryptMsgGetParam(m_msg, CMSG_SIGNER_INFO_PARAM, 0, m_signerInfo.data(), &size) ||
        !(m_hashAlg = DigestOf(signer->HashAlgorithm.pszObjId)) ||
        !::CryptCreateHash(m_provider, m_hashAlg, 0, 0, &m_contentHash)) {
        m_decodeProblem = L"it is not made with SHA-256, SHA-384 or SHA-512";
        m_contentHash = 0;
        CloseMessage();
        return;
    }
    m_decodeProblem.clear();
}

DetachedSignature::~DetachedSignature()
{
    if (m_contentHash) ::CryptDestroyHash(m_contentHash);
    CloseMessage();
    if (m_provider) ::CryptReleaseContext(m_provider, 0);
}

void DetachedSignature::CloseMessage()
{
    if (m_msg) m_api->CryptMsgClose(std::exchange(m_msg, nullptr));
}

void DetachedSignature::Add(const void* data, size_t size)
{
    const BYTE* p = static_cast<const BYTE*>(data);
    while (m_contentHash && !m_contentFailed && size > 0) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        if (!::CryptHashData(m_contentHash, p, piece, 0)) m_contentFailed = true;
        p += piece;
        size -= piece;
    }
}

bool DetachedSignature::Verify(std::wstring* signer, std::wstring* problem)
{
    signer->clear();
    if (!m_msg) {
        *problem = m_decodeProblem;
        return false;
    }
    const Crypt32& api = *m_api;
    const std::vector<BYTE> digest = m_contentFailed ? std::vector<BYTE>() : HashValue(m_contentHash);
    if (digest.empty()) {
        *problem = L"the image could not be hashed: " + CryptoProblem(::GetLastError());
        return false;
    }
    // The signer's certificate, from those the signature carries.
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(m_signerInfo.data());
    CERT_INFO wanted{};
    wanted.Issuer = info->Issuer;
    wanted.SerialNumber = info->SerialNumber;
    std::unique_ptr<void, StoreCloser> carried(api.CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, m_msg),
                                                    StoreCloser{&api});
    std::unique_ptr<const CERT_CONTEXT, CertFree> cert(
        carried ? api.CertGetSubjectCertificateFromStore(carried.get(), kEncoding, &wanted) : nullptr, CertFree{&api});
    if (!cert) {
        *problem = L"the signer's certificate is not in it";
        return false;
    }
    *signer = SignerName(api, cert.get());

    // What was signed: the signed attributes, which hold the image's digest; or, without
    // them, the image's digest itself.
    Hash attributesHash(m_provider, m_hashAlg);
    HCRYPTHASH signedHash = m_contentHash;
    if (info->AuthAttrs.cAttr > 0) {
        if (SignedDigest(api, info->AuthAttrs) != digest) {
            *problem = L"it was made for other bytes than this image's";
            return false;
        }
        BYTE* encoded = nullptr;
        DWORD size = 0;
        if (!attributesHash.get() ||
            !api.CryptEncodeObjectEx(X509_ASN_ENCODING, PKCS_ATTRIBUTES, &info->AuthAttrs, CRYPT_ENCODE_ALLOC_FLAG,
                                   nullptr, &encoded, &size)) {
            *problem = L"its signed attributes could not be read: " + CryptoProblem(::GetLastError());
            return false;
        }
        std::unique_ptr<void, LocalFreer> owned(encoded);
        ::CryptHashData(attributesHash.get(), encoded, size, 0);
        signedHash = attributesHash.get();
    }
    // CryptoAPI takes the signature's bytes least significant first.
    std::vector<BYTE> signature(info->EncryptedHash.pbData, info->EncryptedHash.pbData + info->EncryptedHash.cbData);
    std::reverse(signature.begin(), signature.end());
    Key key(api, m_provider, &cert->pCertInfo->SubjectPublicKeyInfo);
    if (!key.get() || !::CryptVerifySignatureW(signedHash, signature.data(), static_cast<DWORD>(signature.size()),
                                               key.get(), nullptr, 0)) {
        *problem = L"it does not match the image: " + CryptoProblem(::GetLastError());
        return false;
    }

    // The signer's chain, as for a signed program: to a trusted root, fit for code signing.
    LPSTR codeSigning[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = codeSigning;
    const CERT_CHAIN_CONTEXT* rawChain = nullptr;
    if (!api.CertGetCertificateChain(nullptr, cert.get(), nullptr, carried.get(), &para, 0, nullptr, &rawChain)) {
        *problem = L"the signer's certificate chain could not be built: " + CryptoProblem(::GetLastError());
        return false;
    }
    std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree> chain(rawChain, ChainFree{&api});
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!api.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain.get(), &policy, &status)) {
        *problem = L"the signer's certificate chain could not be checked: " + CryptoProblem(::GetLastError());
        return false;
    }
    if (status.dwError != 0) {
        *problem = L"the signer is not trusted: " + CryptoProblem(status.dwError);
        return false;
    }
    problem->clear();
    return true;
}
