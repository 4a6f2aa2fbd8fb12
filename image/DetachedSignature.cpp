#include "image/DetachedSignature.h"

#include "framework/SystemLibrary.h"
#include "image/CertificateShape.h"
#include "image/Der.h"
#include "image/RsaSignature.h"

#include <algorithm>
#include <cstring>

// Newer than the headers of an XP-era target; XP SP3's AES provider has all three.
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)
#define CALG_SHA_384 (ALG_CLASS_HASH | ALG_TYPE_ANY | 13)
#define CALG_SHA_512 (ALG_CLASS_HASH | ALG_TYPE_ANY | 14)
#endif
#ifndef CERT_CHAIN_DISABLE_AIA
#define CERT_CHAIN_DISABLE_AIA 0x00002000  // Windows 7 on; older ones ignore it
#endif

// CryptoAPI's certificate functions, loaded from the system directory.
#define CRYPT32_FUNCTION(name) decltype(&::name) const name = m_dll.Function<decltype(&::name)>(#name)
class Crypt32 {
    SystemLibrary m_dll{L"crypt32.dll"};

public:
    CRYPT32_FUNCTION(CertOpenStore);
    CRYPT32_FUNCTION(CertCloseStore);
    CRYPT32_FUNCTION(CertAddEncodedCertificateToStore);
    CRYPT32_FUNCTION(CertEnumCertificatesInStore);
    CRYPT32_FUNCTION(CertFindCertificateInStore);
    CRYPT32_FUNCTION(CertDuplicateCertificateContext);
    CRYPT32_FUNCTION(CertFreeCertificateContext);
    CRYPT32_FUNCTION(CertGetNameStringW);
    CRYPT32_FUNCTION(CertCompareCertificateName);
    CRYPT32_FUNCTION(CertVerifyTimeValidity);
    CRYPT32_FUNCTION(CryptVerifyCertificateSignature);
    CRYPT32_FUNCTION(CertGetCertificateChain);
    CRYPT32_FUNCTION(CertFreeCertificateChain);
    CRYPT32_FUNCTION(CertVerifyCertificateChainPolicy);

    bool Loaded() const
    {
        return CertOpenStore && CertCloseStore && CertAddEncodedCertificateToStore && CertEnumCertificatesInStore &&
               CertFindCertificateInStore && CertDuplicateCertificateContext && CertFreeCertificateContext &&
               CertGetNameStringW && CertCompareCertificateName && CertVerifyTimeValidity &&
               CryptVerifyCertificateSignature && CertGetCertificateChain && CertFreeCertificateChain &&
               CertVerifyCertificateChainPolicy;
    }
};
#undef CRYPT32_FUNCTION

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Object identifiers, as the content bytes of their DER.
#define OID(bytes) std::string(bytes, sizeof bytes - 1)
const std::string kSignedData = OID("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02");
const std::string kData = OID("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01");
const std::string kContentType = OID("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x03");
const std::string kMessageDigest = OID("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x04");
const std::string kSha256 = OID("\x60\x86\x48\x01\x65\x03\x04\x02\x01");
const std::string kSha384 = OID("\x60\x86\x48\x01\x65\x03\x04\x02\x02");
const std::string kSha512 = OID("\x60\x86\x48\x01\x65\x03\x04\x02\x03");
const std::string kRsa = OID("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01");
const std::string kRsaSha256 = OID("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0B");
const std::string kRsaSha384 = OID("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0C");
const std::string kRsaSha512 = OID("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0D");
const std::string kRsaPss = OID("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0A");
const std::string kMgf1 = OID("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x08");
const std::string kCodeSigning = OID("\x2B\x06\x01\x05\x05\x07\x03\x03");
const std::string kAnyUsage = OID("\x55\x1D\x25\x00");
#undef OID

struct StoreCloser {
    const Crypt32* api;
    void operator()(void* store) const { api->CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreCloser>;
struct CertFree {
    const Crypt32* api;
    void operator()(const CERT_CONTEXT* cert) const { api->CertFreeCertificateContext(cert); }
};
using Cert = std::unique_ptr<const CERT_CONTEXT, CertFree>;
struct ChainFree {
    const Crypt32* api;
    void operator()(const CERT_CHAIN_CONTEXT* chain) const { api->CertFreeCertificateChain(chain); }
};

// A hash object, destroyed with its scope.
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

std::vector<BYTE> HashValue(HCRYPTHASH hash)
{
    DWORD size = 0;
    if (!hash || !::CryptGetHashParam(hash, HP_HASHVAL, nullptr, &size, 0)) return {};
    std::vector<BYTE> value(size);
    if (!::CryptGetHashParam(hash, HP_HASHVAL, value.data(), &size, 0)) return {};
    return value;
}

std::vector<BYTE> Digest(HCRYPTPROV provider, ALG_ID alg, const void* data, size_t size)
{
    Hash hash(provider, alg);
    if (!hash.get() || !::CryptHashData(hash.get(), static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0))
        return {};
    return HashValue(hash.get());
}

std::string Hex(const std::vector<BYTE>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (BYTE b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

ALG_ID HashOf(const std::string& oid)
{
    if (oid == kSha256) return CALG_SHA_256;
    if (oid == kSha384) return CALG_SHA_384;
    if (oid == kSha512) return CALG_SHA_512;
    return 0;
}

// "1.3.6.1.4.1.311.2.1.4", for a message.
std::wstring OidText(const std::string& oid)
{
    std::wstring text;
    unsigned long value = 0;
    for (size_t i = 0; i < oid.size(); ++i) {
        value = (value << 7) | (static_cast<BYTE>(oid[i]) & 0x7F);
        if (static_cast<BYTE>(oid[i]) & 0x80) continue;
        if (text.empty())
            text = std::to_wstring(value < 80 ? value / 40 : 2) + L"." + std::to_wstring(value < 80 ? value % 40 : value - 80);
        else
            text += L"." + std::to_wstring(value);
        value = 0;
    }
    return text;
}

// An AlgorithmIdentifier's OID and its parameters (empty when absent or NULL).
bool ReadAlgorithm(DerReader& in, std::string* oid, std::string* parameters)
{
    DerItem seq, id, rest;
    if (!in.Expect(kDerSequence, &seq)) return false;
    DerReader fields(seq);
    if (!fields.Expect(kDerOid, &id) || !DerSoundOid(id)) return false;
    *oid = id.Bytes();
    parameters->clear();
    if (fields.Next(&rest) && rest.tag != kDerNull)
        *parameters = std::string(reinterpret_cast<const char*>(rest.whole), rest.wholeSize);
    return fields.AtEnd() && !fields.Failed();
}

// RSASSA-PSS-params: the hash, MGF1 with that same hash, and the salt's length; trailer 1.
bool ReadPssParameters(const std::string& der, const std::string& digestOid, size_t* saltLength)
{
    DerReader outer(reinterpret_cast<const BYTE*>(der.data()), der.size());
    DerItem seq, field;
    if (!outer.Expect(kDerSequence, &seq) || !outer.AtEnd()) return false;
    DerReader fields(seq);
    std::string hash, mgf, mgfParameters, mgfHash, unused;
    *saltLength = 20;
    if (fields.Optional(DerContext(0), &field)) {
        DerReader in(field);
        if (!ReadAlgorithm(in, &hash, &unused)) return false;
    }
    if (fields.Optional(DerContext(1), &field)) {
        DerReader in(field);
        if (!ReadAlgorithm(in, &mgf, &mgfParameters)) return false;
        DerReader inner(reinterpret_cast<const BYTE*>(mgfParameters.data()), mgfParameters.size());
        if (mgf != kMgf1 || !ReadAlgorithm(inner, &mgfHash, &unused)) return false;
    }
    if (fields.Optional(DerContext(2), &field)) {
        DerReader in(field);
        DerItem n;
        if (!in.Expect(kDerInteger, &n) || n.size == 0 || n.size > 2 || (n.data[0] & 0x80)) return false;
        *saltLength = n.size == 1 ? n.data[0] : (n.data[0] << 8 | n.data[1]);
    }
    if (fields.Optional(DerContext(3), &field)) {
        if (field.size != 3 || field.data[0] != kDerInteger || field.data[1] != 1 || field.data[2] != 1) return false;
    }
    // Absent, hash and MGF1 mean SHA-1, which the signature's digest never is.
    return fields.AtEnd() && !fields.Failed() && hash == digestOid && mgfHash == digestOid;
}

const CERT_EXTENSION* Extension(const CERT_INFO* info, const char* oid)
{
    for (DWORD i = 0; i < info->cExtension; ++i)
        if (info->rgExtension[i].pszObjId && std::strcmp(info->rgExtension[i].pszObjId, oid) == 0)
            return &info->rgExtension[i];
    return nullptr;
}

// The basic constraints extension, decoded: whether a CA, and its path length (-1: none).
bool IsAuthority(const CERT_INFO* info, long* pathLength)
{
    *pathLength = -1;
    const CERT_EXTENSION* ext = Extension(info, szOID_BASIC_CONSTRAINTS2);
    if (!ext) return false;
    DerReader outer(ext->Value.pbData, ext->Value.cbData);
    DerItem seq, item;
    if (!outer.Expect(kDerSequence, &seq) || !outer.AtEnd()) return false;
    DerReader fields(seq);
    if (!fields.Expect(kDerBoolean, &item) || item.size != 1 || item.data[0] != 0xFF) return false;  // cA absent: FALSE
    if (fields.Optional(kDerInteger, &item) && !DerSmallInteger(item, pathLength)) return false;
    return fields.AtEnd() && !fields.Failed();
}

// False when the certificate's extended key usage leaves out code signing (none: any use).
bool AllowsCodeSigning(const CERT_INFO* info)
{
    const CERT_EXTENSION* ext = Extension(info, szOID_ENHANCED_KEY_USAGE);
    if (!ext) return true;
    DerReader outer(ext->Value.pbData, ext->Value.cbData);
    DerItem seq, usage;
    if (!outer.Expect(kDerSequence, &seq)) return false;
    DerReader usages(seq);
    while (usages.Next(&usage))
        if (usage.Is(kDerOid, kCodeSigning) || usage.Is(kDerOid, kAnyUsage)) return true;
    return false;
}

// The key usage extension's bits (bit 0, digitalSignature, is 0x80 of the first byte);
// true with all bits when the certificate has none (its key may then be used for anything).
bool KeyUsageAllows(const CERT_INFO* info, int bit)
{
    const CERT_EXTENSION* ext = Extension(info, szOID_KEY_USAGE);
    if (!ext) return true;
    DerReader outer(ext->Value.pbData, ext->Value.cbData);
    DerItem bits;
    if (!outer.Expect(kDerBitString, &bits) || !outer.AtEnd() || bits.size < 1 || bits.data[0] > 7) return false;
    const size_t byte = 1 + static_cast<size_t>(bit / 8);
    return byte < bits.size && (bits.data[byte] & (0x80 >> (bit % 8)));
}
constexpr int kDigitalSignature = 0, kKeyCertSign = 5;

// The hash a certificate is signed with, when it is one of those no longer strong enough
// for it ("MD5", "SHA-1", ...); empty when it is a SHA-2 signature (RSA, PSS or ECDSA).
std::wstring WeakSignatureHash(const CERT_INFO* info)
{
    const char* oid = info->SignatureAlgorithm.pszObjId;
    if (!oid) return L"an unnamed algorithm";
    static const char* const strong[] = {szOID_RSA_SHA256RSA, szOID_RSA_SHA384RSA, szOID_RSA_SHA512RSA,
                                         "1.2.840.113549.1.1.10", "1.2.840.10045.4.3.2", "1.2.840.10045.4.3.3",
                                         "1.2.840.10045.4.3.4"};
    for (const char* ok : strong)
        if (std::strcmp(oid, ok) == 0) return std::wstring();
    static const struct {
        const char* oid;
        const wchar_t* name;
    } weak[] = {{szOID_RSA_MD5RSA, L"MD5"},       {szOID_RSA_MD2RSA, L"MD2"},         {szOID_RSA_MD4RSA, L"MD4"},
                {szOID_RSA_SHA1RSA, L"SHA-1"},    {szOID_OIWSEC_sha1RSASign, L"SHA-1"}, {szOID_X957_SHA1DSA, L"SHA-1"},
                {szOID_ECDSA_SHA1, L"SHA-1"},     {szOID_OIWSEC_md5RSA, L"MD5"}};
    for (const auto& w : weak)
        if (std::strcmp(oid, w.oid) == 0) return w.name;
    return std::wstring(oid, oid + std::strlen(oid));
}

std::string SubjectKeyId(const CERT_INFO* info)
{
    const CERT_EXTENSION* ext = Extension(info, szOID_SUBJECT_KEY_IDENTIFIER);
    if (!ext) return std::string();
    DerReader in(ext->Value.pbData, ext->Value.cbData);
    DerItem id;
    return in.Expect(kDerOctetString, &id) ? id.Bytes() : std::string();
}

std::wstring NameOf(const Crypt32& api, const CERT_CONTEXT* cert)
{
    wchar_t name[256] = L"";
    api.CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    return name;
}

// Words for a chain's error status, the first that applies.
std::wstring ChainErrorWords(DWORD status)
{
    static const struct {
        DWORD bit;
        const wchar_t* words;
    } known[] = {
        {CERT_TRUST_IS_PARTIAL_CHAIN, L"it reaches no root"},
        {CERT_TRUST_IS_UNTRUSTED_ROOT, L"its root is not trusted"},
        {CERT_TRUST_IS_NOT_TIME_VALID, L"a certificate in it has expired or is not valid yet"},
        {CERT_TRUST_IS_NOT_SIGNATURE_VALID, L"a certificate in it is not signed by its issuer"},
        {CERT_TRUST_IS_REVOKED, L"a certificate in it is revoked"},
        {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, L"a certificate in it is not a certification authority"},
        {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, L"it is not valid for code signing"},
        {CERT_TRUST_IS_CYCLIC, L"it goes round in a circle"},
    };
    wchar_t code[16];
    wsprintfW(code, L"0x%08lX", status);
    for (const auto& k : known)
        if (status & k.bit) return std::wstring(k.words) + L" (status " + code + L")";
    return std::wstring(L"status ") + code;
}

struct SystemStore {
    DWORD location;
    const wchar_t* name;
};

// The PC's root stores (the user's, the machine's, Group Policy's, the enterprise's, and the
// roots Windows brought itself), and its stores of certificates it must never trust.
const SystemStore kRootStores[] = {
    {CERT_SYSTEM_STORE_CURRENT_USER, L"Root"},
    {CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"},
    {CERT_SYSTEM_STORE_LOCAL_MACHINE_GROUP_POLICY, L"Root"},
    {CERT_SYSTEM_STORE_LOCAL_MACHINE_ENTERPRISE, L"Root"},
    {CERT_SYSTEM_STORE_LOCAL_MACHINE, L"AuthRoot"},
};
const SystemStore kDisallowedStores[] = {
    {CERT_SYSTEM_STORE_CURRENT_USER, L"Disallowed"},
    {CERT_SYSTEM_STORE_CURRENT_USER_GROUP_POLICY, L"Disallowed"},
    {CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Disallowed"},
    {CERT_SYSTEM_STORE_LOCAL_MACHINE_GROUP_POLICY, L"Disallowed"},
    {CERT_SYSTEM_STORE_LOCAL_MACHINE_ENTERPRISE, L"Disallowed"},
};

// Whether the certificate is in one of these stores (by its SHA-1 thumbprint, as Windows
// finds it there).
template <size_t N>
bool InStores(const Crypt32& api, HCRYPTPROV provider, const CERT_CONTEXT* cert, const SystemStore (&stores)[N])
{
    std::vector<BYTE> sha1 = Digest(provider, CALG_SHA1, cert->pbCertEncoded, cert->cbCertEncoded);
    if (sha1.empty()) return false;
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(sha1.size()), sha1.data()};
    for (const SystemStore& s : stores) {
        Store store(api.CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                      s.location | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, s.name),
                    StoreCloser{&api});
        if (!store) continue;
        Cert found(api.CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob,
                                                  nullptr),
                   CertFree{&api});
        if (found) return true;
    }
    return false;
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

DetachedSignature::DetachedSignature(const std::vector<BYTE>& encoded,
                                     const std::vector<std::vector<std::string>>& pins)
    : m_api(std::make_unique<Crypt32>()), m_pins(pins)
{
    if (!m_api->Loaded()) {
        m_decodeProblem = L"this Windows has no CryptoAPI to check it with";
        m_decodeReason = {Why::NoCryptoApi, {}, 0};
        return;
    }
    // SHA-2 lives in the AES provider (XP SP3 on).
    if (!::CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        const DWORD error = ::GetLastError();
        m_provider = 0;
        m_decodeProblem = L"this Windows has no SHA-2 provider: " + CryptoProblem(error);
        m_decodeReason = {Why::NoSha2Provider, {}, error};
        return;
    }
    if (!Decode(encoded)) return;
    // One digest of the image for each hash the signers use.
    for (Signer& signer : m_signers) {
        signer.hashAlg = HashOf(signer.digestOid);
        bool have = false;
        for (const auto& hash : m_contentHashes) have = have || hash.first == signer.hashAlg;
        HCRYPTHASH hash = 0;
        if (!signer.hashAlg || (!have && !::CryptCreateHash(m_provider, signer.hashAlg, 0, 0, &hash))) {
            m_decodeProblem = L"it is not made with SHA-256, SHA-384 or SHA-512";
            m_decodeReason = {Why::DigestNotSha2, {}, 0};
            return;
        }
        if (!have) m_contentHashes.emplace_back(signer.hashAlg, hash);
    }
}

DetachedSignature::~DetachedSignature()
{
    for (const auto& hash : m_contentHashes) ::CryptDestroyHash(hash.second);
    if (m_provider) ::CryptReleaseContext(m_provider, 0);
}

namespace {

// An AlgorithmIdentifier whose parameters must be absent or NULL.
bool ReadPlainAlgorithm(DerReader& in, std::string* oid)
{
    std::string parameters;
    return ReadAlgorithm(in, oid, &parameters) && parameters.empty();
}

// SignerInfo { version, sid, digestAlgorithm, [0] signedAttrs, signatureAlgorithm, signature,
// [1] unsignedAttrs }: version 1 names the signer by issuer and serial number, 3 by key id.
bool ReadSignerInfo(const DerItem& item, DetachedSignature::Signer* signer)
{
    if (item.tag != kDerSequence) return false;
    DerReader si(item);
    DerItem version, sid, field;
    long number = 0;
    if (!si.Expect(kDerInteger, &version) || !DerSmallInteger(version, &number) || !si.Next(&sid)) return false;
    if (sid.tag == kDerSequence && number == 1) {
        DerReader ias(sid);
        DerItem issuer, serial;
        if (!ias.Expect(kDerSequence, &issuer) || !ias.Expect(kDerInteger, &serial) || !DerMinimalInteger(serial) ||
            !ias.AtEnd())
            return false;
        signer->issuer.assign(reinterpret_cast<const char*>(issuer.whole), issuer.wholeSize);
        signer->serial = serial.Bytes();
    } else if (sid.tag == DerContextPrimitive(0) && number == 3 && sid.size > 0) {
        signer->keyId = sid.Bytes();
    } else {
        return false;
    }
    if (!ReadPlainAlgorithm(si, &signer->digestOid)) return false;
    if (si.Optional(DerContext(0), &field))
        signer->signedAttributes.assign(reinterpret_cast<const char*>(field.whole), field.wholeSize);
    if (!ReadAlgorithm(si, &signer->signatureOid, &signer->signatureParameters) ||
        !si.Expect(kDerOctetString, &field) || field.size == 0)
        return false;
    signer->signature = field.Bytes();
    si.Optional(DerContext(1), &field);
    return si.AtEnd() && !si.Failed();
}

}  // namespace

// ContentInfo { signedData, [0] SignedData { version, digestAlgorithms, encapContentInfo
// { eContentType, no eContent }, [0] certificates, [1] crls, signerInfos } }, in strict DER,
// nothing where nothing more is due.
bool DetachedSignature::Decode(const std::vector<BYTE>& encoded)
{
    m_decodeProblem = L"it is not a PKCS #7 signature (signed data in DER)";
    m_decodeReason = {Why::NotPkcs7, {}, 0};
    DerReader file(encoded.data(), encoded.size());
    DerItem contentInfo, type, explicitContent, signedData, item, encap, signerInfos, signerInfo;
    if (!file.Expect(kDerSequence, &contentInfo) || !file.AtEnd()) return false;
    DerReader info(contentInfo);
    if (!info.Expect(kDerOid, &type) || type.Bytes() != kSignedData || !info.Expect(DerContext(0), &explicitContent) ||
        !info.AtEnd())
        return false;
    DerReader outer(explicitContent);
    if (!outer.Expect(kDerSequence, &signedData) || !outer.AtEnd()) return false;
    DerReader sd(signedData);
    long version = 0;
    if (!sd.Expect(kDerInteger, &item) || !DerSmallInteger(item, &version) || (version != 1 && version != 3) ||
        !sd.Expect(kDerSet, &item) || !sd.Expect(kDerSequence, &encap))
        return false;
    DerReader digestAlgorithms(item);
    std::string oid;
    while (!digestAlgorithms.AtEnd())
        if (!ReadPlainAlgorithm(digestAlgorithms, &oid)) return false;
    DerReader content(encap);
    if (!content.Expect(kDerOid, &type) || !DerSoundOid(type)) return false;
    if (!content.AtEnd()) {
        m_decodeProblem = L"it holds its content instead of being detached";
        m_decodeReason = {Why::NotDetached, {}, 0};
        return false;
    }
    if (type.Bytes() != kData) {
        m_decodeProblem = L"what it signs is not plain data but content of type " + OidText(type.Bytes()) +
                          L" (a program's signature, for one, signs a description of the program)";
        m_decodeReason = {Why::SignsOtherContent, {OidText(type.Bytes())}, 0};
        return false;
    }
    if (sd.Optional(DerContext(0), &item)) {
        DerReader certs(item);
        DerItem cert;
        while (certs.Next(&cert))  // other kinds of certificate are of no use here
            if (cert.tag == kDerSequence)
                m_certificates.emplace_back(reinterpret_cast<const char*>(cert.whole), cert.wholeSize);
        if (certs.Failed()) return false;
    }
    sd.Optional(DerContext(1), &item);
    if (!sd.Expect(kDerSet, &signerInfos) || !sd.AtEnd()) return false;
    DerReader signers(signerInfos);
    while (signers.Next(&signerInfo)) {
        m_signers.emplace_back();
        if (!ReadSignerInfo(signerInfo, &m_signers.back())) return false;
    }
    if (signers.Failed()) return false;
    if (m_signers.empty()) {
        m_decodeProblem = L"it names no signer";
        m_decodeReason = {Why::NoSigner, {}, 0};
        return false;
    }
    m_decodeProblem.clear();
    m_decodeReason = {};
    return true;
}

void DetachedSignature::Add(const void* data, size_t size)
{
    for (const auto& hash : m_contentHashes) {
        const BYTE* p = static_cast<const BYTE*>(data);
        for (size_t left = size; !m_contentFailed && left > 0;) {
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(left, 1u << 30));
            if (!::CryptHashData(hash.second, p, piece, 0)) m_contentFailed = true;
            p += piece;
            left -= piece;
        }
    }
}

bool DetachedSignature::Verify(SignatureFinding* finding)
{
    finding->signer.clear();
    finding->thumbprint.clear();
    finding->notTrusted = false;
    if (!m_decodeProblem.empty() || m_contentHashes.empty()) {
        finding->problem = m_decodeProblem;
        finding->reason = m_decodeReason;
        return false;
    }
    const Crypt32& api = *m_api;
    for (const auto& hash : m_contentHashes) {
        m_digests.emplace_back(hash.first, m_contentFailed ? std::vector<BYTE>() : HashValue(hash.second));
        if (m_digests.back().second.empty()) {
            const DWORD error = ::GetLastError();
            finding->problem = L"the image could not be hashed: " + CryptoProblem(error);
            finding->reason = {Why::NotHashed, {}, error};
            return false;
        }
    }

    // Every certificate the file carries is judged by our own reading before CryptoAPI
    // decodes any of them.
    for (const std::string& der : m_certificates) {
        if (SoundCertificate(reinterpret_cast<const BYTE*>(der.data()), der.size())) continue;
        finding->problem = L"a certificate in it is not well formed";
        finding->reason = {Why::CertificateMalformed, {}, 0};
        return false;
    }
    Store carried(api.CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr), StoreCloser{&api});
    if (!carried) {
        const DWORD error = ::GetLastError();
        finding->problem = L"its certificates could not be read: " + CryptoProblem(error);
        finding->reason = {Why::CertificatesUnreadable, {}, error};
        return false;
    }
    for (const std::string& der : m_certificates)
        api.CertAddEncodedCertificateToStore(carried.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                             static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING, nullptr);

    // Every signer must hold; the finding names the first, or the first that does not hold.
    for (size_t i = 0; i < m_signers.size(); ++i) {
        SignatureFinding one;
        const bool good = VerifySigner(m_signers[i], carried.get(), &one);
        if (i == 0 || !good) {
            finding->signer = one.signer;
            finding->thumbprint = one.thumbprint;
            finding->notTrusted = one.notTrusted;
            finding->problem = one.problem;
            finding->reason = one.reason;
        }
        if (!good) return false;
    }
    return true;
}

bool DetachedSignature::VerifySigner(const Signer& signer, HCERTSTORE carried, SignatureFinding* finding)
{
    const Crypt32& api = *m_api;
    std::wstring& problem = finding->problem;
    CheckReason& reason = finding->reason;
    std::vector<BYTE> digest;
    for (const auto& d : m_digests)
        if (d.first == signer.hashAlg) digest = d.second;

    // The signer's certificate, from those the signature carries.
    Cert cert(nullptr, CertFree{&api});
    for (const CERT_CONTEXT* c = nullptr; !cert && (c = api.CertEnumCertificatesInStore(carried, c)) != nullptr;) {
        const CERT_INFO* info = c->pCertInfo;
        std::string serial(reinterpret_cast<const char*>(info->SerialNumber.pbData), info->SerialNumber.cbData);
        std::reverse(serial.begin(), serial.end());  // CryptoAPI keeps it least significant first
        const bool bySerial = !signer.issuer.empty() && serial == signer.serial &&
                              signer.issuer ==
                                  std::string(reinterpret_cast<const char*>(info->Issuer.pbData), info->Issuer.cbData);
        const bool byKeyId = !signer.keyId.empty() && SubjectKeyId(info) == signer.keyId;
        if (bySerial || byKeyId) cert.reset(api.CertDuplicateCertificateContext(c));
        if (cert) api.CertFreeCertificateContext(c);  // the enumeration ends here
    }
    if (!cert) {
        problem = L"the signer's certificate is not in it";
        reason = {Why::SignerCertificateMissing, {}, 0};
        return false;
    }
    finding->signer = NameOf(api, cert.get());
    finding->thumbprint = Hex(Digest(m_provider, CALG_SHA_256, cert->pbCertEncoded, cert->cbCertEncoded));

    // What was signed: the signed attributes, which must say that the content is data and
    // hold the image's digest; or, without them, the image's digest itself.
    std::vector<BYTE> signedDigest = digest;
    if (!signer.signedAttributes.empty()) {
        DerReader outer(reinterpret_cast<const BYTE*>(signer.signedAttributes.data()), signer.signedAttributes.size());
        DerItem all, attribute, type, values, value;
        outer.Next(&all);
        DerReader attributes(all);
        int typesSeen = 0, digestsSeen = 0;
        bool sound = all.size > 0;
        std::string contentType, messageDigest;
        while (sound && attributes.Next(&attribute)) {
            DerReader a(attribute);
            sound = attribute.tag == kDerSequence && a.Expect(kDerOid, &type) && DerSoundOid(type) &&
                    a.Expect(kDerSet, &values) && values.size > 0 && a.AtEnd();
            if (!sound) break;
            DerReader v(values);
            const bool one = v.Next(&value) && v.AtEnd();
            if (type.Bytes() == kContentType) {
                ++typesSeen;
                if (one && value.tag == kDerOid) contentType = value.Bytes();
            } else if (type.Bytes() == kMessageDigest) {
                ++digestsSeen;
                if (one && value.tag == kDerOctetString) messageDigest = value.Bytes();
            }
        }
        if (!sound || !attributes.AtEnd() || attributes.Failed() || typesSeen != 1 || digestsSeen != 1) {
            problem = L"its signed attributes are not as a signature's must be";
            reason = {Why::SignedAttributesBad, {}, 0};
            return false;
        }
        if (contentType != kData) {
            problem = L"what it signs is not plain data but content of type " + OidText(contentType);
            reason = {Why::SignsOtherContent, {OidText(contentType)}, 0};
            return false;
        }
        if (messageDigest != std::string(digest.begin(), digest.end())) {
            problem = L"it was made for other bytes than this image's";
            reason = {Why::OtherBytes, {}, 0};
            return false;
        }
        // The signature covers them encoded as a SET, not as the [0] they are stored as.
        std::string asSet = signer.signedAttributes;
        asSet[0] = static_cast<char>(kDerSet);
        signedDigest = Digest(m_provider, signer.hashAlg, asSet.data(), asSet.size());
    }

    // The signature itself.
    const CERT_PUBLIC_KEY_INFO& keyInfo = cert->pCertInfo->SubjectPublicKeyInfo;
    RsaPublicKey key;
    if (!keyInfo.Algorithm.pszObjId || std::strcmp(keyInfo.Algorithm.pszObjId, szOID_RSA_RSA) != 0 ||
        !ParseRsaPublicKey(keyInfo.PublicKey.pbData, keyInfo.PublicKey.cbData, &key)) {
        problem = L"the signer's key is not an RSA key of 1024 to 8192 bits";
        reason = {Why::KeyNotRsa, {}, 0};
        return false;
    }
    const std::vector<BYTE> signature(signer.signature.begin(), signer.signature.end());
    const ALG_ID alg = signer.hashAlg;
    bool good = false;
    size_t saltLength = 0;
    if (signer.signatureOid == kRsaPss) {
        if (!ReadPssParameters(signer.signatureParameters, signer.digestOid, &saltLength)) {
            problem = L"its RSA-PSS parameters are not the ones this program takes (MGF1 with the same hash)";
            reason = {Why::PssParameters, {}, 0};
            return false;
        }
        const HCRYPTPROV provider = m_provider;
        good = VerifyPss(key, signature, signedDigest, saltLength, [provider, alg](const std::vector<BYTE>& bytes) {
            return Digest(provider, alg, bytes.data(), bytes.size());
        });
    } else if (signer.signatureParameters.empty() &&
               (signer.signatureOid == kRsa || (signer.signatureOid == kRsaSha256 && alg == CALG_SHA_256) ||
                (signer.signatureOid == kRsaSha384 && alg == CALG_SHA_384) ||
                (signer.signatureOid == kRsaSha512 && alg == CALG_SHA_512))) {
        good = VerifyPkcs1(key, signature, signer.digestOid, signedDigest);
    } else {
        problem = L"it is not an RSA signature (PKCS #1 v1.5 or PSS) over its own digest";
        reason = {Why::NotRsaSignature, {}, 0};
        return false;
    }
    if (!good) {
        problem = L"it does not match the image: the signature is not the signer's";
        reason = {Why::NotTheSigners, {}, 0};
        return false;
    }
    return CheckChain(cert.get(), carried, finding);
}

bool DetachedSignature::CheckChain(const CERT_CONTEXT* signer, HCERTSTORE carried, SignatureFinding* finding)
{
    const Crypt32& api = *m_api;
    std::wstring& problem = finding->problem;
    CheckReason& reason = finding->reason;
    // Built from the PC's stores and the file's certificates: no URL in a certificate is
    // followed (the file's author would choose it), and revocation is not looked up.
    LPSTR codeSigning[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = codeSigning;
    const CERT_CHAIN_CONTEXT* rawChain = nullptr;
    if (!api.CertGetCertificateChain(nullptr, signer, nullptr, carried, &para,
                                     CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AIA, nullptr, &rawChain)) {
        const DWORD error = ::GetLastError();
        problem = L"the signer's certificate chain could not be built: " + CryptoProblem(error);
        reason = {Why::ChainNotBuilt, {}, error};
        return false;
    }
    std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree> chain(rawChain, ChainFree{&api});
    if (chain->cChain != 1 || chain->rgpChain[0]->cElement == 0) {
        problem = L"the signer is not trusted: its chain goes through a list of trust, which this program does not take";
        reason = {Why::ChainThroughTrustList, {}, 0};
        return false;
    }
    const CERT_SIMPLE_CHAIN& simple = *chain->rgpChain[0];
    const DWORD count = simple.cElement;
    auto at = [&](DWORD i) { return simple.rgpElement[i]->pCertContext; };
    const std::wstring notTrusted = L"the signer is not trusted: ";

    // Our own reading of the chain first, so that what refuses it is said in our words. What
    // the PC says never to trust refuses before anything else (Wine's chain engine does not
    // look at those stores).
    for (DWORD i = 0; i < count; ++i) {
        if (!InStores(api, m_provider, at(i), kDisallowedStores)) continue;
        problem = notTrusted + NameOf(api, at(i)) + L" is among the certificates this PC does not trust";
        reason = {Why::Disallowed, {NameOf(api, at(i))}, 0};
        return false;
    }
    const CERT_CONTEXT* top = at(count - 1);
    if (!api.CertCompareCertificateName(X509_ASN_ENCODING, &top->pCertInfo->Subject, &top->pCertInfo->Issuer) ||
        !api.CryptVerifyCertificateSignature(0, X509_ASN_ENCODING, top->pbCertEncoded, top->cbCertEncoded,
                                             &top->pCertInfo->SubjectPublicKeyInfo) ||
        !InStores(api, m_provider, top, kRootStores)) {
        problem = notTrusted + L"its chain reaches no root this PC trusts (it ends at " + NameOf(api, top) + L")";
        reason = {Why::NoTrustedRoot, {NameOf(api, top)}, 0};
        return false;
    }
    for (DWORD i = 0; i < count; ++i) {
        const CERT_CONTEXT* c = at(i);
        // Below the root, each certificate is signed with a hash that still holds.
        const std::wstring weak = i + 1 < count ? WeakSignatureHash(c->pCertInfo) : std::wstring();
        if (!weak.empty()) {
            problem = notTrusted + NameOf(api, c) + L" is signed with " + weak + L", which is too weak";
            reason = {Why::WeakCertificateSignature, {NameOf(api, c), weak}, 0};
            return false;
        }
        if (api.CertVerifyTimeValidity(nullptr, c->pCertInfo) != 0) {
            problem = notTrusted + NameOf(api, c) + L" has expired or is not valid yet";
            reason = {Why::CertificateExpired, {NameOf(api, c)}, 0};
            return false;
        }
        if (i + 1 < count &&
            (!api.CertCompareCertificateName(X509_ASN_ENCODING, &c->pCertInfo->Issuer, &at(i + 1)->pCertInfo->Subject) ||
             !api.CryptVerifyCertificateSignature(0, X509_ASN_ENCODING, c->pbCertEncoded, c->cbCertEncoded,
                                                  &at(i + 1)->pCertInfo->SubjectPublicKeyInfo))) {
            problem = notTrusted + NameOf(api, c) + L" is not signed by " + NameOf(api, at(i + 1));
            reason = {Why::NotSignedBy, {NameOf(api, c), NameOf(api, at(i + 1))}, 0};
            return false;
        }
        long pathLength = -1;
        // A root of the old kind (version 1) has no extensions; being in a root store makes it one.
        const bool oldRoot = i + 1 == count && c->pCertInfo->dwVersion == CERT_V1;
        if (i > 0 && !oldRoot &&
            (!IsAuthority(c->pCertInfo, &pathLength) || (pathLength >= 0 && static_cast<long>(i) - 1 > pathLength))) {
            problem = notTrusted + NameOf(api, at(i - 1)) + L" was issued by " + NameOf(api, c) +
                      L", which is not a certification authority (or not for so long a chain)";
            reason = {Why::IssuerNotCa, {NameOf(api, at(i - 1)), NameOf(api, c)}, 0};
            return false;
        }
        if (i == 0 && !KeyUsageAllows(c->pCertInfo, kDigitalSignature)) {
            problem = notTrusted + L"the key of " + NameOf(api, c) + L" is not for digital signatures";
            reason = {Why::SignerKeyUsage, {NameOf(api, c)}, 0};
            return false;
        }
        if (i > 0 && !KeyUsageAllows(c->pCertInfo, kKeyCertSign)) {
            problem = notTrusted + L"the key of " + NameOf(api, c) + L" is not for signing certificates";
            reason = {Why::CaKeyUsage, {NameOf(api, c)}, 0};
            return false;
        }
        if (!AllowsCodeSigning(c->pCertInfo)) {
            problem = notTrusted + NameOf(api, c) + L" is limited to uses other than code signing";
            reason = {Why::NotForCodeSigning, {NameOf(api, c)}, 0};
            return false;
        }
    }
    // Then whatever else the chain engine found.
    const DWORD errors = simple.TrustStatus.dwErrorStatus | chain->TrustStatus.dwErrorStatus;
    const DWORD ignored = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    if (errors & ~ignored) {
        problem = notTrusted + ChainErrorWords(errors & ~ignored);
        wchar_t hex[16];
        wsprintfW(hex, L"0x%08lX", errors & ~ignored);
        reason = {Why::ChainStatus, {hex}, 0};
        return false;
    }
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!api.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain.get(), &policy, &status)) {
        const DWORD error = ::GetLastError();
        problem = L"the signer's certificate chain could not be checked: " + CryptoProblem(error);
        reason = {Why::ChainNotChecked, {}, error};
        return false;
    }
    if (status.dwError != 0) {
        problem = notTrusted + CryptoProblem(status.dwError);
        reason = {Why::ChainRefused, {}, status.dwError};
        return false;
    }

    // Whom the user pinned: each list must name the signer or a CA above it.
    for (const std::vector<std::string>& list : m_pins) {
        bool named = false;
        for (DWORD i = 0; i < count && !named; ++i) {
            const CERT_CONTEXT* c = at(i);
            const std::string sha1 = Hex(Digest(m_provider, CALG_SHA1, c->pbCertEncoded, c->cbCertEncoded));
            const std::string sha256 = Hex(Digest(m_provider, CALG_SHA_256, c->pbCertEncoded, c->cbCertEncoded));
            named = std::find(list.begin(), list.end(), sha1) != list.end() ||
                    std::find(list.begin(), list.end(), sha256) != list.end();
        }
        if (!named) {
            problem = L"the signer " + finding->signer + L" is not one of those this PC is told to trust";
            reason = {Why::NotPinned, {finding->signer}, 0};
            finding->notTrusted = true;
            return false;
        }
    }
    problem.clear();
    reason = {};
    return true;
}
