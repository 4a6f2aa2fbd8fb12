// Connect: the lookup, the open and the two handshake reads, answered 1 (ready),
// 2 (anything else, after the box "Please press down USB item") or 0 (no device, silently).
#include "tests/engine/LinkTest.h"

namespace {

const wchar_t kPressUsb[] = L"Please press down USB item";

class Handshake : public LinkTest {};

TEST_F(Handshake, ReadyAnswerGivesOneAndKeepsTheDeviceOpen)
{
    ASSERT_TRUE(Plug());
    CUSBUpdate link;
    EXPECT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    EXPECT_TRUE(boxes.Texts().empty());
    EXPECT_TRUE(HandleIsOpen(link.m_hDevice));
    EXPECT_EQ(link.m_dwBytesRead, 16u);
    EXPECT_STRCASEEQ(link.m_szDevicePath, "\\\\?\\root#upgrade#0000#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}");

    EmulatedHandheld::Report r;
    EXPECT_TRUE(device.WaitForReport("handshake_reads", "2", 5000, &r));
    EXPECT_EQ(r["connections"], "1");
    EXPECT_EQ(r["closed"], "0") << "Connect leaves the device open";
    link.Close();
    WaitUntilClosed();
}

// The second answer decides; the box names the problem and Connect keeps the handle.
struct WrongAnswer {
    const char* name;
    const wchar_t* options;
};

void PrintTo(const WrongAnswer& c, std::ostream* os) { *os << c.name; }

class WrongHandshake : public LinkTest, public ::testing::WithParamInterface<WrongAnswer> {};

TEST_P(WrongHandshake, GivesTwoAfterTheBox)
{
    ASSERT_TRUE(Plug(GetParam().options));
    CUSBUpdate link;
    EXPECT_EQ(link.Connect(), CUSBUpdate::kWrongReply);
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts()[0], kPressUsb);
    EXPECT_TRUE(HandleIsOpen(link.m_hDevice));
    EXPECT_EQ(device.ReadReport()["closed"], "0");
    link.Close();
    WaitUntilClosed();
}

const WrongAnswer kWrongAnswers[] = {
    {"FirstByteDiffers", L"--mode wrong-byte --wrong-byte-at 0"},
    {"MiddleByteDiffers", L"--mode wrong-byte --wrong-byte-at 7"},
    {"LastByteDiffers", L"--mode wrong-byte --wrong-byte-at 15"},
    {"ShortSecondAnswer", L"--mode short-second"},
};

INSTANTIATE_TEST_SUITE_P(Answers, WrongHandshake, ::testing::ValuesIn(kWrongAnswers),
                         [](const ::testing::TestParamInfo<WrongAnswer>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(Handshake, EmptySecondReadKeepsTheFirstAnswer)
{
    // Both reads share the buffer: a second read that delivers nothing leaves the first
    // answer, sixteen 0x01 bytes, and that counts as ready.
    ASSERT_TRUE(Plug(L"--mode empty-second"));
    CUSBUpdate link;
    EXPECT_EQ(link.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    EXPECT_TRUE(boxes.Texts().empty());
    EXPECT_EQ(link.m_dwBytesRead, 0u) << "the second read delivered nothing";
    EXPECT_EQ(device.Stop()["handshake_reads"], "1");
    link.Close();
}

TEST_F(Handshake, FailedSecondReadGivesTwo)
{
    // Sixteen good bytes, then a read that fails: no answer is no ready answer.
    ASSERT_TRUE(Plug(L"--mode fail-second"));
    CUSBUpdate link;
    EXPECT_EQ(link.Connect(), CUSBUpdate::kWrongReply);
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts()[0], kPressUsb);
    EXPECT_EQ(device.Stop()["handshake_reads"], "1");
    link.Close();
}

TEST_F(Handshake, SilentDeviceThatGoesAwayGivesTwo)
{
    // The host blocks in its first read until the device is unplugged; both reads then
    // fail, the buffer keeps its zero fill, and that is not the ready signature.
    ASSERT_TRUE(Plug(L"--mode silent --unplug-after-ms 400"));
    CUSBUpdate link;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(link.Connect(), CUSBUpdate::kWrongReply);
    EXPECT_GE(::GetTickCount64() - start, 300u) << "Connect should have waited for an answer";
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts()[0], kPressUsb);
    EXPECT_TRUE(device.WaitForExit(10000));
    EmulatedHandheld::Report r = device.ReadReport();
    EXPECT_EQ(r["unplugged"], "1");
    EXPECT_EQ(r["handshake_reads"], "0");
    link.Close();

    CUSBUpdate again;
    EXPECT_EQ(again.Connect(), CUSBUpdate::kNoDevice) << "an unplugged device is gone";
}

TEST_F(Handshake, NoDeviceGivesZeroWithoutABox)
{
    // No emulated handheld runs: the class has no present interface.
    CUSBUpdate link;
    EXPECT_EQ(link.Connect(), CUSBUpdate::kNoDevice);
    EXPECT_EQ(link.m_hDevice, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(boxes.Texts().empty());
    EXPECT_EQ(link.Close(), 0);
}

TEST_F(Handshake, DeviceGoneAfterItsTimeLimitGivesZero)
{
    ASSERT_TRUE(Plug(L"--time-limit 1"));
    EXPECT_TRUE(device.WaitForExit(10000));
    CUSBUpdate link;
    EXPECT_EQ(link.Connect(), CUSBUpdate::kNoDevice);
    EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(Handshake, EachCheckOpensTheDeviceAnew)
{
    // A wrong reply sends the user back to check again: the first link is closed, and the
    // next check opens the device anew. While the first is open, even this program's second
    // link finds the handheld in use.
    ASSERT_TRUE(Plug());
    CUSBUpdate first, second;
    EXPECT_EQ(first.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    EXPECT_EQ(second.Connect(), CUSBUpdate::kBusy);
    first.Close();
    EXPECT_EQ(second.Connect(), CUSBUpdate::kReady) << DescribeLookup();
    EmulatedHandheld::Report r;
    EXPECT_TRUE(device.WaitForReport("handshake_reads", "4", 5000, &r));
    EXPECT_EQ(r["connections"], "2");
    second.Close();
    WaitUntilClosed(2);
}

// One writer per handheld: a link that holds the handheld keeps every other link from
// opening it until Close, whichever thread the holder runs on (here one of its own, as
// another program's would be).
struct Holder {
    CUSBUpdate link;
    int answer = -1;
    OwnedHandle connected{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OwnedHandle release{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    static DWORD WINAPI Run(LPVOID self)
    {
        auto* h = static_cast<Holder*>(self);
        h->answer = h->link.Connect();
        ::SetEvent(h->connected.get());
        ::WaitForSingleObject(h->release.get(), 20000);
        h->link.Close();
        return 0;
    }
};

TEST_F(Handshake, HandheldHeldByAnotherLinkIsBusyAndNotOpened)
{
    ASSERT_TRUE(Plug());
    Holder holder;
    OwnedHandle thread(::CreateThread(nullptr, 0, &Holder::Run, &holder, 0, nullptr));
    ASSERT_EQ(::WaitForSingleObject(holder.connected.get(), 10000), WAIT_OBJECT_0);
    ASSERT_EQ(holder.answer, CUSBUpdate::kReady) << DescribeLookup();

    CUSBUpdate second;
    EXPECT_EQ(second.Connect(), CUSBUpdate::kBusy);
    EXPECT_EQ(second.m_hDevice, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(boxes.Texts().empty()) << "the engine shows nothing; the caller says it";
    EXPECT_EQ(second.ConnectTo(holder.link.m_szDevicePath), CUSBUpdate::kBusy) << "by its path too";
    second.Close();
    EXPECT_EQ(device.ReadReport()["connections"], "1");

    ::SetEvent(holder.release.get());
    ASSERT_EQ(::WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(second.Connect(), CUSBUpdate::kReady) << "free again after Close";
    second.Close();
    WaitUntilClosed(2);
}

TEST_F(Handshake, ListsThePresentInterfacesAndConnectsByPath)
{
    EXPECT_TRUE(CUSBUpdate::LookUp().paths.empty());
    ASSERT_TRUE(Plug());
    const std::vector<std::string> present = CUSBUpdate::LookUp().paths;
    ASSERT_EQ(present.size(), 1u);
    EXPECT_STRCASEEQ(present[0].c_str(), "\\\\?\\root#upgrade#0000#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}");
    CUSBUpdate link;
    EXPECT_EQ(link.ConnectTo(present[0]), CUSBUpdate::kReady);
    EXPECT_STREQ(link.m_szDevicePath, present[0].c_str());
    link.Close();
    EXPECT_EQ(link.ConnectTo("\\\\?\\root#upgrade#0001#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}"), CUSBUpdate::kNoDevice);
    WaitUntilClosed();
}

// A reporter of its own takes the engine's errors instead of the box, with the Windows error.
class RecordingReporter : public LinkReporter {
public:
    void ReportError(const CString& text, DWORD error) override { reports.emplace_back(text.str(), error); }
    std::vector<std::pair<std::wstring, DWORD>> reports;
};

TEST_F(Handshake, ReporterTakesTheErrorsInsteadOfTheBox)
{
    ASSERT_TRUE(Plug(L"--mode wrong-byte"));
    RecordingReporter reporter;
    CUSBUpdate link;
    link.SetReporter(&reporter);
    EXPECT_EQ(link.Connect(), CUSBUpdate::kWrongReply);
    link.OpenImage(dir.File(L"missing.bin"));
    EXPECT_EQ(link.m_nFailure, CUSBUpdate::kFailImageOpen);
    link.Close();
    EXPECT_TRUE(boxes.Texts().empty());
    ASSERT_EQ(reporter.reports.size(), 2u);
    EXPECT_EQ(reporter.reports[0].first, kPressUsb);
    EXPECT_EQ(reporter.reports[1].first, L"Can not find  the image file.");
    EXPECT_EQ(reporter.reports[1].second, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
