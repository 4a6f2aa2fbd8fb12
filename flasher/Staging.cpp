#include "flasher/Staging.h"

#include <cwchar>

#include "power/PowerCheck.h"
#include "image/PublisherChecks.h"
#include "flasher/Console.h"

namespace {

// Whom to trust: the PC's policy (see TrustPolicy), narrowed by --signer, and
// --require-signature (or --signer) on top of the policy's own word.
TrustPolicy PolicyFor(const Options& o)
{
    TrustPolicy policy = ReadTrustPolicy();
    if (!o.signers.empty()) policy.signers.push_back(o.signers);
    // Naming whom to trust asks for a signature: an unsigned image has no signer to name.
    policy.requireSignature |= o.requireSignature || !o.signers.empty();
    return policy;
}

// Says what vouches for the image; false, after saying why, when its publisher's files (or
// the trust policy) refuse it, with the reason and the signer for its record.
bool Vouched(const PublisherChecks& checks, const std::wstring& image, const std::string& sha256,
             UpgradeAttempt* attempt)
{
    const char** refusedFor = &attempt->refusedFor;
    using Sum = ChecksumFinding::State;
    using Sig = SignatureFinding::State;
    const ChecksumFinding& sum = checks.Checksum();
    const SignatureFinding& sig = checks.Signature();
    const std::wstring about = L"image " + image + L": ";
    attempt->signer = sig.thumbprint;
    if (sum.state == Sum::Mismatch) {
        Complain(about + L"its SHA-256 is " + FromUtf8(sha256) + L", but " + sum.file + L" gives " +
                 FromUtf8(sum.expected) + L"; nothing was sent");
        *refusedFor = "sha256-mismatch";
        return false;
    }
    if (sum.state == Sum::Unreadable) {
        Complain(about + L"its checksum file " + sum.file + L" could not be used (" + sum.problem +
                 L"); nothing was sent");
        *refusedFor = "sha256-unreadable";
        return false;
    }
    if (sig.state == Sig::Invalid && sig.notTrusted) {
        Complain(about + L"its signature " + sig.file + L" is by " + sig.signer + L" (thumbprint " +
                 FromUtf8(sig.thumbprint) + L"), whom this PC is not told to trust (" + sig.problem +
                 L"); nothing was sent");
        *refusedFor = sig.policyUnreadable ? "policy-unreadable" : "signer-not-trusted";
        return false;
    }
    if (sig.state == Sig::Invalid) {
        Complain(about + L"its signature " + sig.file + L" is not valid (" + sig.problem + L"); nothing was sent");
        *refusedFor = "signature-invalid";
        return false;
    }
    if (checks.SignatureMissing()) {
        Complain(about + L"it has no signature " + image + L".p7s beside it, and a signature is required "
                 L"(--require-signature, --signer, or the PC's policy); nothing was sent");
        *refusedFor = "signature-missing";
        return false;
    }
    if (sig.state == Sig::Valid)
        Write(STD_ERROR_HANDLE, about + L"signed by " + sig.signer + L", thumbprint " + FromUtf8(sig.thumbprint) + L" (" +
                                    sig.file + L")\r\n");
    if (sum.state == Sum::Match) Write(STD_ERROR_HANDLE, about + L"SHA-256 matches " + sum.file + L"\r\n");
    if (sig.state == Sig::None && sum.state == Sum::None)
        Write(STD_ERROR_HANDLE, about + L"no checksum or signature file beside it; not checked\r\n");
    return true;
}

}  // namespace

bool PowerLetsStart(Session& session, const std::wstring& imagePath, const Options& o)
{
    const PowerState power = ReadPowerState();
    const PowerVerdict verdict = JudgePower(power);
    if (verdict == PowerVerdict::Fine) return true;
    const std::wstring charge =
        power.percent >= 0 ? L" with " + std::to_wstring(power.percent) + L" % left" : std::wstring();
    if (verdict == PowerVerdict::Warn || o.allowBattery) {
        Write(STD_ERROR_HANDLE, L"the PC runs on battery" + charge + L"; keep it plugged in while it writes\r\n");
        return true;
    }
    Complain(L"the PC runs on battery" + charge + L": plug it in before a handheld is written (or --allow-battery); "
             L"nothing was sent");
    CUSBUpdate link;
    UpgradeAttempt attempt(L"romflash", link);
    attempt.imagePath = imagePath;
    attempt.refusedFor = "battery-low";
    session.Record(session.Conclude(attempt));
    return false;
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t full[MAX_PATH];
    const DWORD n = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(full, n) : path;
}

std::shared_ptr<const StagedImage> StageImage(Session& session, const std::wstring& imagePath, const Options& o,
                                              int* code)
{
    CUSBUpdate link;
    LineReporter reporter;
    reporter.SetContext(L"image " + imagePath + L": ");
    link.SetReporter(&reporter);
    link.SetStopEvent(session.StopEvent());
    // A large image takes a while: after half a second, how far the reading is.
    StatusLine status;
    const DWORD start = ::GetTickCount();
    link.SetStagingProgress([&](uint64_t done, uint64_t total) {
        if (::GetTickCount() - start < 500 || total == 0) return;
        wchar_t line[96];
        std::swprintf(line, 96, L"reading the image: %d%% (%.0f of %.0f MiB)", static_cast<int>(done * 100 / total),
                      done / 1048576.0, total / 1048576.0);
        status.Show(line);
    });
    PublisherChecks checks(imagePath, PolicyFor(o));
    link.SetStagingReader([&](const BYTE* data, size_t size) { checks.Add(data, size); });
    link.OpenImage(imagePath.c_str());
    link.SetStagingProgress(nullptr);
    link.SetStagingReader(nullptr);
    status.Clear();

    UpgradeAttempt attempt(L"romflash", link);
    attempt.imagePath = imagePath;
    if (link.HasImage() && (o.expectSha256.empty() || link.m_strImageSha256 == o.expectSha256)) {
        checks.Finish(link.m_strImageSha256);
        // An empty file is no image: the handheld would be erased and given nothing.
        const bool empty = link.m_nByteCount == 0;
        if (empty) {
            Complain(L"image " + imagePath + L": the file is empty, with no byte to write; nothing was sent");
            attempt.refusedFor = "image-empty";
        }
        if (!empty && Vouched(checks, imagePath, link.m_strImageSha256, &attempt)) {
            session.SetChecked(checks.Checked());
            session.SetSigner(attempt.signer);
            return link.ShareImage();
        }
        attempt.transfer.staged = true;
        link.Close();
        const UpgradeOutcome outcome = session.Conclude(attempt);
        session.Record(outcome);
        *code = ExitCodeOf(outcome);
        return nullptr;
    }

    attempt.transfer.error = link.m_dwError;
    if (link.m_nFailure == CUSBUpdate::kFailStopped) {
        attempt.interrupted = true;
        Complain(L"interrupted while the image was read; nothing was sent");
    } else if (link.HasImage()) {
        Complain(L"image " + imagePath + L": its SHA-256 is " + FromUtf8(link.m_strImageSha256) + L", not the expected " +
                 FromUtf8(o.expectSha256));
        attempt.transfer.failure = CUSBUpdate::kFailImageDigest;
    } else {
        attempt.transfer.failure = link.m_nFailure;  // the engine has said why
    }
    link.Close();
    const UpgradeOutcome outcome = session.Conclude(attempt);
    session.Record(outcome);
    *code = ExitCodeOf(outcome);
    return nullptr;
}
