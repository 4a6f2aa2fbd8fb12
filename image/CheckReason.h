// Why a publisher's file or the trust policy was not taken, as a code and the words it names
// (files, names, line numbers) and a Windows error, so that the wizard can say it in the user's
// language. The English `problem` beside each reason stays what romflash writes.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// The order is the string table's (IDS_WHY_BASE + code): add new ones at the end.
enum class Why {
    None,
    FileNotOpened,           // error
    FileTooLarge,
    FileNotRead,             // error
    Utf16CutShort,
    CertutilNamesOther,      // the name it gives, the image's
    NotCertutil,
    NotChecksumLine,         // the line's number
    TwoChecksums,            // the image's name
    NoChecksum,
    DoesNotName,             // the image's name
    NoSha256,
    NoCryptoApi,
    NoSha2Provider,          // error
    DigestNotSha2,
    NotPkcs7,
    NotDetached,
    SignsOtherContent,       // the content type
    NoSigner,
    NotHashed,               // error
    CertificatesUnreadable,  // error
    SignerCertificateMissing,
    SignedAttributesBad,
    OtherBytes,
    KeyNotRsa,
    PssParameters,
    NotRsaSignature,
    NotTheSigners,
    ChainNotBuilt,           // error
    ChainThroughTrustList,
    NoTrustedRoot,           // where the chain ends
    CertificateExpired,      // the certificate
    NotSignedBy,             // the certificate, the one above it
    IssuerNotCa,             // the certificate, its issuer
    NotForCodeSigning,       // the certificate
    ChainStatus,             // the chain's status, in hex
    ChainNotChecked,         // error
    ChainRefused,            // error
    NotPinned,               // the signer
    PolicyUnreadable,
    PolicyNoThumbprint,      // the value's text, its name
    SignersFileNotOpened,    // the file
    SignersFileNotRead,      // the file
    SignersFileLine,         // the file, the line's number
    PolicyValueNotText,      // the value's name, its type
    PolicyValueEmpty,        // the value's name
    SignersFileNamesNoOne,   // the file
    CertificateMalformed,
    Disallowed,              // the certificate
    WeakCertificateSignature,  // the certificate, the algorithm
    SignerKeyUsage,          // the certificate
    CaKeyUsage,              // the certificate
    Count
};

struct CheckReason {
    Why why = Why::None;
    std::vector<std::wstring> words;  // %1, %2, ... of its text
    DWORD error = 0;                  // a Windows error, the text's last word when not 0
};
