#include "pages/ImageQuestion.h"
#include "framework/AnswerBox.h"

#include <cwchar>
#include <vector>

#include "framework/CString.h"
#include "framework/Language.h"
#include "pages/ReasonText.h"
#include "res/resource.h"

namespace {

// Two decimals, with the decimal sign of the wizard's language (a point in English, a comma in
// German, French and Spanish); no grouping, so English reads as it always did.
std::wstring Decimal(double value)
{
    wchar_t plain[32];
    std::swprintf(plain, 32, L"%.2f", value);
    const LCID locale = MAKELCID(ProgramLanguage(), SORT_DEFAULT);
    wchar_t point[8] = L".", group[8] = L",";
    ::GetLocaleInfoW(locale, LOCALE_SDECIMAL, point, 8);
    ::GetLocaleInfoW(locale, LOCALE_STHOUSAND, group, 8);
    NUMBERFMTW format{2, 1, 0, point, group, 1};
    wchar_t text[64];
    return ::GetNumberFormatW(locale, 0, plain, &format, text, 64) > 0 ? text : plain;
}

}  // namespace

std::wstring MiB(uint64_t bytes) { return Decimal(static_cast<double>(bytes) / (1 << 20)); }

namespace {

// The file's last change, as a short date and time of the wizard's language: the user's own
// format where the PC's settings are in that language (a British date for English), else the
// language's (a German date in a German run on a PC set up in English).
std::wstring FileDate(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA info;
    FILETIME local;
    SYSTEMTIME t;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) ||
        !::FileTimeToLocalFileTime(&info.ftLastWriteTime, &local) || !::FileTimeToSystemTime(&local, &t))
        return L"?";
    const LCID locale = PRIMARYLANGID(LANGIDFROMLCID(::GetUserDefaultLCID())) == PRIMARYLANGID(ProgramLanguage())
                            ? LOCALE_USER_DEFAULT
                            : MAKELCID(ProgramLanguage(), SORT_DEFAULT);
    wchar_t date[64] = L"", time[64] = L"";
    ::GetDateFormatW(locale, DATE_SHORTDATE, &t, nullptr, date, 64);
    ::GetTimeFormatW(locale, TIME_NOSECONDS, &t, nullptr, time, 64);
    return std::wstring(date) + L" " + time;
}

std::wstring Charge(const PowerState& power)
{
    return power.percent >= 0 ? LoadText(IDS_CHARGE_PERCENT, {std::to_wstring(power.percent)})
                              : LoadText(IDS_CHARGE_UNKNOWN);
}

}  // namespace

ImageVerdict JudgeImage(HWND page, const std::wstring& imagePath, const CUSBUpdate& staged,
                        const PublisherChecks& checks, const PowerState& power, const char** refusedFor)
{
    using Sum = ChecksumFinding::State;
    using Sig = SignatureFinding::State;
    wchar_t caption[256] = L"";
    ::GetWindowTextW(page, caption, 256);
    const ChecksumFinding& sum = checks.Checksum();
    const SignatureFinding& sig = checks.Signature();
    const std::wstring sha256 = FromUtf8(staged.m_strImageSha256);

    auto refuse = [&](const std::wstring& text, const char* reason) {
        ShowAnswerBox(page, text, caption, AnswerButtons::Ok, IDI_HAND);
        *refusedFor = reason;
        return ImageVerdict::Refused;
    };
    // An empty file is no image: the handheld would be erased and given nothing.
    if (staged.m_nByteCount == 0) return refuse(LoadText(IDS_IMAGE_EMPTY, {imagePath}), "image-empty");
    if (sum.state == Sum::Mismatch)
        return refuse(LoadText(IDS_REFUSE_SUM, {imagePath, sha256, sum.file, FromUtf8(sum.expected)}), "sha256-mismatch");
    if (sig.state == Sig::Invalid && sig.notTrusted)
        return refuse(LoadText(IDS_REFUSE_SIGNER, {imagePath, sig.file, sig.signer, FromUtf8(sig.thumbprint),
                                                    ReasonText(sig.reason, sig.problem)}),
                      sig.policyUnreadable ? "policy-unreadable" : "signer-not-trusted");
    if (sig.state == Sig::Invalid)
        return refuse(LoadText(IDS_REFUSE_SIGNATURE, {imagePath, sig.file,
                                                      sig.signer.empty() ? LoadText(IDS_SIGNER_UNKNOWN) : sig.signer,
                                                      ReasonText(sig.reason, sig.problem)}),
                      "signature-invalid");
    if (checks.SignatureMissing())
        return refuse(LoadText(IDS_REFUSE_UNSIGNED, {imagePath, imagePath + L".p7s"}), "signature-missing");
    const PowerVerdict powerVerdict = JudgePower(power);
    if (powerVerdict == PowerVerdict::Refuse) return refuse(LoadText(IDS_REFUSE_BATTERY, {Charge(power)}), "battery-low");

    const std::wstring name = FileNameOf(imagePath);
    std::wstring folder = imagePath.substr(0, imagePath.size() - name.size());
    if (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    std::wstring text = LoadText(IDS_ASK_IMAGE, {name, folder, std::to_wstring(staged.m_nByteCount),
                                                 MiB(staged.m_nByteCount), FileDate(imagePath), sha256});
    text += L"\n\n";
    // The publisher's files lie beside the image: their names say enough.
    if (sig.state == Sig::Valid) text += LoadText(IDS_ASK_SIGNED, {sig.signer, FileNameOf(sig.file), FromUtf8(sig.thumbprint)}) + L"\n";
    if (sum.state == Sum::Match) text += LoadText(IDS_ASK_SUM_MATCH, {FileNameOf(sum.file)}) + L"\n";
    if (sum.state == Sum::Unreadable)
        text += LoadText(IDS_ASK_SUM_UNUSABLE, {FileNameOf(sum.file), ReasonText(sum.reason, sum.problem)}) + L"\n";
    if (sig.state == Sig::None && sum.state == Sum::None) text += LoadText(IDS_ASK_UNCHECKED, {name}) + L"\n";
    if (powerVerdict == PowerVerdict::Warn) text += L"\n" + LoadText(IDS_ASK_BATTERY, {Charge(power)}) + L"\n";
    text += L"\n" + LoadText(IDS_ASK_WRITE);
    // No is the default: Enter alone never starts a write.
    const int answer = ShowAnswerBox(page, text, caption, AnswerButtons::YesNo, IDI_QUESTION);
    return answer == IDYES ? ImageVerdict::Write : ImageVerdict::Declined;
}

std::wstring TransferFigures(uint64_t written, uint64_t total, DWORD elapsedMs)
{
    const std::wstring done = MiB(written), all = MiB(total);
    if (elapsedMs < 500 || written == 0) return LoadText(IDS_FIGURES, {done, all});
    const double perSecond = static_cast<double>(written) * 1000.0 / elapsedMs;
    const std::wstring speed = Decimal(perSecond / (1 << 20));
    if (elapsedMs < 2000) return LoadText(IDS_FIGURES_SPEED, {done, all, speed});
    const unsigned long left = static_cast<unsigned long>(static_cast<double>(total - written) / perSecond + 0.5);
    const std::wstring time = left < 60 ? LoadText(IDS_TIME_SECONDS, {std::to_wstring(left)})
                                        : LoadText(IDS_TIME_MINUTES, {std::to_wstring(left / 60), std::to_wstring(left % 60)});
    return LoadText(IDS_FIGURES_LEFT, {done, all, speed, time});
}
