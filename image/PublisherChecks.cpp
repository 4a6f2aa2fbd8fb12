#include "image/PublisherChecks.h"

#include <vector>

#include "framework/CString.h"
#include "image/DetachedSignature.h"
#include "image/Sha256.h"

namespace {

using State = ChecksumFinding::State;

// Checksum and signature files are small: anything larger is not one.
constexpr DWORD kLargestFile = 1 << 20;

enum class Read { Absent, Done, Failed };

// The whole of a small file; *problem and *reason say why it could not be read.
Read ReadSmallFile(const std::wstring& path, std::vector<BYTE>* bytes, std::wstring* problem, CheckReason* reason)
{
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Read::Absent;
        *problem = L"it could not be opened: " + CryptoProblem(error);
        *reason = {Why::FileNotOpened, {}, error};
        return Read::Failed;
    }
    LARGE_INTEGER size{};
    bool ok = ::GetFileSizeEx(file, &size) != 0;
    if (ok && size.QuadPart > kLargestFile) {
        *problem = L"it is larger than 1 MiB";
        *reason = {Why::FileTooLarge, {}, 0};
        ::CloseHandle(file);
        return Read::Failed;
    }
    bytes->resize(ok ? static_cast<size_t>(size.QuadPart) : 0);
    DWORD got = 0;
    if (ok && !bytes->empty())
        ok = ::ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) && got == bytes->size();
    if (!ok) {
        const DWORD error = ::GetLastError();
        *problem = L"it could not be read: " + CryptoProblem(error);
        *reason = {Why::FileNotRead, {}, error};
    }
    ::CloseHandle(file);
    return ok ? Read::Done : Read::Failed;
}

// A checksum file's text in UTF-8. It may be UTF-8, with or without a byte order mark, or
// UTF-16LE with one (PowerShell 5's '>' writes that); false for UTF-16 cut short.
bool TextInUtf8(const std::string& bytes, std::string* text)
{
    if (bytes.compare(0, 2, "\xFF\xFE") != 0) {
        *text = bytes.substr(bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0);
        return true;
    }
    if (bytes.size() % 2 != 0) return false;
    std::wstring wide;
    for (size_t i = 2; i < bytes.size(); i += 2)
        wide += static_cast<wchar_t>(static_cast<BYTE>(bytes[i]) | static_cast<BYTE>(bytes[i + 1]) << 8);
    *text = ToUtf8(wide);
    return true;
}

// Whether two file names are the same to Windows, which ignores case.
bool SameFileName(std::wstring a, std::wstring b)
{
    if (a.size() != b.size()) return false;
    if (!a.empty()) {
        ::CharUpperBuffW(&a[0], static_cast<DWORD>(a.size()));
        ::CharUpperBuffW(&b[0], static_cast<DWORD>(b.size()));
    }
    return a == b;
}

// A name as sha256sum writes it on a line that starts with a backslash: "\\" for a backslash,
// "\n" and "\r" for line ends. False for any other escape.
bool Unescaped(const std::string& escaped, std::string* name)
{
    name->clear();
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            *name += escaped[i];
            continue;
        }
        const char next = ++i < escaped.size() ? escaped[i] : '\0';
        if (next != '\\' && next != 'n' && next != 'r') return false;
        *name += next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
    }
    return true;
}

// What `certutil -hashfile IMAGE SHA256` writes: "SHA256 hash of file NAME:" (Windows 7, 8)
// or "SHA256 hash of NAME:" (10 on), the digest in hex (a blank between bytes before 10), and
// its closing line. Other when it names another file; NotCertutil when the first line is not
// its header.
enum class Certutil { NotCertutil, Match, Other, Unreadable };

Certutil ParseCertutil(const std::vector<std::string>& lines, const std::wstring& imageName, std::string* hex,
                       std::wstring* named)
{
    static const char kHeader[] = "SHA256 hash of ";
    const size_t headerSize = sizeof kHeader - 1;
    if (lines.empty() || _strnicmp(lines[0].c_str(), kHeader, headerSize) != 0 || lines[0].back() != ':')
        return Certutil::NotCertutil;
    if (lines.size() < 2 || lines.size() > 3 ||
        (lines.size() == 3 && _stricmp(lines[2].c_str(), "CertUtil: -hashfile command completed successfully.") != 0))
        return Certutil::Unreadable;
    std::string digest = lines[1];
    if (digest.size() == 95) {  // "5d 41 40 ...": take out the blanks, and only those
        for (size_t i = 2; i < digest.size(); i += 2)
            if (digest[i] == ' ') digest.erase(i, 1);
    }
    if (!ParseSha256(FromUtf8(digest), &digest)) return Certutil::Unreadable;
    // "of file X:" reads either way: X, or the file "file X" in Windows 10's words.
    *named = FromUtf8(lines[0].substr(headerSize, lines[0].size() - headerSize - 1));
    if (!SameFileName(FileNameOf(*named), imageName) &&
        (named->compare(0, 5, L"file ") != 0 || !SameFileName(FileNameOf(named->substr(5)), imageName)))
        return Certutil::Other;
    *hex = digest;
    return Certutil::Match;
}

}  // namespace

std::wstring FileNameOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

State ParseChecksumText(const std::string& bytes, const std::wstring& imageName, bool namedOnly, std::string* hex,
                        std::wstring* problem, CheckReason* reason)
{
    CheckReason unused;
    if (!reason) reason = &unused;
    std::string text;
    if (!TextInUtf8(bytes, &text)) {
        *problem = L"it is UTF-16 cut short";
        *reason = {Why::Utf16CutShort, {}, 0};
        return State::Unreadable;
    }
    std::vector<std::string> lines;  // those that say something
    std::vector<int> numbers;        // theirs, for what a problem says
    for (size_t at = 0, number = 1; at < text.size(); ++number) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        lines.push_back(line);
        numbers.push_back(static_cast<int>(number));
    }
    std::wstring certutilNamed;
    switch (ParseCertutil(lines, imageName, hex, &certutilNamed)) {
    case Certutil::NotCertutil: break;
    case Certutil::Match: return State::Match;
    case Certutil::Other:
        if (namedOnly) return State::None;
        *problem = L"certutil's first line names " + certutilNamed + L", not " + imageName;
        *reason = {Why::CertutilNamesOther, {certutilNamed, imageName}, 0};
        return State::Unreadable;
    case Certutil::Unreadable:
        *problem = L"it is not certutil's SHA-256 output as it writes it";
        *reason = {Why::NotCertutil, {}, 0};
        return State::Unreadable;
    }
    std::string named, single;
    int entries = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        // sha256sum starts a line with a backslash when it escapes the name.
        const bool escaped = lines[i][0] == '\\';
        const std::string line = lines[i].substr(escaped ? 1 : 0);
        std::string digest, nameUtf8;
        if (!ParseSha256(FromUtf8(line.substr(0, 64)), &digest) || (escaped && line.size() <= 64) ||
            (line.size() > 64 && (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*'))) ||
            (escaped && !Unescaped(line.substr(66), &nameUtf8))) {
            *problem = L"line " + std::to_wstring(numbers[i]) + L" is not a SHA-256 checksum line";
            *reason = {Why::NotChecksumLine, {std::to_wstring(numbers[i])}, 0};
            return State::Unreadable;
        }
        ++entries;
        single = digest;
        if (line.size() <= 64) continue;  // the digest alone
        std::wstring name = FromUtf8(escaped ? nameUtf8 : line.substr(66));
        if (name.compare(0, 2, L"./") == 0 || name.compare(0, 2, L".\\") == 0) name.erase(0, 2);
        if (!SameFileName(name, imageName)) continue;
        if (!named.empty() && named != digest) {
            *problem = L"it gives two different checksums for " + imageName;
            *reason = {Why::TwoChecksums, {imageName}, 0};
            return State::Unreadable;
        }
        named = digest;
    }
    if (!named.empty()) {
        *hex = named;
        return State::Match;  // found; the caller compares
    }
    if (!namedOnly && entries == 1) {
        *hex = single;
        return State::Match;
    }
    if (namedOnly) return State::None;
    *problem = entries == 0 ? L"it holds no checksum" : L"it does not name " + imageName;
    *reason = entries == 0 ? CheckReason{Why::NoChecksum, {}, 0} : CheckReason{Why::DoesNotName, {imageName}, 0};
    return State::Unreadable;
}

PublisherChecks::PublisherChecks(const std::wstring& imagePath, const TrustPolicy& policy) : m_policy(policy)
{
    const std::wstring name = FileNameOf(imagePath);
    const std::wstring folder = imagePath.substr(0, imagePath.size() - name.size());

    // The checksum: IMAGE.sha256 first, then SHA256SUMS if it names the image.
    const std::wstring candidates[] = {imagePath + L".sha256", folder + L"SHA256SUMS"};
    for (int i = 0; i < 2 && m_checksum.state == State::None; ++i) {
        std::vector<BYTE> bytes;
        std::wstring problem;
        CheckReason reason;
        const Read read = ReadSmallFile(candidates[i], &bytes, &problem, &reason);
        if (read == Read::Absent) continue;
        State found = State::Unreadable;
        if (read == Read::Done)
            found = ParseChecksumText(std::string(bytes.begin(), bytes.end()), name, i == 1, &m_checksum.expected,
                                      &problem, &reason);
        if (found == State::None) continue;
        m_checksum.state = found;  // Match until Finish compares; or Unreadable
        m_checksum.file = candidates[i];
        m_checksum.problem = problem;
        m_checksum.reason = reason;
    }

    // The signature.
    std::vector<BYTE> signature;
    std::wstring problem;
    CheckReason reason;
    const std::wstring signatureFile = imagePath + L".p7s";
    switch (ReadSmallFile(signatureFile, &signature, &problem, &reason)) {
    case Read::Absent: break;
    case Read::Failed:
        m_signature.state = SignatureFinding::State::Invalid;
        m_signature.file = signatureFile;
        m_signature.problem = problem;
        m_signature.reason = reason;
        break;
    case Read::Done:
        m_signature.file = signatureFile;
        m_detached = std::make_unique<DetachedSignature>(signature, policy.signers);
        break;
    }
}

PublisherChecks::~PublisherChecks() = default;

void PublisherChecks::Add(const void* data, size_t size)
{
    if (m_detached) m_detached->Add(data, size);
}

void PublisherChecks::Finish(const std::string& sha256)
{
    if (m_checksum.state == State::Match && m_checksum.expected != sha256) {
        m_checksum.state = sha256.empty() ? State::Unreadable : State::Mismatch;
        if (sha256.empty()) {
            m_checksum.problem = L"this Windows cannot compute SHA-256";
            m_checksum.reason = {Why::NoSha256, {}, 0};
        }
    }
    if (m_detached) {
        bool valid = m_detached->Verify(&m_signature);
        // A policy that could not be read trusts no one.
        if (valid && !m_policy.problem.empty()) {
            valid = false;
            m_signature.notTrusted = true;
            m_signature.policyUnreadable = true;
            m_signature.problem = m_policy.problem;
            m_signature.reason = m_policy.reason;
        }
        m_signature.state = valid ? SignatureFinding::State::Valid : SignatureFinding::State::Invalid;
        m_detached.reset();
    }
}

const char* PublisherChecks::Checked() const
{
    if (m_signature.state == SignatureFinding::State::Valid) return "signature";
    if (m_checksum.state == State::Match) return "sha256-file";
    return "none";
}
