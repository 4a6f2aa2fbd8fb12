// The upgrade log's record format and its writers: quoted fields that no path can break out
// of, and threads and a second program appending while the log moves aside.
#include <windows.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/UpgradeLog.h"
#include "tests/support/TestSupport.h"

namespace {

SYSTEMTIME Noon()
{
    SYSTEMTIME t{};
    t.wYear = 2026;
    t.wMonth = 3;
    t.wDay = 1;
    t.wHour = 12;
    return t;
}

TEST(UpgradeLogRecord, QuotedFieldsEscapeQuotesBackslashesAndControlCharacters)
{
    CUSBUpdate link;
    std::strcpy(link.m_szDevicePath, "\\\\?\\usb#\"x\"");
    UpgradeAttempt attempt(L"romflash", link);
    attempt.imagePath = L"C:\\roms\\a\" result=success x=\"\r\n2026 program=forged.bin";
    const std::string record = FormatUpgradeRecord(Conclude(attempt), Noon(), 0);
    EXPECT_EQ(record.find_first_of("\r\n"), std::string::npos) << record;
    EXPECT_NE(record.find(" image=\"C:\\\\roms\\\\a\\\" result=success x=\\\"\\x0d\\x0a2026 program=forged.bin\" "),
              std::string::npos)
        << record;
    EXPECT_NE(record.find(" device=\"\\\\\\\\?\\\\usb#\\\"x\\\"\" "), std::string::npos) << record;
    EXPECT_NE(record.find(" result=failed "), std::string::npos) << record;
    EXPECT_NE(record.find(" sha256= "), std::string::npos) << "empty when not staged: " << record;
}

// Appends `count` records whose image names are `tag`-0, `tag`-1, ...
void AppendRecords(const std::wstring& tag, int count)
{
    CUSBUpdate link;
    for (int i = 0; i < count; ++i) {
        UpgradeAttempt attempt(L"engine_tests", link);
        attempt.imagePath = L"C:\\writers\\" + tag + L"-" + std::to_wstring(i) + L".bin";
        LogUpgrade(Conclude(attempt));
    }
}

TEST(UpgradeLogWriters, ThreadsAndASecondProgramAppendingAcrossTheMoveAsideLoseNothing)
{
    const std::wstring folder = UpgradeLogFolder();
    ASSERT_FALSE(folder.empty());
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring log = folder + L"\\upgrade.log";
    // Just under the limit: the move aside comes while everyone appends.
    const std::string line = "an older record, there to bring the log near its limit.........\r\n";
    std::string full;
    while (full.size() + line.size() <= (1u << 20) - 40000) full += line;
    {
        FILE* f = _wfopen(log.c_str(), L"wb");
        ASSERT_TRUE(f);
        std::fwrite(full.data(), 1, full.size(), f);
        std::fclose(f);
    }
    ::DeleteFileW((log + L".1").c_str());

    constexpr int kEach = 60;
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --append-log=program " + std::to_wstring(kEach);
    STARTUPINFOW si{sizeof si};
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back(AppendRecords, L"thread" + std::to_wstring(t), kEach);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(::WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);

    const std::string older = ReadWholeFile(log + L".1"), newer = ReadWholeFile(log);
    EXPECT_EQ(older.compare(0, full.size(), full), 0) << "the older records are not all in upgrade.log.1";
    const std::string both = older + newer;
    for (const std::string tag : {"program", "thread0", "thread1", "thread2"}) {
        for (int i = 0; i < kEach; ++i) {
            const std::string name = "\\\\" + tag + "-" + std::to_string(i) + ".bin\"";
            const size_t at = both.find(name);
            ASSERT_NE(at, std::string::npos) << tag << "-" << i << " is lost";
            EXPECT_EQ(both.find(name, at + 1), std::string::npos) << tag << "-" << i << " is there twice";
            // Whole: from its time to the end of its line, nothing else in between.
            const size_t start = both.rfind("\r\n", at) + 2, end = both.find("\r\n", at);
            const std::string record = both.substr(start, end - start);
            EXPECT_EQ(record.rfind("2", 0), 0u) << record;
            EXPECT_NE(record.find(" speed="), std::string::npos) << record;
            EXPECT_EQ(record.find("writers", record.find("writers") + 1), std::string::npos) << record;
        }
    }
}

}  // namespace

// The second program of the writers' test: this same program, started with
// --append-log=TAG COUNT.
int AppendLogMode(int argc, wchar_t** argv)
{
    if (argc < 3 || std::wstring(argv[1]).rfind(L"--append-log=", 0) != 0) return -1;
    AppendRecords(std::wstring(argv[1]).substr(13), _wtoi(argv[2]));
    return 0;
}
