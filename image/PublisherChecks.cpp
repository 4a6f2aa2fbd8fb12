#include "image/PublisherChecks.h"

#include <vector>

#include "image/DetachedSignature.h"
#include "image/Sha256.h"

namespace {

using State = ChecksumFinding::State;

// Checksum and signature files are small: anything larger is not one.
constexpr DWORD kLargestFile = 1 << 20;

enum class Read { Absent, Done, Failed };

// The whole of a small file; *problem says why it could not be read.
Read ReadSmallFile(const std::wstring& path, std::vector<BYTE>* bytes, std::wstring* problem)
{
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Read::Absent;
        *problem = L"it could not be opened: " + CryptoProblem(error);
        return Read::Failed;
    }
    LARGE_INTEGER size{};
    bool ok = ::GetFileSizeEx(file, &size) != 0;
    if (ok && size.QuadPart > kLargestFile) {
        *problem = L"it is larger than 1 MiB";
        ::CloseHandle(file);
        return Read::Failed;
    }
    bytes->resize(ok ? static_cast<size_t>(size.QuadPart) : 0);
    DWORD got = 0;
    if (ok && !bytes->empty())
        ok = ::ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) && got == bytes->size();
    if (!ok) *problem = L"it could not be read: " + CryptoProblem(::GetLastError());
    ::CloseHandle(file);
    return ok ? Read::Done : Read::Failed;
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty()) return std::wstring();
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(n > 0 ? n : 0, L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

}  // namespace

std::wstring FileNameOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

State ParseChecksumText(const std::string& text, const std::wstring& imageName, bool namedOnly, std::string* hex,
                        std::wstring* problem)
{
    std::string named, single;
    int entries = 0, lineNumber = 0;
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::string digest;
        if (!ParseSha256(FromUtf8(line.substr(0, 64)), &digest) ||
            (line.size() > 64 && (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*')))) {
            *problem = L"line " + std::to_wstring(lineNumber) + L" is not a SHA-256 checksum line";
            return State::Unreadable;
        }
        ++entries;
        single = digest;
        if (line.size() <= 64) continue;  // the digest alone
        std::wstring name = FromUtf8(line.substr(66));
        if (name.compare(0, 2, L"./") == 0 || name.compare(0, 2, L".\\") == 0) name.erase(0, 2);
        if (_wcsicmp(name.c_str(), imageName.c_str()) != 0) continue;
        if (!named.empty() && named != digest) {
            *problem = L"it gives two different checksums for " + imageName;
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
        const Read read = ReadSmallFile(candidates[i], &bytes, &problem);
        if (read == Read::Absent) continue;
        State found = State::Unreadable;
        if (read == Read::Done)
            found = ParseChecksumText(std::string(bytes.begin(), bytes.end()), name, i == 1, &m_checksum.expected,
                                      &problem);
        if (found == State::None) continue;
        m_checksum.state = found;  // Match until Finish compares; or Unreadable
        m_checksum.file = candidates[i];
        m_checksum.problem = problem;
    }

    // The signature.
    std::vector<BYTE> signature;
    std::wstring problem;
    const std::wstring signatureFile = imagePath + L".p7s";
    switch (ReadSmallFile(signatureFile, &signature, &problem)) {
    case Read::Absent: break;
    case Read::Failed:
        m_signature.state = SignatureFinding::State::Invalid;
        m_signature.file = signatureFile;
        m_signature.problem = problem;
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
        if (sha256.empty()) m_checksum.problem = L"this Windows cannot compute SHA-256";
    }
    if (m_detached) {
        bool valid = m_detached->Verify(&m_signature);
        // A policy that could not be read trusts no one.
        if (valid && !m_policy.problem.empty()) {
            valid = false;
            m_signature.notTrusted = true;
            m_signature.problem = m_policy.problem;
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
