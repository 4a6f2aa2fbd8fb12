// wizard_demo: a whole upgrade as a user would make it, driven by the robot against the
// emulated handheld, with a screenshot of every page the wizard shows (the progress page in
// the middle of the transfer, its bar partly filled). Then short runs for what lies beside
// the road: a handheld that stops taking data for a while (the stall line), one that refuses a
// block (the page says where the transfer stopped), no device (not-ready page) and ActiveSync
// holding the USB link (warning page). Prints the handheld's verdict; exit code 0 when the image arrived whole and every
// page was seen.
//
//   wizard_demo --wizard=PATH --out=DIR [--size=BYTES]   (default 16 MiB)
#include <windows.h>
#include <commctrl.h>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>
#include "image/Sha256.h"
#include "tools/dccman/ActiveSyncKey.h"
#include "tools/dccman/DccMan.h"
#include "tools/emuhandheld/EmulatedHandheld.h"
#include "tools/robot/Robot.h"
#include "res/resource.h"

using robot::Page;

namespace {

std::wstring g_out;
std::wstring g_arguments;  // for the wizard: "/lang:xx" with --lang=xx
int g_failures = 0;

void Fail(const char* what)
{
    std::printf("demo: FAILED: %s\n", what);
    ++g_failures;
}

// Saves the page window as out/NN-name.png. The shot is taken from the X display by the
// demo script (it watches for NN-name.req files): that shows the real pixels even of a page
// that is busy, as the device check is while it waits for the handheld. Without the script,
// a GDI capture is written as out/NN-name.bmp instead.
void Shot(const char* name, HWND wnd, HWND beside = nullptr)
{
    static int count = 0;
    ++count;
    if (!wnd) return Fail(name);
    robot::WaitPainted(wnd, 1000);
    RECT r, more;
    ::GetWindowRect(wnd, &r);
    // A box beside the page is in the picture too.
    if (beside && ::GetWindowRect(beside, &more)) ::UnionRect(&r, &r, &more);
    wchar_t stem[MAX_PATH];
    std::swprintf(stem, MAX_PATH, L"%ls\\%02d-%hs", g_out.c_str(), count, name);
    std::wstring request = std::wstring(stem) + L".req", png = std::wstring(stem) + L".png";
    if (FILE* f = _wfopen((request + L".tmp").c_str(), L"w")) {
        std::fprintf(f, "%ld %ld %ld %ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
        std::fclose(f);
        ::MoveFileExW((request + L".tmp").c_str(), request.c_str(), MOVEFILE_REPLACE_EXISTING);
        if (robot::WaitUntil([&] { return ::GetFileAttributesW(png.c_str()) != INVALID_FILE_ATTRIBUTES; }, 5000)) {
            std::printf("demo: page %-10s -> %ls\n", name, png.c_str());
            return;
        }
        ::DeleteFileW(request.c_str());
    }
    robot::Screenshot full;
    if (!full.Capture()) return Fail("screenshot");
    r.left = std::max<LONG>(r.left, 0);
    r.top = std::max<LONG>(r.top, 0);
    r.right = std::min<LONG>(r.right, full.width);
    r.bottom = std::min<LONG>(r.bottom, full.height);
    robot::Screenshot crop;
    crop.width = r.right - r.left;
    crop.height = r.bottom - r.top;
    for (int y = r.top; y < r.bottom; ++y)
        crop.pixels.insert(crop.pixels.end(), full.pixels.begin() + y * full.width + r.left,
                           full.pixels.begin() + y * full.width + r.right);
    std::wstring bmp = std::wstring(stem) + L".bmp";
    if (!crop.SaveBmp(bmp)) return Fail("saving a screenshot");
    std::printf("demo: page %-10s -> %ls\n", name, bmp.c_str());
}

// The progress bar's position (the page sets its range to 0..100), or -1 when it does not answer.
int BarPosition(HWND bar)
{
    DWORD_PTR pos = 0;
    if (!bar || !::SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &pos)) return -1;
    return static_cast<int>(pos);
}

// The progress page as a user sees it during the transfer: the shot is asked for once the
// bar stands between 40 and 80 of 100, and counts as taken mid-transfer when the page is
// still up (the finish page not yet shown) once the picture exists.
void ProgressShot(const robot::Wizard& w)
{
    HWND page = w.PageWindow();
    HWND bar = w.Control(IDC_PROGRESS);
    int before = -1;
    robot::WaitUntil([&] {
        before = BarPosition(bar);
        return (before >= 40 && before <= 80) || w.VisiblePage() != Page::Progress;
    }, 120000);
    Shot("progress", page);
    const int after = BarPosition(bar);
    const bool running = w.VisiblePage() == Page::Progress;
    std::printf("demo: progress bar at %d of 100 when the picture was asked for, %d once it was taken%s\n", before,
                after, running ? ", the transfer still running" : "");
    if (before < 40 || before > 80 || !running) Fail("the progress picture was not taken mid-transfer");
}

// The sample image's checksum file, as its publisher would put it beside the image.
void PublishChecksum(const std::wstring& image)
{
    Sha256 digest;
    std::vector<char> chunk(1 << 20);
    FILE* in = _wfopen(image.c_str(), L"rb");
    if (!in) return Fail("reading the sample image");
    for (size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), in)) > 0;) digest.Add(chunk.data(), n);
    std::fclose(in);
    FILE* out = _wfopen((image + L".sha256").c_str(), L"wb");
    if (!out) return Fail("writing the checksum file");
    std::fprintf(out, "%s *sample-image.bin\n", digest.Hex().c_str());
    std::fclose(out);
}

bool Step(const robot::Wizard& w, int button, Page next)
{
    if (!w.Press(button) || !w.WaitForPage(next, 15000)) {
        std::printf("demo: expected page %s, see %s\n", robot::PageName(next), robot::PageName(w.VisiblePage()));
        Fail("page chain");
        return false;
    }
    return true;
}

bool Ends(robot::Wizard& w)
{
    DWORD code = 1;
    if (!w.WaitForExit(15000, &code) || code != 0) {
        Fail("the run did not end cleanly");
        return false;
    }
    return true;
}

void WholeUpgrade(const std::wstring& wizardPath, uint64_t size)
{
    std::wstring image = g_out + L"\\sample-image.bin";
    uint32_t sum = WriteSampleImage(image, size, 2026);
    PublishChecksum(image);
    EmulatedHandheld device;
    // A large image keeps the transfer going long enough for a picture of it.
    if (!device.Start(L"--time-limit 600")) return Fail("the emulated handheld did not start");

    robot::Wizard w;
    if (!w.Start(wizardPath, 15000, g_arguments) || !w.WaitForPage(Page::Welcome)) return Fail("the wizard did not start");
    Shot("welcome", w.PageWindow());
    if (!Step(w, IDOK, Page::Reset)) return;
    Shot("reset", w.PageWindow());
    if (!Step(w, IDC_RESET_BACK, Page::License)) return;
    w.ClickRadio(IDC_LICENSE_ACCEPT);
    Shot("license", w.PageWindow());
    if (!Step(w, IDOK, Page::Reset)) return;
    if (!Step(w, IDOK, Page::Select)) return;
    Shot("select", w.PageWindow());
    if (!Step(w, IDOK, Page::CheckUSB)) return;
    ::Sleep(300);  // painted, and now busy with the handheld: no paint check possible
    Shot("checkusb", w.PageWindow());
    if (!w.WaitForPage(Page::Image, 15000)) return Fail("the device check did not open the image file page");
    Shot("image", w.PageWindow());
    w.Press(IDC_IMAGE_FILE);
    if (!w.WaitForFileDialog()) return Fail("no file dialog");
    ::Sleep(500);
    if (!w.ChooseFile(image)) return Fail("the file dialog");
    // The image is shown, with its checksum found beside it, and Yes starts the write.
    if (!w.WaitForMessageBox(nullptr, 60000, true)) return Fail("no question before the write");
    Shot("question", w.FindMessageBox(true));
    if (!w.AnswerMessageBox(10000, true, IDYES)) return Fail("the question");
    if (!w.WaitForPage(Page::Progress, 5000)) return Fail("no progress page");
    ProgressShot(w);
    if (!w.WaitForPage(Page::End, 300000)) return Fail("no finish page");
    Shot("end", w.PageWindow());
    w.Press(IDOK);
    if (!Ends(w)) return;

    EmulatedHandheld::Report r = device.Stop();
    uint64_t blocks = size / 512 + 1;
    bool whole = r["header_count"] == std::to_string(size) && r["header_sum"] == std::to_string(sum) &&
                 r["image_bytes"] == std::to_string(size) && r["image_sum"] == std::to_string(sum) &&
                 r["blocks"] == std::to_string(blocks) && r["match"] == "1";
    std::printf("demo: handheld received header count=%s sum=%s, %s blocks of 512 bytes, image bytes=%s sum=%s\n",
                r["header_count"].c_str(), r["header_sum"].c_str(), r["blocks"].c_str(), r["image_bytes"].c_str(),
                r["image_sum"].c_str());
    std::printf("demo: file has %llu bytes, sum %u, %llu blocks expected\n", static_cast<unsigned long long>(size), sum,
                static_cast<unsigned long long>(blocks));
    std::printf("demo: VERDICT: %s\n", whole ? "the handheld received the image byte for byte" : "MISMATCH");
    if (!whole) Fail("the image did not arrive whole");
    ::DeleteFileW(image.c_str());
}

// Starts the wizard and takes it to the transfer of `image`: every page on the road, the file
// dialog, the question answered Yes. False (said) when a step fails.
bool ToTheTransfer(robot::Wizard& w, const std::wstring& wizardPath, const std::wstring& image)
{
    auto fail = [](const char* what) { return Fail(what), false; };
    if (!w.Start(wizardPath, 15000, g_arguments) || !w.WaitForPage(Page::Welcome)) return fail("the wizard did not start");
    if (!Step(w, IDOK, Page::Reset) || !Step(w, IDOK, Page::Select) || !Step(w, IDOK, Page::CheckUSB)) return false;
    if (!w.WaitForPage(Page::Image, 15000)) return fail("the device check did not open the image file page");
    w.Press(IDC_IMAGE_FILE);
    if (!w.ChooseFile(image)) return fail("the file dialog");
    if (!w.WaitForMessageBox(nullptr, 60000, true) || !w.AnswerMessageBox(10000, true, IDYES))
        return fail("no question before the write");
    return w.WaitForPage(Page::Progress, 5000) || fail("no progress page");
}

// A handheld that stops taking data for a while: the progress page's stall line, then the
// transfer goes on to its end.
void Stalled(const std::wstring& wizardPath)
{
    const std::wstring image = g_out + L"\\stall-image.bin";
    WriteSampleImage(image, 200000, 7);
    EmulatedHandheld device;
    if (!device.Start(L"--stall-after-block 50 --stall-ms 14000")) return Fail("the emulated handheld did not start");
    robot::Wizard w;
    if (!ToTheTransfer(w, wizardPath, image)) return;
    HWND note = w.Control(IDC_STALL_NOTE);
    if (!robot::WaitUntil([&] { return note && ::IsWindowVisible(note); }, 30000)) return Fail("no stall line");
    Shot("stall", w.PageWindow());
    if (!w.WaitForPage(Page::End, 60000)) return Fail("no finish page after the stall");
    w.Press(IDOK);
    if (Ends(w) && device.Stop()["match"] != "1") Fail("the stalled transfer did not arrive whole");
    ::DeleteFileW(image.c_str());
}

// A handheld that refuses a block half way: the progress page says where the transfer stopped,
// why and what to do, with the failure's box beside it; its OK ends the run.
void Refused(const std::wstring& wizardPath)
{
    const std::wstring image = g_out + L"\\refused-image.bin";
    WriteSampleImage(image, 1 << 20, 9);
    EmulatedHandheld device;
    if (!device.Start(L"--refuse-block 1000")) return Fail("the emulated handheld did not start");
    robot::Wizard w;
    if (!ToTheTransfer(w, wizardPath, image)) return;
    const HWND page = w.PageWindow();
    const HWND box = w.BoxOwnedBy(page, 60000);
    if (!box || !::IsWindowVisible(::GetDlgItem(page, IDC_TRANSFER_STOPPED))) return Fail("no word of where it stopped");
    ::Sleep(300);
    Shot("failed", page, box);
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    Ends(w);
    device.Stop();
    ::DeleteFileW(image.c_str());
}

void NoDevice(const std::wstring& wizardPath)
{
    robot::Wizard w;
    if (!w.Start(wizardPath, 15000, g_arguments)) return Fail("the wizard did not start");
    if (!Step(w, IDOK, Page::Reset) || !Step(w, IDOK, Page::Select)) return;
    w.Press(IDOK);
    if (!w.WaitForPage(Page::NotReady, 15000)) return Fail("no not-ready page");
    Shot("notready", w.PageWindow());
    w.Press(IDOK);
    Ends(w);
}

void ActiveSyncRunning(const std::wstring& wizardPath)
{
    ActiveSyncKey key;
    DccMan activeSync;
    if (!key.Begin() || !key.SetDword(0x0F) || !activeSync.Start()) return Fail("the ActiveSync stand-in");
    robot::Wizard w;
    if (!w.Start(wizardPath, 15000, g_arguments)) return Fail("the wizard did not start");
    if (!Step(w, IDOK, Page::Warning)) return;
    Shot("warning", w.PageWindow());
    w.Press(IDCANCEL);
    Ends(w);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring wizardPath;
    uint64_t size = 16u << 20;
    for (int i = 1; i < argc; ++i) {
        if (std::wcsncmp(argv[i], L"--wizard=", 9) == 0)
            wizardPath = argv[i] + 9;
        else if (std::wcsncmp(argv[i], L"--out=", 6) == 0)
            g_out = robot::ToWindowsPath(argv[i] + 6);
        else if (std::wcsncmp(argv[i], L"--lang=", 7) == 0)
            g_arguments = std::wstring(L"/lang:") + (argv[i] + 7);
        else if (std::wcsncmp(argv[i], L"--size=", 7) == 0)
            size = std::wcstoull(argv[i] + 7, nullptr, 10);
    }
    if (wizardPath.empty() || g_out.empty()) {
        std::fprintf(stderr, "usage: wizard_demo --wizard=PATH --out=DIR [--size=BYTES]\n");
        return 2;
    }
    ::CreateDirectoryW(g_out.c_str(), nullptr);
    WholeUpgrade(wizardPath, size);
    Stalled(wizardPath);
    Refused(wizardPath);
    NoDevice(wizardPath);
    ActiveSyncRunning(wizardPath);
    std::printf("demo: %s\n", g_failures ? "FAILED" : "done");
    return g_failures ? 1 : 0;
}
