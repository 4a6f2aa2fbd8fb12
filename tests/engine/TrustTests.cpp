// Whom the programs trust, judged in-process: crafted signature files (each once a crash, or
// DER read too leniently, or a second signer nobody checked), chains that Windows itself
// would refuse (a certificate it is told never to trust, a weak hash below the root, keys
// not meant for what they sign), and trust policies that cannot be read as meant. Each is
// refused, and none crashes: a crash ends this program (main.cpp), failing its entry.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/DetachedSignature.h"
#include "image/TrustPolicy.h"
#include "tests/engine/Support.h"
#include "tests/support/Publisher.h"
#include "tests/support/TestSupport.h"

namespace {

const char kMaker[] = "Example Handhelds ROM Signing";

// The signature file's verdict over `image`, with `pins`.
bool Verdict(const std::string& p7s, const Bytes& image, SignatureFinding* finding,
             const std::vector<std::vector<std::string>>& pins = {})
{
    DetachedSignature signature(std::vector<BYTE>(p7s.begin(), p7s.end()), pins);
    signature.Add(image.data(), image.size());
    return signature.Verify(finding);
}

// One publisher for the whole suite, made before any chain is built: CryptoAPI's chain
// engine reads the root stores once per process, and would not see a root added later.
class Trust : public ::testing::Test {
protected:
    static void SetUpTestSuite() { maker = new Publisher(kMaker, true); }
    static void TearDownTestSuite()
    {
        delete maker;
        maker = nullptr;
    }
    void SetUp() override
    {
        WriteBytes(imagePath, image);
        if (!maker->Ready()) GTEST_SKIP() << "no openssl beneath";
    }
    // The signature `who` makes over the image, with `options` for openssl cms.
    std::string SignedBy(const std::string& who, const std::string& options = "")
    {
        if (!maker->Sign(imagePath, who, options)) return std::string();
        return ReadWholeFile(imagePath + L".p7s");
    }

    static Publisher* maker;
    ScratchDir scratch;
    const std::wstring imagePath = scratch.File(L"image.bin");
    const Bytes image = Pattern(40000, 3);
};
Publisher* Trust::maker = nullptr;

TEST_F(Trust, CraftedSignatureFilesAreRefusedForWhatTheyAreAndNoneCrashes)
{
    const std::string plain = SignedBy("signer"), byKeyId = SignedBy("signer", "-keyid");
    SignatureFinding finding;
    ASSERT_TRUE(Verdict(plain, image, &finding)) << Utf8(finding.problem);
    ASSERT_TRUE(Verdict(byKeyId, image, &finding)) << Utf8(finding.problem);
    const std::vector<CraftedSignature> corpus = CraftSignatures(plain, byKeyId, kMaker);
    ASSERT_GE(corpus.size(), 12u);
    for (const CraftedSignature& c : corpus) {
        SCOPED_TRACE(c.name);
        SignatureFinding found;
        EXPECT_EQ(Verdict(c.bytes, image, &found), c.expected == Why::None) << Utf8(found.problem);
        EXPECT_EQ(found.reason.why, c.expected) << Utf8(found.problem);
    }
    std::printf("%zu crafted signature files judged in-process\n", corpus.size());
}

// What Windows refuses in a chain, refused here on every platform; and a chain through an
// intermediate that has none of it holds.
TEST_F(Trust, ChainsWindowsWouldRefuseAreRefused)
{
    ASSERT_TRUE(maker->Issue("inter", "Example Intermediate", "root", "ca"));
    ASSERT_TRUE(maker->Issue("deep", "Example Deep Signer", "inter", "signer"));
    ASSERT_TRUE(maker->Issue("md5ca", "MD5 Intermediate", "root", "ca", "md5"));
    ASSERT_TRUE(maker->Issue("undermd5", "Under MD5", "md5ca", "signer"));
    ASSERT_TRUE(maker->Issue("sha1signer", "SHA-1 Signer", "root", "signer", "sha1"));
    ASSERT_TRUE(maker->Issue("encipher", "Encipherment Only", "root", "signer-encipher"));
    ASSERT_TRUE(maker->Issue("nocertsign", "Not For Certificates", "root", "ca-no-certsign"));
    ASSERT_TRUE(maker->Issue("undernocertsign", "Under Not For Certificates", "nocertsign", "signer"));
    SignatureFinding finding;
    const std::string deep = SignedBy("deep");
    ASSERT_TRUE(Verdict(deep, image, &finding)) << Utf8(finding.problem);

    const struct {
        const char* who;
        Why why;
        const wchar_t* says;
    } refused[] = {
        {"undermd5", Why::WeakCertificateSignature, L"MD5 Intermediate is signed with MD5, which is too weak"},
        {"sha1signer", Why::WeakCertificateSignature, L"SHA-1 Signer is signed with SHA-1, which is too weak"},
        {"encipher", Why::SignerKeyUsage, L"the key of Encipherment Only is not for digital signatures"},
        {"undernocertsign", Why::CaKeyUsage, L"the key of Not For Certificates is not for signing certificates"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.who);
        SignatureFinding found;
        EXPECT_FALSE(Verdict(SignedBy(r.who), image, &found));
        EXPECT_EQ(found.reason.why, r.why) << Utf8(found.problem);
        EXPECT_NE(found.problem.find(r.says), std::wstring::npos) << Utf8(found.problem);
    }

    // Told never to trust the intermediate; then the root, although it is a trusted root too.
    ASSERT_TRUE(maker->Distrust("inter"));
    EXPECT_FALSE(Verdict(deep, image, &finding));
    EXPECT_EQ(finding.reason.why, Why::Disallowed) << Utf8(finding.problem);
    EXPECT_NE(finding.problem.find(L"Example Intermediate is among the certificates this PC does not trust"),
              std::wstring::npos)
        << Utf8(finding.problem);
    ASSERT_TRUE(maker->Distrust("root"));
    EXPECT_FALSE(Verdict(SignedBy("signer"), image, &finding));
    EXPECT_EQ(finding.reason.why, Why::Disallowed) << Utf8(finding.problem);
}

// The policy key, written as an administrator (or a careless tool) might: every value that
// cannot be read as thumbprints trusts no one; RequireSignature is on unless it is DWORD 0.
class Policy : public ::testing::Test {
protected:
    static constexpr const wchar_t* kKey = L"Software\\Policies\\ROM Upgrade Wizard";
    void TearDown() override { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey); }
    static void Set(const wchar_t* subkey, const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        HKEY key = nullptr;
        const std::wstring path = std::wstring(kKey) + (subkey ? std::wstring(L"\\") + subkey : L"");
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                    nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        if (name) ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
        ::RegCloseKey(key);
    }
    static void SetSigner(DWORD type, const std::wstring& text)
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
        Set(L"TrustedSigners", L"1", type, text.data(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
};

TEST_F(Policy, SignersThatCannotBeReadAsThumbprintsTrustNoOne)
{
    const std::wstring print(64, L'a');
    SetSigner(REG_SZ, print);
    TrustPolicy read = ReadTrustPolicy();
    ASSERT_EQ(read.signers.size(), 1u) << Utf8(read.problem);
    EXPECT_EQ(read.signers[0], std::vector<std::string>{std::string(64, 'a')});
    EXPECT_TRUE(read.problem.empty());
    const DWORD number = 1;
    const BYTE bytes[] = {0xAA, 0xBB};
    const struct {
        const char* what;
        DWORD type;
        std::wstring text;  // as the value's data, unless binary
        Why why;
    } unreadable[] = {
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, print, Why::PolicyValueNotText},
        {"REG_BINARY", REG_BINARY, L"", Why::PolicyValueNotText},
        {"REG_DWORD", REG_DWORD, L"", Why::PolicyValueNotText},
        {"an empty REG_SZ", REG_SZ, L"", Why::PolicyValueEmpty},
        {"a blank REG_SZ", REG_SZ, L"   ", Why::PolicyValueEmpty},
        {"a REG_MULTI_SZ of empty strings", REG_MULTI_SZ, std::wstring(3, L'\0'), Why::PolicyValueEmpty},
        {"a REG_SZ that is no thumbprint", REG_SZ, L"Example Handhelds", Why::PolicyNoThumbprint},
    };
    for (const auto& u : unreadable) {
        SCOPED_TRACE(u.what);
        if (u.type == REG_BINARY || u.type == REG_DWORD) {
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
            Set(L"TrustedSigners", L"1", u.type, u.type == REG_BINARY ? static_cast<const void*>(bytes) : &number,
                u.type == REG_BINARY ? sizeof bytes : sizeof number);
        } else {
            SetSigner(u.type, u.text);
        }
        read = ReadTrustPolicy();
        EXPECT_FALSE(read.problem.empty()) << "read as trusting anyone";
        EXPECT_EQ(read.reason.why, u.why) << Utf8(read.problem);
    }
    // A key with no values says nothing.
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    Set(L"TrustedSigners", nullptr, 0, nullptr, 0);
    read = ReadTrustPolicy();
    EXPECT_TRUE(read.problem.empty() && read.signers.empty()) << Utf8(read.problem);
}

TEST_F(Policy, RequireSignatureIsOnUnlessItIsTheDwordZero)
{
    EXPECT_FALSE(ReadTrustPolicy().requireSignature) << "no policy at all";
    const DWORD zero = 0, two = 2;
    const unsigned long long one64 = 1;
    const BYTE byte = 1;
    const wchar_t* text = L"1";
    const wchar_t* textZero = L"0";
    const struct {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;
        bool required;
    } values[] = {
        {"DWORD 0", REG_DWORD, &zero, sizeof zero, false},
        {"DWORD 2", REG_DWORD, &two, sizeof two, true},
        {"REG_SZ 1", REG_SZ, text, 4, true},
        {"REG_SZ 0", REG_SZ, textZero, 4, true},
        {"REG_QWORD 1", REG_QWORD, &one64, sizeof one64, true},
        {"REG_BINARY 01", REG_BINARY, &byte, 1, true},
    };
    for (const auto& v : values) {
        SCOPED_TRACE(v.what);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
        Set(nullptr, L"RequireSignature", v.type, v.data, v.size);
        EXPECT_EQ(ReadTrustPolicy().requireSignature, v.required);
    }
}

// signers.txt beside the program: one that names no one trusts no one.
TEST_F(Policy, SignersFileThatNamesNoOneTrustsNoOne)
{
    wchar_t program[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    ASSERT_TRUE(n > 0 && n < MAX_PATH);
    std::wstring path(program, n);
    path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"signers.txt";
    for (const char* text : {"", "# whom we trust:\r\n\r\n   # nobody yet\r\n"}) {
        ASSERT_TRUE(WriteTextFile(path, text));
        const TrustPolicy read = ReadTrustPolicy();
        EXPECT_EQ(read.reason.why, Why::SignersFileNamesNoOne) << Utf8(read.problem);
        EXPECT_TRUE(read.signers.empty());
    }
    ASSERT_TRUE(WriteTextFile(path, std::string(40, 'b') + "  # the maker\n"));
    const TrustPolicy read = ReadTrustPolicy();
    EXPECT_TRUE(read.problem.empty()) << Utf8(read.problem);
    ASSERT_EQ(read.signers.size(), 1u);
    ::DeleteFileW(path.c_str());
}

}  // namespace
