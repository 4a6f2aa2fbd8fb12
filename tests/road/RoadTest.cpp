// The whole upgrade road and its failure branches, on the shipped program against the
// emulated handheld.
#include "tests/road/Road.h"
#include "tools/emuhandheld/OwnedHandle.h"
#include <cstdio>
#include <cwctype>
#include <vector>

using robot::Page;

namespace {

// What the wizard's log record says of the image it was given and of the handshake.
void ExpectRecordOfImage(UpgradeLog::Fields& f, const ImageFile& image, uint64_t bytes)
{
    EXPECT_EQ(f["program"], "RomUpgradeWizard");
    EXPECT_EQ(f["image"], Utf8(image.Path()));
    EXPECT_EQ(f["bytes"], std::to_string(bytes));
    EXPECT_EQ(f["sum"], std::to_string(image.Sum()));
    EXPECT_EQ(f["blocks"], std::to_string(bytes / 512));
    EXPECT_EQ(f["handshake"], "ready");
}

struct SizeCase {
    uint64_t size;
    const wchar_t* lastStatus;
    int barSteps;
};

class ImageSizes : public RoadScenario, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ImageSizes, ReachTheFinishPageWithTheWholeImageOnTheHandheld)
{
    const SizeCase& c = GetParam();
    ImageFile image(c.size);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToImagePage();
    ChooseImage(image.Path());
    std::wstring status;
    int bar = -1;
    ExpectFinishPage(&status, &bar);
    EXPECT_EQ(status, c.lastStatus);
    EXPECT_EQ(bar, c.barSteps);
    ASSERT_TRUE(wizard.Press(IDOK));  // Finish
    ExpectRunEnds();

    EmulatedHandheld::Report r = device.Stop();
    EXPECT_EQ(r["connections"], "1") << "the link opened by the device check goes on to the transfer";
    EXPECT_EQ(r["header_count"], std::to_string(c.size));
    EXPECT_EQ(r["header_sum"], std::to_string(image.Sum()));
    EXPECT_EQ(r["blocks"], std::to_string(c.size / 512 + 1));
    EXPECT_EQ(r["match"], "1");
    EXPECT_EQ(r["closed"], "1");
}

INSTANTIATE_TEST_SUITE_P(Road, ImageSizes,
                         ::testing::Values(SizeCase{511, L"Processing completed 1/1 block", 0},
                                           SizeCase{512, L"Processing completed 2/2 block", 1},
                                           SizeCase{513, L"Processing completed 2/2 block", 1},
                                           SizeCase{50688, L"Processing completed 100/100 block", 50},
                                           SizeCase{51200, L"Processing completed 101/101 block", 33},
                                           SizeCase{1 << 20, L"Processing completed 2049/2049 block", 93}));

// An empty file is no image: refused before the question, as a checksum refusal is, and the
// image file page comes back; nothing reaches the handheld.
TEST_F(RoadScenario, EmptyImageIsRefusedBeforeTheQuestion)
{
    ImageFile image(0, L"empty image.bin");
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    UpgradeLog log;
    WalkToImagePage();
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.ChooseFile(image.Path()));
    std::wstring text;
    AnswerQuestion(&text, IDOK);
    EXPECT_EQ(text.rfind(L"The image file is empty: it holds no byte to write.\n\nImage: " + image.Path(), 0), 0u)
        << Utf8(text);
    ExpectPage(Page::Image);
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "failed");
    EXPECT_EQ(f["step"], "image");
    EXPECT_EQ(f["reason"], "image-empty");
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
    EXPECT_EQ(device.Stop()["header_received"], "0") << "nothing was sent";
}

TEST_F(RoadScenario, TransferStartsOneSecondAfterTheProgressPageOpensAndOnlyOnce)
{
    ImageFile image(4096);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToImagePage();
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.ChooseFile(image.Path()));
    ASSERT_TRUE(wizard.WaitForPage(Page::Progress, 5000)) << "see " << Visible();
    DWORD opened = ::GetTickCount();
    HWND bar = wizard.Control(IDC_PROGRESS);
    ASSERT_TRUE(robot::WaitUntil([&] { return robot::Wizard::TextOf(bar) != L"Progress1"; }, 5000));
    DWORD started = ::GetTickCount();
    EXPECT_GE(started - opened, 900u) << "the transfer started too early";
    EXPECT_LE(started - opened, 2500u);
    AnswerQuestion();
    ASSERT_TRUE(wizard.WaitForPage(Page::End, 20000));
    ASSERT_TRUE(wizard.Press(IDOK));
    ExpectRunEnds();
    EmulatedHandheld::Report r = device.Stop();
    EXPECT_EQ(r["header_writes"], "2") << "one header of two writes";
    EXPECT_EQ(r["blocks"], "9");
}

TEST_F(RoadScenario, WrongAnswerShowsTheBoxThenNewInstructionsAndNextOpensTheDeviceAgain)
{
    ASSERT_TRUE(device.Start(L"--mode wrong-byte")) << Utf8(device.Error());
    WalkToDeviceCheck();
    ExpectErrorBox(L"Please press down USB item");
    ExpectPage(Page::Select);
    // The check's handle is closed before the new instructions page opens.
    EXPECT_TRUE(device.WaitForReport("closed", "1", 5000));
    // welcome, reset, select, device check, select
    EXPECT_EQ(wizard.PageWindowCount(), 5);
    ASSERT_TRUE(wizard.Press(IDOK));
    ExpectErrorBox(L"Please press down USB item");
    ExpectPage(Page::Select);
    EXPECT_TRUE(device.WaitForReport("connections", "2", 5000));
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

TEST_F(RoadScenario, EmptySecondAnswerAfterAGoodFirstOneCountsAsReady)
{
    // Both reads share one buffer: sixteen good bytes, then nothing, still read as ready.
    ASSERT_TRUE(device.Start(L"--mode empty-second")) << Utf8(device.Error());
    UpgradeLog log;
    WalkToDeviceCheck();
    ExpectPage(Page::Image);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["handshake"], "ready");
    EXPECT_EQ(f["result"], "interrupted");
    EXPECT_EQ(f["cause"], "cancel");
}

TEST_F(RoadScenario, ShortSecondAnswerIsAWrongAnswer)
{
    ASSERT_TRUE(device.Start(L"--mode short-second")) << Utf8(device.Error());
    WalkToDeviceCheck();
    ExpectErrorBox(L"Please press down USB item");
    ExpectPage(Page::Select);
    ASSERT_TRUE(wizard.PressEscape());
    ExpectRunEnds();
}

enum class Way { Button, Escape, CloseBox };
class NotReadyEndings : public RoadScenario, public ::testing::WithParamInterface<Way> {};

TEST_P(NotReadyEndings, NoDeviceShowsTheNotReadyPageAndEveryWayOutEndsTheRun)
{
    UpgradeLog log;
    WalkToDeviceCheck();  // nothing plugged in
    ASSERT_TRUE(wizard.WaitForPage(Page::NotReady, 15000)) << "see " << Visible();
    EXPECT_TRUE(wizard.FindMessageBox() == nullptr) << "no box when there is no device";
    switch (GetParam()) {
    case Way::Button: ASSERT_TRUE(wizard.Press(IDOK)); break;  // Exit
    case Way::Escape: ASSERT_TRUE(wizard.PressEscape()); break;
    case Way::CloseBox: ASSERT_TRUE(wizard.PressCloseBox()); break;
    }
    ExpectRunEnds();
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "failed");
    EXPECT_EQ(f["step"], "handshake");
    EXPECT_EQ(f["reason"], "no-handheld");
}
INSTANTIATE_TEST_SUITE_P(Road, NotReadyEndings, ::testing::Values(Way::Button, Way::Escape, Way::CloseBox));

// The page says where the transfer stopped, why, and what to do, before the box; and in the
// wizard's language. The box and the end of the run stay as they are.
struct StopCase {
    const wchar_t* language;  // for /lang:
    const wchar_t* note;      // what the page says
    const wchar_t* box;
    const wchar_t* caption;   // the box's
};
class RefusedBlock : public RoadScenario, public ::testing::WithParamInterface<StopCase> {};

TEST_P(RefusedBlock, FailsTheTransferSaysWhereItStoppedAndNothingFollowsTheRefusal)
{
    ImageFile image(1 << 20);
    ASSERT_TRUE(device.Start(L"--refuse-block 1000")) << Utf8(device.Error());
    UpgradeLog log;
    wizard.SetErrorCaption(GetParam().caption);
    WalkToImagePage(WizardPath(), std::wstring(L"/lang:") + GetParam().language);
    ChooseImage(image.Path());
    std::wstring box;
    ASSERT_TRUE(wizard.WaitForMessageBox(&box, 30000)) << "no box; see " << Visible();
    EXPECT_EQ(box, GetParam().box);
    HWND note = ::GetDlgItem(wizard.FindPage(Page::Progress), IDC_TRANSFER_STOPPED);
    EXPECT_TRUE(::IsWindowVisible(note)) << "nothing said on the page";
    EXPECT_EQ(robot::Wizard::TextOf(note), GetParam().note);
    ASSERT_TRUE(wizard.AnswerMessageBox());
    ExpectRunEnds();
    EmulatedHandheld::Report r = device.Stop();
    ExpectRefusedAtBlock(r, 1000);

    // The log tells what happened: where, why, and the Windows error.
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    ExpectRecordOfImage(f, image, 1 << 20);
    EXPECT_EQ(f["result"], "failed");
    EXPECT_EQ(f["step"], "block:1000");
    EXPECT_EQ(f["reason"], "write-refused");
    EXPECT_NE(f["error"], "0");
    EXPECT_EQ(f["sent"], "1000");
}
INSTANTIATE_TEST_SUITE_P(
    Road, RefusedBlock,
    ::testing::Values(
        StopCase{L"en",
                 L"Stopped at block 1001 of 2049 (0.49 of 1.00 MiB written): the handheld did not take it. The "
                 L"handheld may not start until it is written whole: put it in Image Upgrade mode again and run the "
                 L"wizard again.",
                 L"image transfer Fail!", L"Error"},
        StopCase{L"de",
                 L"Abgebrochen bei Block 1001 von 2049 (0,49 von 1,00 MiB geschrieben): der Handheld hat ihn nicht "
                 L"angenommen. Der Handheld startet womöglich erst wieder, wenn er vollständig beschrieben ist: "
                 L"Versetzen Sie ihn erneut in den Image-Upgrade-Modus und starten Sie den Assistenten noch einmal.",
                 L"Die Übertragung des Images ist fehlgeschlagen!", L"Fehler"}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return Utf8(info.param.language); });

TEST_F(RoadScenario, SilentHandheldTimesOutToTheWrongAnswerRouteAndThePageAnswersMeanwhile)
{
    ASSERT_TRUE(device.Start(L"--mode silent")) << Utf8(device.Error());
    UpgradeLog log;
    WalkToDeviceCheck();
    ASSERT_TRUE(wizard.WaitForPage(Page::CheckUSB, 5000)) << "see " << Visible();
    HWND page = wizard.PageWindow();
    const DWORD start = ::GetTickCount();
    // The pause and the handshake wait: the page answers at every moment until the box.
    ASSERT_TRUE(robot::WaitUntil(
        [&] {
            EXPECT_TRUE(robot::Wizard::Answers(page)) << "the page did not answer within 1 s";
            return wizard.FindMessageBox() != nullptr;
        },
        25000));
    const DWORD waited = ::GetTickCount() - start;
    EXPECT_GE(waited, 11500u) << "2 s pause and a 10 s handshake time-out";
    EXPECT_LE(waited, 16000u);
    ExpectErrorBox(L"Please press down USB item");
    ExpectPage(Page::Select);
    EXPECT_TRUE(device.WaitForReport("closed", "1", 5000)) << "the link was closed";
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["step"], "handshake");
    EXPECT_EQ(f["reason"], "timeout");
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

// Esc while a silent handheld is asked: the run ends at once, and its record says so.
TEST_F(RoadScenario, EscapeDuringTheHandshakeEndsTheRunAndLeavesItsRecord)
{
    ASSERT_TRUE(device.Start(L"--mode silent")) << Utf8(device.Error());
    UpgradeLog log;
    WalkToDeviceCheck();
    ASSERT_TRUE(device.WaitForReport("connections", "1", 15000)) << "not asked";
    ASSERT_TRUE(wizard.PressEscape());
    ExpectRunEnds();
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "interrupted");
    EXPECT_EQ(f["step"], "handshake");
    EXPECT_EQ(f["cause"], "cancel");
    EXPECT_NE(Lower(f["device"]).find("#0000#{"), std::string::npos) << f["device"];
}

TEST_F(RoadScenario, FailedSecondAnswerIsAWrongAnswer)
{
    ASSERT_TRUE(device.Start(L"--mode fail-second")) << Utf8(device.Error());
    WalkToDeviceCheck();
    ExpectErrorBox(L"Please press down USB item");
    ExpectPage(Page::Select);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

// The windows of which an alert was heard (EVENT_SYSTEM_ALERT), as a screen reader hears them.
std::vector<HWND> g_alerts;
void CALLBACK OnAlert(HWINEVENTHOOK, DWORD, HWND wnd, LONG, LONG, DWORD, DWORD) { g_alerts.push_back(wnd); }

TEST_F(RoadScenario, StalledHandheldShowsTheStallLineAndNothingClosesThePageUntilTheTransferEnds)
{
    ImageFile image(100000);
    const std::wstring received = TempPath(L"stall-received.bin");
    ASSERT_TRUE(device.Start(L"--stall-after-block 50 --stall-ms 15000 --save \"" + received + L"\""))
        << Utf8(device.Error());
    WalkToImagePage();
    ChooseImage(image.Path());
    ASSERT_TRUE(device.WaitForReport("stalls", "1", 15000)) << "see " << Visible();
    HWND page = wizard.PageWindow();
    ASSERT_EQ(wizard.VisiblePage(), Page::Progress);
    HWND note = ::GetDlgItem(page, IDC_STALL_NOTE);
    EXPECT_FALSE(::IsWindowVisible(note)) << "the stall line before 10 s without data";

    // While the transfer runs, neither the close box, Esc nor Enter ends the page, and the
    // page asks Windows not to end the session.
    ASSERT_TRUE(wizard.PressCloseBox());
    ASSERT_TRUE(wizard.PressEscape());
    ASSERT_TRUE(wizard.PressEnter());
    DWORD_PTR endSession = 1;
    ASSERT_TRUE(::SendMessageTimeoutW(page, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 1000, &endSession));
    EXPECT_EQ(endSession, 0u);

    // The stall line comes, the page answering all the while, and goes once data flows again;
    // a screen reader is alerted to it.
    g_alerts.clear();
    HWINEVENTHOOK hook = ::SetWinEventHook(EVENT_SYSTEM_ALERT, EVENT_SYSTEM_ALERT, nullptr, &OnAlert,
                                           wizard.ProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    EXPECT_TRUE(robot::WaitUntil(
        [&] {
            EXPECT_TRUE(robot::Wizard::Answers(page)) << "the page did not answer within 1 s";
            return ::IsWindowVisible(note) != FALSE;
        },
        14000))
        << "no stall line";
    EXPECT_TRUE(robot::WaitUntil(
        [&] {
            MSG m;
            while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&m);
            return std::find(g_alerts.begin(), g_alerts.end(), note) != g_alerts.end();
        },
        5000))
        << "the stall line came silently";
    ::UnhookWinEvent(hook);
    EXPECT_EQ(wizard.VisiblePage(), Page::Progress) << "the page stays on screen";
    EXPECT_NE(robot::Wizard::TextOf(note).find(L"stopped taking data"), std::wstring::npos);
    EXPECT_TRUE(robot::WaitUntil([&] { return !::IsWindowVisible(note); }, 15000)) << "the stall line stayed";

    ExpectFinishPage(nullptr, nullptr);
    EXPECT_TRUE(ReadWholeFile(received) == ReadWholeFile(image.Path())) << "not byte for byte";
    ASSERT_TRUE(::SendMessageTimeoutW(page, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 1000, &endSession));
    EXPECT_EQ(endSession, 1u) << "after the transfer the session may end";
    ASSERT_TRUE(wizard.Press(IDOK));
    ExpectRunEnds();
    EXPECT_EQ(device.Stop()["match"], "1");
    ::DeleteFileW(received.c_str());
}

// The image chosen on the image page cannot be staged: the box that says why, then the
// failure; the run ends, and the handheld gets nothing but the close.
class UnstageableImage : public RoadScenario {
protected:
    void ExpectRefusedWithNothingSent(const std::wstring& path, const std::wstring& why)
    {
        ASSERT_TRUE(device.Start()) << Utf8(device.Error());
        WalkToImagePage();
        ChooseImage(path, false);
        ExpectErrorBox(why);
        ExpectErrorBox(L"image transfer Fail!");
        ExpectRunEnds();
        EmulatedHandheld::Report r = device.Stop();
        EXPECT_EQ(r["header_received"], "0");
        EXPECT_EQ(r["bytes_received"], "0");
        EXPECT_EQ(r["closed"], "1");
    }
};

TEST_F(UnstageableImage, MissingFileIsReportedAndNothingIsSent)
{
    ExpectRefusedWithNothingSent(TempPath(L"no such image.bin"), L"Can not find  the image file.");
}

TEST_F(UnstageableImage, ImageHeldOpenForWritingIsReportedAsInUseAndNothingIsSent)
{
    ImageFile image(4096);
    // Another program has the image open for writing (and lets others read it).
    OwnedHandle writer(::CreateFileW(image.Path().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer.valid());
    ExpectRefusedWithNothingSent(image.Path(),
                                 L"The image file is in use by another program. Close that program and try again.");
}

class ImagePageEndings : public RoadScenario, public ::testing::WithParamInterface<Way> {};

TEST_P(ImagePageEndings, CloseTheLinkAndEndTheRun)
{
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToImagePage();
    // A cancelled file dialog leaves the page as it was.
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.ChooseFile(L""));
    ExpectPage(Page::Image);
    EXPECT_EQ(device.ReadReport()["closed"], "0");
    switch (GetParam()) {
    case Way::Button: ASSERT_TRUE(wizard.Press(IDCANCEL)); break;
    case Way::Escape: ASSERT_TRUE(wizard.PressEscape()); break;
    case Way::CloseBox: ASSERT_TRUE(wizard.PressCloseBox()); break;
    }
    EXPECT_TRUE(device.WaitForReport("closed", "1", 5000));
    ExpectRunEnds();
    EXPECT_EQ(device.Stop()["header_received"], "0");
}
INSTANTIATE_TEST_SUITE_P(Road, ImagePageEndings, ::testing::Values(Way::Button, Way::Escape, Way::CloseBox));

TEST_F(RoadScenario, TheFileDialogHoldsItsPageUntilItCloses)
{
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToImagePage();
    HWND page = wizard.PageWindow();
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.WaitForFileDialog());
    // Under its dialog the page takes nothing: no second dialog, no way out past the dialog.
    EXPECT_FALSE(::IsWindowEnabled(page));
    EXPECT_FALSE(wizard.Press(IDC_IMAGE_FILE)) << "a second file dialog could be opened";
    EXPECT_FALSE(wizard.Press(IDCANCEL)) << "Cancel could close the link under the dialog";
    EXPECT_FALSE(wizard.PressEscape());
    EXPECT_FALSE(wizard.PressCloseBox());
    ::Sleep(300);
    EXPECT_EQ(device.ReadReport()["closed"], "0");
    ASSERT_TRUE(wizard.ChooseFile(L""));
    // Once the dialog is gone the page works again.
    ExpectPage(Page::Image);
    EXPECT_TRUE(::IsWindowEnabled(page));
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.ChooseFile(L""));
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    EXPECT_TRUE(device.WaitForReport("closed", "1", 5000));
    ExpectRunEnds();
    EXPECT_EQ(device.Stop()["header_received"], "0");
}

// The file dialog says what it is for and offers ROM images first, and opens in the folder the
// last image was chosen from, in this run and the next; a remembered folder that is not one now
// (a value of another kind, a folder since removed) is as none.
TEST_F(RoadScenario, TheFileDialogOpensWhereTheLastImageWasChosen)
{
    const wchar_t* settings = L"Software\\ROM Upgrade Wizard";
    ::RegDeleteTreeW(HKEY_CURRENT_USER, settings);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ComDlg32");
    const std::wstring folder = TempPath(L"images from the maker");
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\nk.bin";
    WriteSampleImage(path, 3000, 1);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToImagePage();
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    robot::Wizard::FileDialogView view;
    ASSERT_TRUE(wizard.ReadFileDialog(&view));
    EXPECT_EQ(view.title, L"Choose the ROM image");
    EXPECT_EQ(view.fileType, L"ROM images (*.bin;*.nb0;*.nb1;*.img;*.rom)");
    EXPECT_NE(view.folder, L"images from the maker");
    ASSERT_TRUE(wizard.ChooseFile(path));
    AnswerQuestion(nullptr, IDNO);
    ExpectPage(Page::Image);
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.ReadFileDialog(&view));
    EXPECT_EQ(view.folder, L"images from the maker") << "in the same run";
    ASSERT_TRUE(wizard.ChooseFile(L""));
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();

    // The next run; then one with a remembered folder of another kind. Windows' own memory of
    // the folders a program's file dialogs last showed is cleared first: this is ours alone.
    for (bool garbled : {false, true}) {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ComDlg32");
        if (garbled) {
            HKEY key = nullptr;
            const DWORD number = 7;
            ::RegCreateKeyExW(HKEY_CURRENT_USER, settings, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
            ::RegSetValueExW(key, L"Image folder", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
            ::RegCloseKey(key);
        }
        device.Stop();
        ASSERT_TRUE(device.Start()) << Utf8(device.Error());
        WalkToImagePage();
        ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
        ASSERT_TRUE(wizard.ReadFileDialog(&view));
        EXPECT_EQ(view.folder == L"images from the maker", !garbled) << Utf8(view.folder);
        ASSERT_TRUE(wizard.ChooseFile(L""));
        ASSERT_TRUE(wizard.Press(IDCANCEL));
        ExpectRunEnds();
    }
    ::RegDeleteTreeW(HKEY_CURRENT_USER, settings);
    ::DeleteFileW(path.c_str());
    ::RemoveDirectoryW(folder.c_str());
}

TEST_F(RoadScenario, EscapeOnTheProgressPageBeforeTheTransferEndsTheRunAndSendsNothing)
{
    ImageFile image(4096);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToImagePage();
    ChooseImage(image.Path(), false);
    UpgradeLog log;
    ASSERT_TRUE(wizard.WaitForPage(Page::Progress, 5000));
    ASSERT_TRUE(wizard.PressEscape());
    ExpectRunEnds();
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "interrupted");
    EXPECT_EQ(f["cause"], "cancel");
    EmulatedHandheld::Report r = device.Stop();
    EXPECT_EQ(r["header_received"], "0");
    EXPECT_EQ(r["blocks"], "0");
}

// The button Enter presses in a box: the one drawn as the default.
int DefaultButton(HWND box)
{
    for (int id : {IDYES, IDNO, IDOK})
        if (HWND b = ::GetDlgItem(box, id); b && (::GetWindowLongW(b, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
            return id;
    return 0;
}

bool Has(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

// A Unix shell command in the temporary folder, as a publisher would run it.
bool InTemp(const std::string& command)
{
    return RunUnix({"/bin/sh", "-c", "cd '" + UnixPath(TempPath(L"")) + "' && " + command});
}

// The question shows the image before its first byte; No sends nothing and the image page
// comes back on the same link; Yes, for another file whose checksum is published beside it,
// writes it byte for byte.
TEST_F(RoadScenario, TheImageIsShownAndAskedForBeforeItsFirstByte)
{
    ImageFile declined(8192, L"declined image.bin"), chosen(70000, L"chosen image.bin");
    const std::wstring received = TempPath(L"asked-received.bin");
    if (!InTemp("sha256sum -b 'chosen image.bin' | tr a-f A-F > 'chosen image.bin.sha256'")) GTEST_SKIP() << "no Unix";
    ASSERT_TRUE(device.Start(L"--save \"" + received + L"\"")) << Utf8(device.Error());
    UpgradeLog log;
    WalkToImagePage();
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.ChooseFile(declined.Path()));
    std::wstring text;
    ASSERT_TRUE(wizard.WaitForMessageBox(&text, 20000, true)) << "no question; see " << Visible();
    EXPECT_EQ(DefaultButton(wizard.FindMessageBox(true)), IDNO) << "Enter alone must not write";
    ASSERT_TRUE(wizard.AnswerMessageBox(10000, true, IDNO));
    ExpectPage(Page::Image);
    EmulatedHandheld::Report r = device.ReadReport();
    EXPECT_EQ(r["header_received"], "0");
    EXPECT_EQ(r["closed"], "0") << "the link stays open for another image";
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "declined");
    EXPECT_EQ(f["checked"], "none");
    EXPECT_EQ(f["sent"], "0");
    const std::wstring folder = declined.Path().substr(0, declined.Path().rfind(L'\\'));
    const std::wstring sha256(f["sha256"].begin(), f["sha256"].end());
    EXPECT_TRUE(Has(text, L"File: declined image.bin\nFolder: " + folder + L"\nSize: 8192 bytes (0.01 MiB)\nDate: "))
        << Utf8(text);
    EXPECT_TRUE(Has(text, L"\nSHA-256: " + sha256 + L"\n\nNot checked: there is no checksum file")) << Utf8(text);
    const std::wstring last = L"\n\nWrite this image to the handheld?";
    EXPECT_EQ(text.substr(text.size() - last.size()), last);

    UpgradeLog second;
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.ChooseFile(chosen.Path()));
    AnswerQuestion(&text, IDYES);
    EXPECT_TRUE(Has(text, L"Checked: the SHA-256 matches the one in chosen image.bin.sha256.")) << Utf8(text);
    HWND figures = ::GetDlgItem(wizard.FindPage(Page::Progress), IDC_PROGRESS_FIGURES);
    ExpectFinishPage(nullptr, nullptr);
    EXPECT_EQ(robot::Wizard::TextOf(figures).rfind(L"0.07 of 0.07 MiB written", 0), 0u)
        << Utf8(robot::Wizard::TextOf(figures));
    ASSERT_TRUE(wizard.Press(IDOK));
    ExpectRunEnds();
    r = device.Stop();
    EXPECT_EQ(r["connections"], "1");
    EXPECT_EQ(r["match"], "1");
    EXPECT_TRUE(ReadWholeFile(received) == ReadWholeFile(chosen.Path())) << "not byte for byte";
    ASSERT_NO_FATAL_FAILURE(second.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "success");
    EXPECT_EQ(f["checked"], "sha256-file");
    for (const wchar_t* name : {L"asked-received.bin", L"chosen image.bin.sha256"}) ::DeleteFileW(TempPath(name).c_str());
}

// Two bytes swapped in place while the question is up, past Windows' sharing rules: Yes writes
// the pieces before the change and not one block of the piece that holds it; the box says the
// file changed after it was checked, and the log records it under the SHA-256 that was shown.
TEST_F(RoadScenario, ImageChangedWhileTheQuestionIsUpIsNeverWritten)
{
    ImageFile image(200000, L"changing image.bin");
    const std::string shown = ReadWholeFile(image.Path());
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    UpgradeLog log;
    WalkToImagePage();
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.ChooseFile(image.Path()));
    std::wstring text;
    ASSERT_TRUE(wizard.WaitForMessageBox(&text, 20000, true)) << "no question; see " << Visible();
    const size_t at = text.find(L"\nSHA-256: ");
    ASSERT_NE(at, std::wstring::npos) << Utf8(text);
    const std::string shownDigest = Utf8(text.substr(at + 10, 64));
    if (!SwapTwoBytesInPlace(image.Path(), 150000)) GTEST_SKIP() << "no Unix beneath";
    ASSERT_NE(ReadWholeFile(image.Path()), shown);
    ASSERT_TRUE(wizard.AnswerMessageBox(10000, true, IDYES));
    ASSERT_TRUE(wizard.WaitForMessageBox(&text, 60000)) << "no box; see " << Visible();
    EXPECT_EQ(text.rfind(L"The image file changed after it was checked.\n\nImage: " + image.Path() + L"\n\n", 0), 0u)
        << Utf8(text);
    EXPECT_TRUE(Has(text, L"nothing more was written to the handheld")) << Utf8(text);
    ASSERT_TRUE(wizard.AnswerMessageBox());
    ExpectRunEnds();
    EmulatedHandheld::Report r = device.Stop();
    EXPECT_EQ(r["blocks"], "256") << "the pieces before the change, and nothing of the one that holds it";
    EXPECT_EQ(r["match"], "0");
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "failed");
    EXPECT_EQ(f["step"], "block:256");
    EXPECT_EQ(f["reason"], "image-changed");
    EXPECT_EQ(f["sha256"], shownDigest);
}

// The whole road by the keyboard alone, as posted key strokes: on every page the focus starts
// where the user most likely wants it and is shown; the license text scrolls by keys; the
// handheld gets the image byte for byte.
TEST_F(RoadScenario, TheRoadIsWalkedByKeysAlone)
{
    ImageFile image(70000, L"keyboard image.bin");
    const std::wstring received = TempPath(L"keys-received.bin");
    ASSERT_TRUE(device.Start(L"--save \"" + received + L"\"")) << Utf8(device.Error());
    StartWizard();
    auto focusIs = [&](int id) {
        HWND page = wizard.PageWindow();
        HWND focus = robot::Wizard::FocusIn(page);
        DWORD_PTR state = UISF_HIDEFOCUS;
        ::SendMessageTimeoutW(page, WM_QUERYUISTATE, 0, 0, SMTO_ABORTIFHUNG, 2000, &state);
        EXPECT_EQ(state & UISF_HIDEFOCUS, 0u) << "the focus is hidden on " << robot::PageName(wizard.VisiblePage());
        return focus && ::GetDlgCtrlID(focus) == id;
    };
    auto key = [&](UINT vk) { ASSERT_TRUE(robot::Wizard::PressKeyIn(wizard.PageWindow(), vk)); };
    EXPECT_TRUE(focusIs(IDOK));
    key(VK_RETURN);
    ASSERT_TRUE(wizard.WaitForPage(Page::Reset));
    // Reset: Next, Cancel, Back; Back opens the license.
    key(VK_TAB);
    key(VK_TAB);
    EXPECT_TRUE(robot::WaitUntil([&] { return focusIs(IDC_RESET_BACK); }, 2000));
    key(VK_RETURN);
    ASSERT_TRUE(wizard.WaitForPage(Page::License));
    EXPECT_TRUE(focusIs(IDOK));
    HWND text = wizard.Control(IDC_LICENSE_TEXT);
    for (int i = 0; i < 6 && !focusIs(IDC_LICENSE_TEXT); ++i) key(VK_TAB), ::Sleep(50);
    ASSERT_TRUE(focusIs(IDC_LICENSE_TEXT)) << "Tab does not reach the license text";
    DWORD_PTR firstLine = 1;
    ::SendMessageTimeoutW(text, EM_GETFIRSTVISIBLELINE, 0, 0, SMTO_ABORTIFHUNG, 2000, &firstLine);
    EXPECT_EQ(firstLine, 0u) << "the focus took the reader away from the first line";
    key(VK_NEXT);
    EXPECT_TRUE(robot::WaitUntil([&] {
        ::SendMessageTimeoutW(text, EM_GETFIRSTVISIBLELINE, 0, 0, SMTO_ABORTIFHUNG, 2000, &firstLine);
        return firstLine > 0;
    }, 2000)) << "Page Down does not scroll the license text";
    for (int i = 0; i < 6 && !focusIs(IDOK); ++i) key(VK_TAB), ::Sleep(50);
    key(VK_RETURN);  // Next, as on the welcome page
    ASSERT_TRUE(wizard.WaitForPage(Page::Reset));
    key(VK_RETURN);
    ASSERT_TRUE(wizard.WaitForPage(Page::Select));
    EXPECT_TRUE(focusIs(IDOK));
    key(VK_RETURN);
    // Enter again, twice, on the device check (a key held down): the check goes on.
    ASSERT_TRUE(wizard.WaitForPage(Page::CheckUSB)) << "see " << Visible();
    key(VK_RETURN);
    key(VK_RETURN);
    ASSERT_TRUE(wizard.WaitForPage(Page::Image, 15000)) << "see " << Visible();
    EXPECT_TRUE(focusIs(IDC_IMAGE_FILE));
    key(VK_RETURN);
    ASSERT_TRUE(wizard.ChooseFile(image.Path(), 10000, true)) << "no file dialog";
    // And at once on the progress page, before its question: the question still comes.
    ASSERT_TRUE(wizard.WaitForPage(Page::Progress)) << "see " << Visible();
    robot::Wizard::PressKeyIn(wizard.PageWindow(), VK_RETURN);
    ASSERT_TRUE(wizard.WaitForMessageBox(nullptr, 20000, true)) << "no question; see " << Visible();
    HWND box = wizard.FindMessageBox(true);
    EXPECT_EQ(::GetDlgCtrlID(robot::Wizard::FocusIn(box)), IDNO);
    ASSERT_TRUE(robot::Wizard::PressKeyIn(box, VK_TAB));
    ASSERT_TRUE(robot::WaitUntil([&] { return ::GetDlgCtrlID(robot::Wizard::FocusIn(box)) == IDYES; }, 2000));
    ASSERT_TRUE(robot::Wizard::PressKeyIn(box, VK_RETURN));
    ASSERT_TRUE(wizard.WaitForPage(Page::End, 30000)) << "see " << Visible();
    EXPECT_TRUE(focusIs(IDOK));
    key(VK_RETURN);  // Finish
    ExpectRunEnds();
    EXPECT_EQ(device.Stop()["match"], "1");
    EXPECT_TRUE(ReadWholeFile(received) == ReadWholeFile(image.Path())) << "not byte for byte";
    ::DeleteFileW(received.c_str());
}

// The road in each language, from /lang:xx: the welcome page is heard in it, the question's
// size and the line of figures take its decimal sign, the progress bar and the figures say no
// English word in another language, the handheld gets the image byte for byte, and the device
// check, image file and finish pages are left as screenshots (road_LANG_PAGE.bmp) for a person
// to look at.
struct LanguageCase {
    const wchar_t* code;
    const wchar_t* firstLine;  // the welcome page's first line, as a screen reader hears it
    const wchar_t* next;       // its Next button
    const wchar_t* yes;        // the question's buttons, as heard
    const wchar_t* no;
    const wchar_t* figures;    // how the line of figures starts once all is written
    const wchar_t* fileTitle;  // the file dialog's title, and how its first file type starts
    const wchar_t* romImages;
    LANGID language;           // Windows' number for it, for its way of writing dates
};
class Languages : public RoadScenario, public ::testing::WithParamInterface<LanguageCase> {
protected:
    void Shot(const wchar_t* page)
    {
        robot::WaitPainted(wizard.PageWindow());
        ::Sleep(300);
        robot::Screenshot shot;
        ASSERT_TRUE(shot.Capture());
        shot.SaveBmp(std::wstring(L"road_") + GetParam().code + L"_" + page + L".bmp");
    }
};

TEST_P(Languages, TheRoadSpeaksTheChosenLanguage)
{
    ImageFile image(20000, L"language image.bin");
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    StartWizard(WizardPath(), std::wstring(L"/lang:") + GetParam().code);
    const std::vector<std::wstring> heard = robot::HeardTexts(wizard.PageWindow());
    ASSERT_EQ(heard.size(), 12u);
    EXPECT_EQ(heard[0], GetParam().firstLine);
    EXPECT_EQ(heard[11], GetParam().next) << "Next comes last, as on the screen";
    // Everything a screen reader hears on the way, to be searched for English words.
    std::vector<std::wstring> said = heard;
    auto listen = [&](HWND wnd) {
        for (const std::wstring& name : robot::HeardTexts(wnd)) said.push_back(name);
    };
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::Reset));
    listen(wizard.PageWindow());
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::Select));
    listen(wizard.PageWindow());
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::CheckUSB, 5000));
    Shot(L"checkusb");
    ASSERT_TRUE(wizard.WaitForPage(Page::Image, 15000)) << "see " << Visible();
    Shot(L"image");
    listen(wizard.PageWindow());
    // The file dialog says what it is for in the chosen language, where Windows lets it.
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    robot::Wizard::FileDialogView view;
    ASSERT_TRUE(wizard.ReadFileDialog(&view));
    EXPECT_EQ(view.title, GetParam().fileTitle);
    EXPECT_EQ(view.fileType.rfind(GetParam().romImages, 0), 0u) << Utf8(view.fileType);
    // The question is ours: its buttons speak the chosen language, not Windows'.
    ASSERT_TRUE(wizard.ChooseFile(image.Path()));
    std::wstring question, bar;
    ASSERT_TRUE(wizard.WaitForMessageBox(&question, 20000, true)) << "no question; see " << Visible();
    std::vector<std::wstring> buttons;
    for (const std::wstring& name : robot::HeardTexts(wizard.FindMessageBox(true)))
        if (name.find(L'\n') == std::wstring::npos && !name.empty()) buttons.push_back(name);
    for (std::wstring& name : buttons) name.erase(std::remove(name.begin(), name.end(), L'&'), name.end());
    EXPECT_EQ(buttons, (std::vector<std::wstring>{GetParam().yes, GetParam().no}));
    listen(wizard.FindMessageBox(true));
    Shot(L"question");
    ASSERT_TRUE(wizard.AnswerMessageBox(10000, true, IDYES));
    const std::wstring expected = GetParam().figures, mib = expected.substr(expected.find(L'0'), 4);  // "0,02"
    EXPECT_NE(question.find(mib + L" Mi"), std::wstring::npos) << Utf8(question);  // the size in MiB
    if (GetParam().code != std::wstring(L"en")) {
        // The file's date as the language writes it (the PC's own format is English here).
        WIN32_FILE_ATTRIBUTE_DATA info{};
        FILETIME local{};
        SYSTEMTIME t{};
        ASSERT_TRUE(::GetFileAttributesExW(image.Path().c_str(), GetFileExInfoStandard, &info) &&
                    ::FileTimeToLocalFileTime(&info.ftLastWriteTime, &local) && ::FileTimeToSystemTime(&local, &t));
        wchar_t date[64] = L"";
        ::GetDateFormatW(MAKELCID(GetParam().language, SORT_DEFAULT), DATE_SHORTDATE, &t, nullptr, date, 64);
        EXPECT_NE(question.find(date), std::wstring::npos) << Utf8(date) << " in " << Utf8(question);
    }
    ExpectFinishPage(&bar, nullptr);
    const std::wstring figures = robot::Wizard::TextOf(::GetDlgItem(wizard.FindPage(Page::Progress), IDC_PROGRESS_FIGURES));
    EXPECT_EQ(figures.rfind(expected, 0), 0u) << Utf8(figures);
    if (GetParam().code != std::wstring(L"en"))
        for (const wchar_t* english : {L"Processing", L"Initialing", L"Progress", L"block", L" of ", L"written", L"left"}) {
            EXPECT_EQ((bar + L"\n" + figures).find(english), std::wstring::npos) << Utf8(bar) << " / " << Utf8(figures);
        }
    Shot(L"end");
    listen(wizard.PageWindow());
    // English words, whole ("Cancelar" is Spanish).
    auto hasWord = [](const std::wstring& text, const std::wstring& word) {
        for (size_t at = text.find(word); at != std::wstring::npos; at = text.find(word, at + 1)) {
            const size_t end = at + word.size();
            if ((at == 0 || !::iswalpha(text[at - 1])) && (end == text.size() || !::iswalpha(text[end]))) return true;
        }
        return false;
    };
    if (GetParam().code != std::wstring(L"en")) {
        for (const std::wstring& name : said)
            for (const wchar_t* english : {L"Next", L"Cancel", L"Back", L"Finish", L"Image file", L"Please", L"the",
                                           L"handheld", L"Write", L"Yes", L"Progress"})
                EXPECT_FALSE(hasWord(name, english)) << "heard in English: " << Utf8(name);
    }
    ASSERT_TRUE(wizard.Press(IDOK));
    ExpectRunEnds();
    EXPECT_EQ(device.Stop()["match"], "1");
}

INSTANTIATE_TEST_SUITE_P(
    Road, Languages,
    ::testing::Values(
        LanguageCase{L"en", L"Please follow this step-by-step procedure to", L"Next", L"Yes", L"No",
                     L"0.02 of 0.02 MiB written", L"Choose the ROM image", L"ROM images (",
                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)},
        LanguageCase{L"de", L"Bitte folgen Sie diesen Schritten, um das", L"Weiter", L"Ja", L"Nein",
                     L"0,02 von 0,02 MiB geschrieben", L"ROM-Image auswählen", L"ROM-Images (",
                     MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)},
        LanguageCase{L"fr", L"Suivez ces étapes pour mettre à jour", L"Suivant", L"Oui", L"Non", L"0,02 sur 0,02 Mio écrits",
                     L"Choisir l'image ROM", L"Images ROM (",
                     MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH)},
        LanguageCase{L"es", L"Siga este procedimiento paso a paso para", L"Siguiente", L"Sí", L"No",
                     L"0,02 de 0,02 MiB escritos", L"Elegir la imagen ROM", L"Imágenes ROM (",
                     MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN)},
        LanguageCase{L"zh", L"请按照以下步骤操作，", L"下一步", L"是(Y)", L"否(N)", L"已写入 0.02 / 0.02 MiB",
                     L"选择 ROM 映像", L"ROM 映像 (",
                     MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)},
        LanguageCase{L"ja", L"次の手順に従って、Pocket PC の", L"次へ", L"はい(Y)", L"いいえ(N)", L"0.02 / 0.02 MiB 書き込み済み",
                     L"ROM イメージの選択", L"ROM イメージ (",
                     MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)}),
    [](const ::testing::TestParamInfo<LanguageCase>& info) { return Utf8(info.param.code); });

// What the publisher's files beside the image say, each time the image is chosen again: a
// checksum that differs or a signature not valid refuses it with nothing sent; a SHA256SUMS,
// an unreadable checksum file and a trusted signature are said in the question. A policy key
// that names another signer refuses the maker's signature.
TEST_F(RoadScenario, ChecksumsAndSignaturesBesideTheImageAreSaidOrRefuseIt)
{
    struct PolicyKey {  // the company's word, while the test runs
        const wchar_t* path = L"Software\\Policies\\ROM Upgrade Wizard";
        void Trust(const std::string& print, DWORD type = REG_SZ) const
        {
            HKEY key = nullptr;
            const std::wstring value(print.begin(), print.end()), sub = std::wstring(path) + L"\\TrustedSigners";
            ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                                        nullptr, &key, nullptr), ERROR_SUCCESS);
            ::RegSetValueExW(key, L"Bench", 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
            ::RegCloseKey(key);
        }
        ~PolicyKey() { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path); }
    } policy;
    ImageFile image(20000, L"vouched image.bin");
    const Publisher maker("Example Handhelds ROM Signing", true), stranger("Somebody Else", false);
    if (!maker.Ready() || !stranger.Ready()) GTEST_SKIP() << "no openssl beneath";
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToImagePage();
    const struct {
        std::string command;  // run in the temporary folder first ("sign": by the maker; "stranger")
        const wchar_t* says;
        int answer;  // IDOK for a refusal
        const char* result;
        const char* reason;
        const char* checked;
    } cases[] = {
        {"printf '%064d  vouched image.bin\\n' 0 > 'vouched image.bin.sha256'",
         L"The image does not match its checksum.\n\nImage: ", IDOK, "failed", "sha256-mismatch", "none"},
        {"rm 'vouched image.bin.sha256'; printf x > a.bin; printf y > b.bin; "
         "sha256sum a.bin 'vouched image.bin' b.bin > SHA256SUMS",
         L"Checked: the SHA-256 matches the one in SHA256SUMS.", IDNO, "declined", "", "sha256-file"},
        {"rm SHA256SUMS a.bin b.bin; echo 'not a checksum' > 'vouched image.bin.sha256'",
         L"the checksum file vouched image.bin.sha256 could not be used (line 1 is not a SHA-256 checksum line)",
         IDNO, "declined", "", "none"},
        {"sign", L"Checked: signed by Example Handhelds ROM Signing (signature vouched image.bin.p7s).", IDNO,
         "declined", "", "signature"},
        {"printf '\\001' | dd of='vouched image.bin' bs=1 seek=7000 conv=notrunc 2>/dev/null",
         L"Why: it was made for other bytes than this image's", IDOK, "failed", "signature-invalid", "none"},
        {"stranger", L"Signer: Somebody Else\nWhy: the signer is not trusted: ", IDOK, "failed", "signature-invalid",
         "none"},
        {"pinned", L"Signer: Example Handhelds ROM Signing\nThumbprint (SHA-256): ", IDOK, "failed",
         "signer-not-trusted", "none"},
        {"unreadable", L"Why: the policy's trusted signers value Bench is of type REG_BINARY, not text", IDOK, "failed",
         "policy-unreadable", "none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        if (c.command == "sign") {
            ASSERT_TRUE(InTemp("rm 'vouched image.bin.sha256'") && maker.Sign(image.Path()));
        } else if (c.command == "stranger") {
            ASSERT_TRUE(stranger.Sign(image.Path()));
        } else if (c.command == "pinned") {
            ASSERT_NO_FATAL_FAILURE(policy.Trust(stranger.Thumbprint("signer.sha256")));
            ASSERT_TRUE(maker.Sign(image.Path()));
        } else if (c.command == "unreadable") {
            ASSERT_NO_FATAL_FAILURE(policy.Trust(std::string(), REG_BINARY));
        } else {
            ASSERT_TRUE(InTemp(c.command));
        }
        UpgradeLog log;
        ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
        ASSERT_TRUE(wizard.ChooseFile(image.Path()));
        std::wstring text;
        AnswerQuestion(&text, c.answer);
        EXPECT_TRUE(Has(text, c.says)) << Utf8(text);
        EXPECT_EQ(Has(text, L"Nothing was written to the handheld."), c.answer == IDOK) << Utf8(text);
        ExpectPage(Page::Image);
        UpgradeLog::Fields f;
        ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
        EXPECT_EQ(f["result"], c.result);
        EXPECT_EQ(f["reason"], c.reason);
        EXPECT_EQ(f["checked"], c.checked);
    }
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
    EmulatedHandheld::Report r = device.Stop();
    EXPECT_EQ(r["connections"], "1");
    EXPECT_EQ(r["header_received"], "0");
    ::DeleteFileW((image.Path() + L".p7s").c_str());
}

}  // namespace

namespace {

TEST_F(RoadScenario, ImageWithGreekAndCjkLettersInItsPathIsFlashedByteForByte)
{
    const std::wstring folder = TempPath(L"εικόνες-映像");
    ::CreateDirectoryW(folder.c_str(), nullptr);
    {
        ImageFile image(70000, L"εικόνες-映像\\ROM-ελληνικά-日本語.bin");
        ASSERT_NE(::GetFileAttributesW(image.Path().c_str()), INVALID_FILE_ATTRIBUTES);
        ASSERT_TRUE(device.Start()) << Utf8(device.Error());
        UpgradeLog log;
        WalkToImagePage();
        ChooseImage(image.Path());
        ExpectFinishPage(nullptr, nullptr);
        ASSERT_TRUE(wizard.Press(IDOK));
        ExpectRunEnds();
        EmulatedHandheld::Report r = device.Stop();
        EXPECT_EQ(r["header_count"], "70000");
        EXPECT_EQ(r["header_sum"], std::to_string(image.Sum()));
        EXPECT_EQ(r["image_sum"], std::to_string(image.Sum()));
        EXPECT_EQ(r["match"], "1");

        // One record of the upgrade, the path in UTF-8.
        UpgradeLog::Fields f;
        ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
        ExpectRecordOfImage(f, image, 70000);
        EXPECT_EQ(f["sent"], "137");
        EXPECT_EQ(f["result"], "success");
        EXPECT_FALSE(f["device"].empty());
    }
    ::RemoveDirectoryW(folder.c_str());
}

TEST_F(RoadScenario, LogFolderThatCannotBeWrittenLeavesTheUpgradeUnchanged)
{
    // A file where the log's folder should be: no folder can be made, no log written.
    const std::wstring folder = UpgradeLog::Folder();
    const std::wstring aside = folder + L" (aside)";
    ::MoveFileW(folder.c_str(), aside.c_str());
    {
        FILE* f = _wfopen(folder.c_str(), L"wb");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    {
        ImageFile image(70000);
        ASSERT_TRUE(device.Start()) << Utf8(device.Error());
        WalkToImagePage();
        ChooseImage(image.Path());
        std::wstring status;
        ExpectFinishPage(&status, nullptr);
        EXPECT_EQ(status, L"Processing completed 137/137 block");
        EXPECT_EQ(wizard.FindMessageBox(), nullptr) << "no box about the log";
        ASSERT_TRUE(wizard.Press(IDOK));
        ExpectRunEnds();
        EmulatedHandheld::Report r = device.Stop();
        EXPECT_EQ(r["header_count"], "70000");
        EXPECT_EQ(r["match"], "1");
    }
    EXPECT_EQ(::GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u) << "still the file";
    ::DeleteFileW(folder.c_str());
    ::MoveFileW(aside.c_str(), folder.c_str());
}

TEST_F(RoadScenario, PathTooLongGivesAClearErrorAndSendsNothing)
{
    // Folders nested past the classic path limit, made through the long-path prefix.
    std::wstring path = TempPath(L"");
    std::vector<std::wstring> made;
    while (path.size() < 300) {
        path += L"a-folder-with-a-rather-long-name-" + std::to_wstring(made.size()) + L"\\";
        ::CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr);
        made.push_back(path);
    }
    const std::wstring file = path + L"image.bin";
    {
        FILE* f = _wfopen((L"\\\\?\\" + file).c_str(), L"wb");
        ASSERT_NE(f, nullptr);
        std::fputs("a small image", f);
        std::fclose(f);
    }
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToImagePage();
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.WaitForFileDialog());
    wizard.ChooseFile(file, 2000);  // the dialog stays: its Open is refused
    std::wstring text;
    ASSERT_TRUE(wizard.WaitForMessageBox(&text, 10000)) << "no error box; see " << Visible();
    EXPECT_NE(text.find(L"too long"), std::wstring::npos) << Utf8(text);
    ASSERT_TRUE(wizard.AnswerMessageBox());
    ASSERT_TRUE(wizard.ChooseFile(L""));  // another file could be chosen; cancel instead
    ExpectPage(Page::Image);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
    EXPECT_EQ(device.Stop()["header_received"], "0");

    ::DeleteFileW((L"\\\\?\\" + file).c_str());
    for (auto it = made.rbegin(); it != made.rend(); ++it) ::RemoveDirectoryW((L"\\\\?\\" + *it).c_str());
}

}  // namespace
