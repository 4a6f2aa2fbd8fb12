// Whom the programs trust to sign an image, beyond what Windows trusts for code signing:
// thumbprints of the signer's certificate or of a CA of its chain, and whether an image must
// be signed at all. Read from, in this order of precedence:
//   - the policy key HKLM\Software\Policies\ROM Upgrade Wizard (a company's, set through Group
//     Policy): its value RequireSignature refuses unsigned images unless it is the DWORD 0;
//     its subkey TrustedSigners holds thumbprints in values of any name, one per REG_SZ value
//     or per string of a REG_MULTI_SZ value;
//   - signers.txt beside the program (a maker's, shipped with it): one thumbprint a line,
//     `#` starting a comment; used only when the policy key names no thumbprint, so that a
//     company's word is not widened by a file;
//   - romflash's --signer (a bench's), which narrows whatever of the above applies: a signer
//     must then be named by both.
// A thumbprint is the SHA-1 (40 hex digits) or SHA-256 (64) of the certificate, in either case,
// with blanks or colons between the digits if one likes. A policy that cannot be read as meant
// trusts no signer at all, rather than any: a value of another type, an empty or blank one, a
// string that is no thumbprint, a signers.txt that cannot be read or names no one.
#pragma once
#include <string>
#include <vector>

#include "image/CheckReason.h"

struct TrustPolicy {
    // Lists of thumbprints, lower-case hex; a signer is trusted only when every list names it
    // or a CA of its chain. None: any signer Windows trusts for code signing.
    std::vector<std::vector<std::string>> signers;
    bool requireSignature = false;
    std::wstring problem;  // why the policy could not be read as meant; then no signer is trusted
    CheckReason reason;    // the same, for the wizard to say in its language
};

// A thumbprint as a user writes it, into lower-case hex; false when it is none.
bool ParseThumbprint(const std::wstring& text, std::string* hex);

// The policy key and signers.txt beside the program.
TrustPolicy ReadTrustPolicy();
