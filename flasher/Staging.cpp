#include "flasher/Staging.h"

#include <cwchar>

#include "flasher/Console.h"

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
    link.OpenImage(imagePath.c_str());
    link.SetStagingProgress(nullptr);
    status.Clear();

    UpgradeAttempt attempt(L"romflash", link);
    attempt.imagePath = imagePath;
    if (link.m_pImageFile && (o.expectSha256.empty() || link.m_strImageSha256 == o.expectSha256))
        return link.ShareImage();

    attempt.transfer.error = link.m_dwError;
    if (link.m_nFailure == CUSBUpdate::kFailStopped) {
        attempt.interrupted = true;
        Complain(L"interrupted while the image was read; nothing was sent");
        *code = kExitInterrupted;
    } else if (link.m_pImageFile) {
        Complain(L"image " + imagePath + L": its SHA-256 is " +
                 (link.m_strImageSha256.empty() ? std::wstring(L"unknown (no SHA-256 on this Windows)")
                                                : Widen(link.m_strImageSha256)) +
                 L", not the expected " + Widen(o.expectSha256));
        attempt.transfer.failure = CUSBUpdate::kFailImageDigest;
        *code = kExitImage;
    } else {
        attempt.transfer.failure = link.m_nFailure;  // the engine has said why
        *code = kExitImage;
    }
    link.Close();
    session.Record(attempt);
    return nullptr;
}
