// The whole upgrade road and its failure branches, on the shipped program against the
// emulated handheld.
#include "tests/road/Road.h"
#include "tools/emuhandheld/OwnedHandle.h"
#include <cstdio>
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
                         ::testing::Values(SizeCase{0, L"Processing completed 1/0 block", 0},
                                           SizeCase{511, L"Processing completed 1/0 block", 0},
                                           SizeCase{512, L"Processing completed 2/1 block", 1},
                                           SizeCase{513, L"Processing completed 2/1 block", 1},
                                           SizeCase{50688, L"Processing completed 100/99 block", 50},
                                           SizeCase{51200, L"Processing completed 101/100 block", 33},
                                           SizeCase{1 << 20, L"Processing completed 2049/2048 block", 93}));

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
    WalkToDeviceCheck();
    ExpectPage(Page::Image);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
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
    WalkToDeviceCheck();  // nothing plugged in
    ASSERT_TRUE(wizard.WaitForPage(Page::NotReady, 15000)) << "see " << Visible();
    EXPECT_TRUE(wizard.FindMessageBox() == nullptr) << "no box when there is no device";
    switch (GetParam()) {
    case Way::Button: ASSERT_TRUE(wizard.Press(IDOK)); break;  // Exit
    case Way::Escape: ASSERT_TRUE(wizard.PressEscape()); break;
    case Way::CloseBox: ASSERT_TRUE(wizard.PressCloseBox()); break;
    }
    ExpectRunEnds();
}
INSTANTIATE_TEST_SUITE_P(Road, NotReadyEndings, ::testing::Values(Way::Button, Way::Escape, Way::CloseBox));

TEST_F(RoadScenario, RefusedBlockFailsTheTransferAndNothingFollowsTheRefusal)
{
    ImageFile image(8192);
    ASSERT_TRUE(device.Start(L"--refuse-block 2")) << Utf8(device.Error());
    UpgradeLog log;
    WalkToImagePage();
    ChooseImage(image.Path());
    ExpectErrorBox(L"image transfer Fail!");
    ExpectRunEnds();
    EmulatedHandheld::Report r = device.Stop();
    ExpectRefusedAtBlock(r, 2);

    // The log tells what happened: where, why, and the Windows error.
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    ExpectRecordOfImage(f, image, 8192);
    EXPECT_EQ(f["result"], "failed");
    EXPECT_EQ(f["step"], "block:2");
    EXPECT_EQ(f["reason"], "write-refused");
    EXPECT_NE(f["error"], "0");
    EXPECT_EQ(f["sent"], "2");
}

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

TEST_F(RoadScenario, FailedSecondAnswerIsAWrongAnswer)
{
    ASSERT_TRUE(device.Start(L"--mode fail-second")) << Utf8(device.Error());
    WalkToDeviceCheck();
    ExpectErrorBox(L"Please press down USB item");
    ExpectPage(Page::Select);
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

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

    // The stall line comes, the page answering all the while, and goes once data flows again.
    EXPECT_TRUE(robot::WaitUntil(
        [&] {
            EXPECT_TRUE(robot::Wizard::Answers(page)) << "the page did not answer within 1 s";
            return ::IsWindowVisible(note) != FALSE;
        },
        14000))
        << "no stall line";
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

TEST_F(RoadScenario, EscapeOnTheProgressPageBeforeTheTransferEndsTheRunAndSendsNothing)
{
    ImageFile image(4096);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToImagePage();
    ChooseImage(image.Path(), false);
    ASSERT_TRUE(wizard.WaitForPage(Page::Progress, 5000));
    ASSERT_TRUE(wizard.PressEscape());
    ExpectRunEnds();
    EmulatedHandheld::Report r = device.Stop();
    EXPECT_EQ(r["header_received"], "0");
    EXPECT_EQ(r["blocks"], "0");
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
        EXPECT_EQ(status, L"Processing completed 137/136 block");
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
