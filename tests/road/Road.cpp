#include "tests/road/Road.h"
#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>
#include <wincrypt.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

using robot::Page;

UpgradeLog::UpgradeLog() : m_mark(ReadWholeFile(Path()).size()) {}

std::wstring UpgradeLog::Folder()
{
    wchar_t local[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local);
    return std::wstring(local) + L"\\ROM Upgrade Wizard";
}

std::vector<std::string> UpgradeLog::NewRecords() const
{
    const std::string all = ReadWholeFile(Path());
    std::vector<std::string> records;
    for (size_t at = std::min(m_mark, all.size()); at < all.size();) {
        size_t end = all.find("\r\n", at);
        if (end == std::string::npos) end = all.size();
        records.push_back(all.substr(at, end - at));
        at = end + 2;
    }
    return records;
}

void UpgradeLog::ReadOnlyNewRecord(Fields* fields) const
{
    const std::vector<std::string> records = NewRecords();
    ASSERT_EQ(records.size(), 1u);
    *fields = Parse(records[0]);
}

UpgradeLog::Fields UpgradeLog::Parse(const std::string& record)
{
    Fields fields;
    size_t at = record.find(' ');
    fields["time"] = record.substr(0, at);
    while (at != std::string::npos && at < record.size()) {
        ++at;
        const size_t equals = record.find('=', at);
        if (equals == std::string::npos) break;
        const std::string key = record.substr(at, equals - at);
        size_t end;
        if (record.compare(equals + 1, 1, "\"") == 0) {
            // Quoted: \" and \\ stand for themselves, \xHH for a control character.
            std::string value;
            for (end = equals + 2; end < record.size() && record[end] != '"'; ++end) {
                if (record[end] == '\\' && end + 1 < record.size()) {
                    if (record[end + 1] == 'x' && end + 3 < record.size()) {
                        value += static_cast<char>(std::stoi(record.substr(end + 2, 2), nullptr, 16));
                        end += 3;
                        continue;
                    }
                    ++end;
                }
                value += record[end];
            }
            fields[key] = value;
            if (end < record.size()) ++end;
        } else {
            end = record.find(' ', equals);
            fields[key] = record.substr(equals + 1, end == std::string::npos ? end : end - equals - 1);
        }
        at = end;
    }
    return fields;
}

ImageFile::ImageFile(uint64_t size, const wchar_t* name) : m_path(TempPath(name))
{
    m_sum = WriteSampleImage(m_path, size, static_cast<uint32_t>(size));
}

ImageFile::~ImageFile() { ::DeleteFileW(m_path.c_str()); }

void RoadScenario::WalkToDeviceCheck(const std::wstring& program, const std::wstring& arguments)
{
    StartWizard(program, arguments);
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::Reset));
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::Select));
    ASSERT_TRUE(wizard.Press(IDOK));
}

void RoadScenario::WalkToImagePage(const std::wstring& program, const std::wstring& arguments)
{
    WalkToDeviceCheck(program, arguments);
    ASSERT_TRUE(wizard.WaitForPage(Page::Image, 15000)) << "see " << Visible();
}

void RoadScenario::ChooseImage(const std::wstring& path, bool confirm)
{
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.ChooseFile(path)) << "no file dialog";
    if (confirm) AnswerQuestion();
}

void RoadScenario::AnswerQuestion(std::wstring* text, int button)
{
    std::wstring shown;
    ASSERT_TRUE(wizard.WaitForMessageBox(&shown, 20000, true)) << "no question; see " << Visible();
    if (text) *text = shown;
    ASSERT_TRUE(wizard.AnswerMessageBox(10000, true, button));
}

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

bool SwapTwoBytesInPlace(const std::wstring& path, uint64_t at)
{
    const std::string bytes = ReadWholeFile(path);
    if (at + 2 > bytes.size()) return false;
    char octal[16];
    std::snprintf(octal, sizeof octal, "\\%03o\\%03o", static_cast<unsigned char>(bytes[at + 1]),
                  static_cast<unsigned char>(bytes[at]));
    return RunUnix({"/bin/sh", "-c",
                    std::string("printf '") + octal + "' | dd of='" + UnixPath(path) + "' bs=1 seek=" +
                        std::to_string(at) + " conv=notrunc 2>/dev/null"});
}

void RoadScenario::ExpectFinishPage(std::wstring* lastStatus, int* barPos)
{
    ASSERT_TRUE(wizard.WaitForPage(Page::End, 60000)) << "see " << Visible();
    HWND progressPage = wizard.FindPage(Page::Progress);
    ASSERT_NE(progressPage, nullptr) << "the progress page ends only after the finish page";
    EXPECT_FALSE(::IsWindowVisible(progressPage));
    HWND bar = ::GetDlgItem(progressPage, IDC_PROGRESS);
    if (lastStatus) *lastStatus = robot::Wizard::TextOf(bar);
    if (barPos) {
        DWORD_PTR pos = 0;
        ::SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &pos);
        *barPos = static_cast<int>(pos);
    }
}

void RoadScenario::ExpectErrorBox(const std::wstring& text)
{
    std::wstring shown;
    ASSERT_TRUE(wizard.WaitForMessageBox(&shown, 20000)) << "no error box; see " << Visible();
    EXPECT_EQ(shown, text);
    ASSERT_TRUE(wizard.AnswerMessageBox());
}

void RoadScenario::ExpectRefusedAtBlock(EmulatedHandheld::Report& report, int block)
{
    EXPECT_EQ(report["refused"], "block:" + std::to_string(block));
    EXPECT_EQ(report["blocks"], std::to_string(block));
    EXPECT_EQ(report["bytes_after_refusal"], "0");
}

robot::ConsoleResult RoadScenario::Flash(const std::wstring& arguments, DWORD timeoutMs)
{
    robot::ConsoleResult r = robot::RunConsole(FlasherPath(), arguments, timeoutMs);
    EXPECT_TRUE(r.ended) << "romflash " << Utf8(arguments) << " did not end; its output: " << r.err;
    return r;
}

void WriteTextFile(const std::wstring& path, const std::string& text)
{
    FILE* f = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(f, nullptr) << Utf8(path);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

namespace {

HCERTSTORE MachineRoots()
{
    return ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
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
        "keyUsage=critical,keyCertSign\\nextendedKeyUsage=serverAuth\\n' > x.cnf; "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 30 -config x.cnf "
        "-extensions root -subj '/CN=Throwaway Test Root' 2>/dev/null; "
        "openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -config x.cnf -subj '/CN=" +
        signer + "' 2>/dev/null; "
        "openssl x509 -req -in signer.csr -CA root.pem -CAkey root.key -CAcreateserial -out signer.pem -days 30 "
        "-extfile x.cnf -extensions signer 2>/dev/null; "
        "openssl x509 -in root.pem -outform DER -out root.der; "
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
    HCERTSTORE roots = MachineRoots();
    m_ready = roots && !der.empty() &&
              ::CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                 static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                 nullptr);
    if (m_ready) m_root.assign(der.begin(), der.end());
    if (roots) ::CertCloseStore(roots, 0);
}

Publisher::~Publisher()
{
    if (!m_root.empty()) {
        HCERTSTORE roots = MachineRoots();
        const CERT_CONTEXT* cert =
            ::CertCreateCertificateContext(X509_ASN_ENCODING, m_root.data(), static_cast<DWORD>(m_root.size()));
        const CERT_CONTEXT* found =
            roots && cert ? ::CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr)
                          : nullptr;
        if (found) ::CertDeleteCertificateFromStore(found);  // frees it
        if (cert) ::CertFreeCertificateContext(cert);
        if (roots) ::CertCloseStore(roots, 0);
    }
    RunUnix({"/bin/rm", "-rf", UnixPath(m_folder)});
}

bool Publisher::Sign(const std::wstring& image, const std::string& who, const std::string& options,
                     bool withChain) const
{
    const std::string dir = "'" + UnixPath(m_folder) + "/";
    const std::string key = dir + (who == "signer" ? "signer" : "leaf") + ".key'";
    return m_ready && RunUnix({"/bin/sh", "-c",
                               "openssl cms -sign -binary -in '" + UnixPath(image) + "' -signer " + dir + who + ".pem' -inkey " +
                                   key + (withChain ? " -certfile " + dir + who + ".chain'" : "") + " " + options +
                                   " -outform DER -out '" + UnixPath(image) + ".p7s'"});
}

std::string Publisher::Thumbprint(const char* which) const
{
    std::string text = ReadWholeFile(m_folder + L"\\" + std::wstring(which, which + std::strlen(which)));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}
