// What tests do beneath Wine with Unix tools, and the throwaway publishers they make with
// openssl there: certificates, chains and detached signatures, and DER to craft from them.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "image/CheckReason.h"

// Under Wine a test can run a Unix command (false when there is no Unix beneath, or the
// command did not end with 0), to do what a Windows program cannot, or to use a Unix tool.
bool RunUnix(const std::vector<std::string>& command);
std::string UnixPath(const std::wstring& path);
// Writes `text` into the file at `path`; false when it could not.
bool WriteTextFile(const std::wstring& path, const std::string& text);

// A throwaway publisher: a root of its own ("root") and, under it, a code-signing certificate
// named `signer` ("signer"); two code-signing certificates that must never be trusted:
// "under-signer", issued by that signer (not a CA), and "under-server", issued by a CA under
// the root limited to server authentication; and whatever Issue makes. With `trusted`, the
// prefix's machine root store trusts its root until the object goes.
class Publisher {
public:
    Publisher(const std::string& signer, bool trusted);
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    bool Ready() const { return m_ready; }
    // Makes a certificate `who`, named `name`, issued by `issuer` ("root", "signer" or one made
    // here), with the extensions of `kind`: "ca", "ca-no-certsign" (a CA whose key is not for
    // signing certificates), "signer", or "signer-encipher" (a code signer whose key is for
    // encipherment only); signed with openssl's `digest` ("sha256", "sha1", "md5").
    bool Issue(const std::string& who, const std::string& name, const std::string& issuer, const std::string& kind,
               const std::string& digest = "sha256");
    // Writes IMAGE.p7s beside the image: its detached signature by `who` ("signer",
    // "under-signer", "under-server", or one Issue made), with its chain up to the root unless
    // `withChain` is false, and `options` for openssl cms.
    bool Sign(const std::wstring& image, const std::string& who = "signer", const std::string& options = "",
              bool withChain = true) const;
    // A thumbprint: "root.sha256" and "signer.sha256" (lower-case hex), "signer.sha1" (as
    // openssl prints it: upper case, colons).
    std::string Thumbprint(const char* which) const;
    // Puts the certificate `who` into the machine's store of certificates Windows must never
    // trust (Disallowed) until the object goes.
    bool Distrust(const std::string& who);

private:
    std::wstring m_folder;
    std::vector<unsigned char> m_root;     // DER, while trusted
    std::vector<std::string> m_distrusted;  // DER, while distrusted
    bool m_ready = false;
};

// DER as a tree, for crafting files: each item its tag with either its content (a primitive
// item) or the items inside it (a constructed one); written back with every length in its
// shortest form.
struct DerTree {
    unsigned char tag = 0;
    std::string content;
    std::vector<DerTree> items;

    // False when `der` is not one whole item.
    static bool Parse(const std::string& der, DerTree* tree);
    std::string Encode() const;
    DerTree& operator[](size_t i) { return items.at(i); }
};

// A signature file crafted from a sound one, and what a check must find of it (Why::None: a
// sound one after all).
struct CraftedSignature {
    std::string name;
    std::string bytes;
    Why expected;
};
// The crafted files made from `plain` (a sound signature naming its signer by issuer and serial
// number, with its chain up to a root named "Throwaway Test Root") and `byKeyId` (the same,
// naming the signer by key id), whose signer's certificate names `signer`: files that once
// crashed the programs, DER that is not strict, signers more than one. Empty when the sound
// ones cannot be read.
std::vector<CraftedSignature> CraftSignatures(const std::string& plain, const std::string& byKeyId,
                                              const std::string& signer);
