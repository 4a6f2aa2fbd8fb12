#include "tests/support/Publisher.h"

#include <wincrypt.h>

#include <cstdio>
#include <cstring>

#include "tests/support/TestSupport.h"

bool RunUnix(const std::vector<std::string>& command)
{
    using Spawn = LONG(WINAPI*)(char* const*, int);  // an NTSTATUS
    const auto spawn = reinterpret_cast<Spawn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
    if (!spawn) return false;
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    return spawn(argv.data(), 1) == 0;
}

std::string UnixPath(const std::wstring& path)
{
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = toUnix ? toUnix(path.c_str()) : nullptr;
    const std::string result = unix ? unix : "";
    if (unix) ::HeapFree(::GetProcessHeap(), 0, unix);
    return result;
}

bool WriteTextFile(const std::wstring& path, const std::string& text)
{
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && written;
}

namespace {

HCERTSTORE MachineStore(const wchar_t* name)
{
    return ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name);
}

bool AddTo(const wchar_t* storeName, const std::string& der)
{
    HCERTSTORE store = MachineStore(storeName);
    const bool added = store && !der.empty() &&
                       ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                          reinterpret_cast<const BYTE*>(der.data()),
                                                          static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                          nullptr);
    if (store) ::CertCloseStore(store, 0);
    return added;
}

void RemoveFrom(const wchar_t* storeName, const std::string& der)
{
    HCERTSTORE store = MachineStore(storeName);
    const CERT_CONTEXT* cert =
        ::CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                       static_cast<DWORD>(der.size()));
    const CERT_CONTEXT* found =
        store && cert ? ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr)
                      : nullptr;
    if (found) ::CertDeleteCertificateFromStore(found);  // frees it
    if (cert) ::CertFreeCertificateContext(cert);
    if (store) ::CertCloseStore(store, 0);
}

// The key of a certificate made here.
std::string KeyOf(const std::string& who)
{
    return who == "under-signer" || who == "under-server" ? "leaf" : who;
}

}  // namespace

Publisher::Publisher(const std::string& signer, bool trusted)
{
    static int made = 0;
    m_folder = TempPath((L"publisher-" + std::to_wstring(++made)).c_str());
    ::CreateDirectoryW(m_folder.c_str(), nullptr);
    const std::string dir = UnixPath(m_folder);
    const std::string script =
        "set -e; cd '" + dir + "'; "
        "printf '[req]\\ndistinguished_name=dn\\n[dn]\\n[root]\\nbasicConstraints=critical,CA:TRUE\\n"
        "keyUsage=critical,keyCertSign\\n[signer]\\nbasicConstraints=CA:FALSE\\n"
        "keyUsage=critical,digitalSignature\\nextendedKeyUsage=codeSigning\\n[server]\\nbasicConstraints=critical,CA:TRUE\\n"
        "keyUsage=critical,keyCertSign\\nextendedKeyUsage=serverAuth\\n"
        "[ca]\\nbasicConstraints=critical,CA:TRUE\\nkeyUsage=critical,keyCertSign\\n"
        "[ca-no-certsign]\\nbasicConstraints=critical,CA:TRUE\\nkeyUsage=critical,digitalSignature\\n"
        "[signer-encipher]\\nbasicConstraints=CA:FALSE\\nkeyUsage=critical,keyEncipherment\\n"
        "extendedKeyUsage=codeSigning\\n' > x.cnf; "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 30 -config x.cnf "
        "-extensions root -subj '/CN=Throwaway Test Root' 2>/dev/null; "
        "openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -config x.cnf -subj '/CN=" +
        signer + "' 2>/dev/null; "
        "openssl x509 -req -in signer.csr -CA root.pem -CAkey root.key -CAcreateserial -out signer.pem -days 30 "
        "-extfile x.cnf -extensions signer 2>/dev/null; "
        "openssl x509 -in root.pem -outform DER -out root.der; "
        "openssl x509 -in signer.pem -outform DER -out signer.der; "
        "openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -config x.cnf -subj '/CN=Leaf' 2>/dev/null; "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -config x.cnf -subj '/CN=Server CA' "
        "2>/dev/null; "
        "openssl x509 -req -in leaf.csr -CA signer.pem -CAkey signer.key -CAcreateserial -out under-signer.pem "
        "-days 30 -extfile x.cnf -extensions signer 2>/dev/null; "
        "openssl x509 -req -in server.csr -CA root.pem -CAkey root.key -CAcreateserial -out server.pem -days 30 "
        "-extfile x.cnf -extensions server 2>/dev/null; "
        "openssl x509 -req -in leaf.csr -CA server.pem -CAkey server.key -CAcreateserial -out under-server.pem "
        "-days 30 -extfile x.cnf -extensions signer 2>/dev/null; "
        "cat root.pem > signer.chain; cat signer.pem root.pem > under-signer.chain; "
        "cat server.pem root.pem > under-server.chain; "
        "for c in root signer; do openssl x509 -in $c.pem -outform DER | sha256sum | cut -c1-64 > $c.sha256; done; "
        "openssl x509 -in signer.pem -noout -fingerprint -sha1 | cut -d= -f2 > signer.sha1";
    m_ready = RunUnix({"/bin/sh", "-c", script});
    if (!m_ready || !trusted) return;
    const std::string der = ReadWholeFile(m_folder + L"\\root.der");
    m_ready = AddTo(L"Root", der);
    if (m_ready) m_root.assign(der.begin(), der.end());
}

Publisher::~Publisher()
{
    if (!m_root.empty()) RemoveFrom(L"Root", std::string(m_root.begin(), m_root.end()));
    for (const std::string& der : m_distrusted) RemoveFrom(L"Disallowed", der);
    RunUnix({"/bin/rm", "-rf", UnixPath(m_folder)});
}

bool Publisher::Issue(const std::string& who, const std::string& name, const std::string& issuer,
                      const std::string& kind, const std::string& digest)
{
    // The issuer's chain: the root alone for the root's own, else the issuer and its chain.
    const std::string chain = issuer == "root" ? "root.pem" : issuer + ".pem " + issuer + ".chain";
    return m_ready &&
           RunUnix({"/bin/sh", "-c",
                    "set -e; cd '" + UnixPath(m_folder) + "'; openssl req -newkey rsa:2048 -nodes -keyout " + who +
                        ".key -out " + who + ".csr -config x.cnf -subj '/CN=" + name +
                        "' 2>/dev/null; openssl x509 -req -in " + who + ".csr -CA " + issuer + ".pem -CAkey " +
                        KeyOf(issuer) + ".key -CAcreateserial -out " + who + ".pem -days 30 -extfile x.cnf -extensions " +
                        kind + " -" + digest + " 2>/dev/null; openssl x509 -in " + who + ".pem -outform DER -out " + who +
                        ".der; cat " + chain + " > " + who + ".chain"});
}

bool Publisher::Sign(const std::wstring& image, const std::string& who, const std::string& options,
                     bool withChain) const
{
    const std::string dir = "'" + UnixPath(m_folder) + "/";
    return m_ready && RunUnix({"/bin/sh", "-c",
                               "openssl cms -sign -binary -in '" + UnixPath(image) + "' -signer " + dir + who +
                                   ".pem' -inkey " + dir + KeyOf(who) + ".key'" +
                                   (withChain ? " -certfile " + dir + who + ".chain'" : "") + " " + options +
                                   " -outform DER -out '" + UnixPath(image) + ".p7s'"});
}

std::string Publisher::Thumbprint(const char* which) const
{
    std::string text = ReadWholeFile(m_folder + L"\\" + std::wstring(which, which + std::strlen(which)));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

bool Publisher::Distrust(const std::string& who)
{
    const std::string der = ReadWholeFile(m_folder + L"\\" + std::wstring(who.begin(), who.end()) + L".der");
    if (!AddTo(L"Disallowed", der)) return false;
    m_distrusted.push_back(der);
    return true;
}

bool DerTree::Parse(const std::string& der, DerTree* tree)
{
    if (der.size() < 2) return false;
    size_t at = 2, length = static_cast<unsigned char>(der[1]);
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || der.size() < 2 + count) return false;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | static_cast<unsigned char>(der[at++]);
    }
    if (der.size() != at + length) return false;
    tree->tag = static_cast<unsigned char>(der[0]);
    tree->content.clear();
    tree->items.clear();
    if (!(tree->tag & 0x20)) {
        tree->content = der.substr(at);
        return true;
    }
    while (at < der.size()) {
        // Each inner item's own extent, from its length.
        if (der.size() - at < 2) return false;
        size_t inner = 2, innerLength = static_cast<unsigned char>(der[at + 1]);
        if (innerLength & 0x80) {
            const size_t count = innerLength & 0x7F;
            if (count == 0 || count > 4 || der.size() - at < 2 + count) return false;
            innerLength = 0;
            for (size_t i = 0; i < count; ++i) innerLength = (innerLength << 8) | static_cast<unsigned char>(der[at + inner++]);
        }
        if (der.size() - at < inner + innerLength) return false;
        tree->items.emplace_back();
        if (!Parse(der.substr(at, inner + innerLength), &tree->items.back())) return false;
        at += inner + innerLength;
    }
    return true;
}

std::string DerTree::Encode() const
{
    std::string body = content;
    if (tag & 0x20) {
        body.clear();
        for (const DerTree& item : items) body += item.Encode();
    }
    std::string out(1, static_cast<char>(tag));
    if (body.size() < 0x80) {
        out += static_cast<char>(body.size());
    } else {
        std::string bytes;
        for (size_t n = body.size(); n > 0; n >>= 8) bytes.insert(bytes.begin(), static_cast<char>(n & 0xFF));
        out += static_cast<char>(0x80 | bytes.size());
        out += bytes;
    }
    return out + body;
}

namespace {

// The parts of a signature file (ContentInfo { signedData, [0] SignedData }).
DerTree& SignedData(DerTree& file) { return file[1][0]; }
DerTree& Certificates(DerTree& file) { return SignedData(file)[3]; }
DerTree& FirstSignerInfo(DerTree& file) { return SignedData(file).items.back()[0]; }

// The to-be-signed part of the certificate the file carries whose subject names `who`.
DerTree* CertificateOf(DerTree& file, const std::string& who)
{
    for (DerTree& cert : Certificates(file).items)
        if (cert[0][5].Encode().find(who) != std::string::npos) return &cert;
    return nullptr;
}

}  // namespace

std::vector<CraftedSignature> CraftSignatures(const std::string& plain, const std::string& byKeyId,
                                              const std::string& signer)
{
    std::vector<CraftedSignature> crafted;
    DerTree sound, keyed;
    if (!DerTree::Parse(plain, &sound) || !DerTree::Parse(byKeyId, &keyed) || !CertificateOf(sound, signer) ||
        !CertificateOf(keyed, signer) || !CertificateOf(sound, "Throwaway Test Root"))
        return crafted;
    auto craft = [&](const char* name, const DerTree& from, Why expected, void (*change)(DerTree&, const std::string&)) {
        DerTree file = from;
        change(file, signer);
        crafted.push_back({name, file.Encode(), expected});
    };
    // Certificates CryptoAPI must never be handed: each once crashed a program.
    craft("an empty OID in an extension of the signer's certificate, named by key id", keyed, Why::CertificateMalformed,
          [](DerTree& f, const std::string& who) { (*CertificateOf(f, who))[0].items.back()[0][0][0].content.clear(); });
    craft("an empty OID as the algorithm of the signer's key", sound, Why::CertificateMalformed,
          [](DerTree& f, const std::string& who) { (*CertificateOf(f, who))[0][6][0][0].content.clear(); });
    craft("an empty BIT STRING as the signature of the signer's certificate", sound, Why::CertificateMalformed,
          [](DerTree& f, const std::string& who) { (*CertificateOf(f, who))[2].content.clear(); });
    craft("an empty OID in an extension of the root the file carries", sound, Why::CertificateMalformed,
          [](DerTree& f, const std::string&) {
              (*CertificateOf(f, "Throwaway Test Root"))[0].items.back()[0][0][0].content.clear();
          });
    craft("a serial number with a needless leading zero", sound, Why::CertificateMalformed,
          [](DerTree& f, const std::string& who) {
              // A positive serial starts below 80, or with the one 00 it needs: one more is too many.
              std::string& serial = (*CertificateOf(f, who))[0][1].content;
              serial.insert(serial.begin(), '\0');
          });
    // DER that is not strict.
    {
        std::string longer = plain;
        if (longer.size() > 4 && static_cast<unsigned char>(longer[1]) == 0x82) {
            longer.replace(1, 1, "\x83\x00", 2);
            crafted.push_back({"a length written longer than it need be", longer, Why::NotPkcs7});
        }
    }
    craft("a signed attribute with a second SET of values", sound, Why::SignedAttributesBad,
          [](DerTree& f, const std::string&) {
              DerTree& attribute = FirstSignerInfo(f)[3][0];
              attribute.items.push_back(attribute[1]);
          });
    craft("signed data of version 7", sound, Why::NotPkcs7,
          [](DerTree& f, const std::string&) { SignedData(f)[0].content = "\x07"; });
    craft("a signer of version 2", sound, Why::NotPkcs7,
          [](DerTree& f, const std::string&) { FirstSignerInfo(f)[0].content = "\x02"; });
    craft("a digest algorithm with parameters", sound, Why::NotPkcs7, [](DerTree& f, const std::string&) {
        DerTree& algorithm = FirstSignerInfo(f)[2];
        algorithm.items.resize(1);
        algorithm.items.push_back(DerTree{0x02, "\x05", {}});
    });
    // More than one signer: good only when every one is.
    craft("a second signer whose signature is not the signer's", sound, Why::NotTheSigners,
          [](DerTree& f, const std::string&) {
              DerTree second = FirstSignerInfo(f);
              second.items[5].content.back() ^= 1;
              SignedData(f).items.back().items.push_back(second);
          });
    craft("a second signer, as sound as the first", sound, Why::None, [](DerTree& f, const std::string&) {
        SignedData(f).items.back().items.push_back(FirstSignerInfo(f));
    });
    return crafted;
}
