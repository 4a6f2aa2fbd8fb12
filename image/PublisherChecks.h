// What the image's publisher gives beside it to vouch for it, checked while the image is
// staged:
//   - a checksum file: IMAGE.sha256 or, without one, a SHA256SUMS in the same folder that
//     names the image (lines as sha256sum writes them: 64 hex digits in either case, a blank,
//     a blank or the binary marker '*', the file name, escaped after a leading backslash; or
//     what `certutil -hashfile IMAGE SHA256` writes), in UTF-8 or UTF-16LE with its BOM;
//   - a detached signature: IMAGE.p7s (see DetachedSignature).
// A checksum file that cannot be read or parsed is never taken for a match. The wizard and
// romflash both judge an image by it.
#pragma once
#include <windows.h>
#include <memory>
#include <string>

#include "image/CheckReason.h"
#include "image/TrustPolicy.h"

class DetachedSignature;

struct ChecksumFinding {
    enum class State { None, Match, Mismatch, Unreadable } state = State::None;
    std::wstring file;      // the checksum file used or found unreadable; empty for None
    std::string expected;   // the digest it gives, lower-case hex (Match, Mismatch)
    std::wstring problem;   // Unreadable: why
    CheckReason reason;     // the same, for the wizard to say in its language
};

struct SignatureFinding {
    enum class State { None, Valid, Invalid } state = State::None;
    std::wstring file;
    std::wstring signer;     // the signer's name (Valid; Invalid when it is known)
    std::string thumbprint;  // SHA-256 of the signer's certificate, lower-case hex, when it is known
    std::wstring problem;    // Invalid: why
    CheckReason reason;      // the same, for the wizard to say in its language
    bool notTrusted = false;  // Invalid only because the trust policy names another signer...
    bool policyUnreadable = false;  // ... or cannot be read as meant, and so names no one
};

// What is in a checksum file's bytes about the file called `imageName`. A SHA256SUMS names
// many files (`namedOnly`): only a line naming the image counts. An IMAGE.sha256 may also
// hold the digest alone, or one line naming the image by another name (certutil's must name
// it: it names the file it was run on). Returns Match when it gives a digest for the image (in
// *hex, not yet compared), Unreadable with *problem (and *reason), or None when a SHA256SUMS does not name
// the image.
ChecksumFinding::State ParseChecksumText(const std::string& text, const std::wstring& imageName, bool namedOnly,
                                         std::string* hex, std::wstring* problem,
                                         CheckReason* reason = nullptr);

class PublisherChecks {
public:
    // Looks beside `imagePath` for the files, and reads them; a signature is judged by `policy`
    // as well (see TrustPolicy).
    explicit PublisherChecks(const std::wstring& imagePath, const TrustPolicy& policy = TrustPolicy());
    ~PublisherChecks();
    PublisherChecks(const PublisherChecks&) = delete;
    PublisherChecks& operator=(const PublisherChecks&) = delete;

    // Every byte of the image, in order, as staging reads it (for the signature).
    void Add(const void* data, size_t size);
    // After staging read the whole image, whose SHA-256 is `sha256` (empty: not known).
    void Finish(const std::string& sha256);

    const ChecksumFinding& Checksum() const { return m_checksum; }
    const SignatureFinding& Signature() const { return m_signature; }
    // The policy wants a signature, and there is none: the image is refused.
    bool SignatureMissing() const
    {
        return m_policy.requireSignature && m_signature.state == SignatureFinding::State::None;
    }
    // A finding that refuses the image: a checksum that differs, or a signature not valid.
    bool Refused() const
    {
        return m_checksum.state == ChecksumFinding::State::Mismatch ||
               m_signature.state == SignatureFinding::State::Invalid;
    }
    // What vouches for the image, as the log says it: "signature", "sha256-file" or "none".
    const char* Checked() const;

private:
    ChecksumFinding m_checksum;
    SignatureFinding m_signature;
    TrustPolicy m_policy;
    std::unique_ptr<DetachedSignature> m_detached;
};

// The file name part of a path.
std::wstring FileNameOf(const std::wstring& path);
