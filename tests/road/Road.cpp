#include "tests/road/Road.h"
#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>
#include <wincrypt.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

using robot::Page;

UpgradeLog::UpgradeLog() : m_mark(ReadWholeFile(Path()).size()) {}

std::wstring UpgradeLog::Folder()
{
    wchar_t local[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local);
    return std::wstring(local) + L"\\ROM Upgrade Wizard";
}

std::vector<std::string> UpgradeLog::NewRecords() const
{
    const std::string all = ReadWholeFile(Path());
    std::vector<std::string> records;
    for (size_t at = std::min(m_mark, all.size()); at < all.size();) {
        size_t end = all.find("\r\n", at);
        if (end == std::string::npos) end = all.size();
        records.push_back(all.substr(at, end - at));
        at = end + 2;
    }
    return records;
}

void UpgradeLog::ReadOnlyNewRecord(Fields* fields) const
{
    const std::vector<std::string> records = NewRecords();
    ASSERT_EQ(records.size(), 1u);
    *fields = Parse(records[0]);
}

UpgradeLog::Fields UpgradeLog::Parse(const std::string& record)
{
    Fields fields;
    size_t at = record.find(' ');
    fields["time"] = record.substr(0, at);
    while (at != std::string::npos && at < record.size()) {
        ++at;
        const size_t equals = record.find('=', at);
        if (equals == std::string::npos) break;
        const std::string key = record.substr(at, equals - at);
        size_t end;
        if (record.compare(equals + 1, 1, "\"") == 0) {
            // Quoted: \" and \\ stand for themselves, \xHH for a control character.
            std::string value;
            for (end = equals + 2; end < record.size() && record[end] != '"'; ++end) {
                if (record[end] == '\\' && end + 1 < record.size()) {
                    if (record[end + 1] == 'x' && end + 3 < record.size()) {
                        value += static_cast<char>(std::stoi(record.substr(end + 2, 2), nullptr, 16));
                        end += 3;
                        continue;
                    }
                    ++end;
                }
                value += record[end];
            }
            fields[key] = value;
            if (end < record.size()) ++end;
        } else {
            end = record.find(' ', equals);
            fields[key] = record.substr(equals + 1, end == std::string::npos ? end : end - equals - 1);
        }
        at = end;
    }
    return fields;
}

ImageFile::ImageFile(uint64_t size, const wchar_t* name) : m_path(TempPath(name))
{
    m_sum = WriteSampleImage(m_path, size, static_cast<uint32_t>(size));
}

ImageFile::~ImageFile() { ::DeleteFileW(m_path.c_str()); }

void RoadScenario::WalkToDeviceCheck(const std::wstring& program, const std::wstring& arguments)
{
    StartWizard(program, arguments);
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::Reset));
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::Select));
    ASSERT_TRUE(wizard.Press(IDOK));
}

void RoadScenario::WalkToImagePage(const std::wstring& program, const std::wstring& arguments)
{
    WalkToDeviceCheck(program, arguments);
    ASSERT_TRUE(wizard.WaitForPage(Page::Image, 15000)) << "see " << Visible();
}

void RoadScenario::ChooseImage(const std::wstring& path, bool confirm)
{
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.ChooseFile(path)) << "no file dialog";
    if (confirm) AnswerQuestion();
}

void RoadScenario::AnswerQuestion(std::wstring* text, int button)
{
    std::wstring shown;
    ASSERT_TRUE(wizard.WaitForMessageBox(&shown, 20000, true)) << "no question; see " << Visible();
    if (text) *text = shown;
    ASSERT_TRUE(wizard.AnswerMessageBox(10000, true, button));
}

bool SwapTwoBytesInPlace(const std::wstring& path, uint64_t at)
{
    const std::string bytes = ReadWholeFile(path);
    if (at + 2 > bytes.size()) return false;
    char octal[16];
    std::snprintf(octal, sizeof octal, "\\%03o\\%03o", static_cast<unsigned char>(bytes[at + 1]),
                  static_cast<unsigned char>(bytes[at]));
    return RunUnix({"/bin/sh", "-c",
                    std::string("printf '") + octal + "' | dd of='" + UnixPath(path) + "' bs=1 seek=" +
                        std::to_string(at) + " conv=notrunc 2>/dev/null"});
}

void RoadScenario::ExpectFinishPage(std::wstring* lastStatus, int* barPos)
{
    ASSERT_TRUE(wizard.WaitForPage(Page::End, 60000)) << "see " << Visible();
    HWND progressPage = wizard.FindPage(Page::Progress);
    ASSERT_NE(progressPage, nullptr) << "the progress page ends only after the finish page";
    EXPECT_FALSE(::IsWindowVisible(progressPage));
    HWND bar = ::GetDlgItem(progressPage, IDC_PROGRESS);
    if (lastStatus) *lastStatus = robot::Wizard::TextOf(bar);
    if (barPos) {
        DWORD_PTR pos = 0;
        ::SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &pos);
        *barPos = static_cast<int>(pos);
    }
}

void RoadScenario::ExpectErrorBox(const std::wstring& text)
{
    std::wstring shown;
    ASSERT_TRUE(wizard.WaitForMessageBox(&shown, 20000)) << "no error box; see " << Visible();
    EXPECT_EQ(shown, text);
    ASSERT_TRUE(wizard.AnswerMessageBox());
}

void RoadScenario::ExpectRefusedAtBlock(EmulatedHandheld::Report& report, int block)
{
    EXPECT_EQ(report["refused"], "block:" + std::to_string(block));
    EXPECT_EQ(report["blocks"], std::to_string(block));
    EXPECT_EQ(report["bytes_after_refusal"], "0");
}

robot::ConsoleResult RoadScenario::Flash(const std::wstring& arguments, DWORD timeoutMs)
{
    robot::ConsoleResult r = robot::RunConsole(FlasherPath(), arguments, timeoutMs);
    EXPECT_TRUE(r.ended) << "romflash " << Utf8(arguments) << " did not end; its output: " << r.err;
    return r;
}
