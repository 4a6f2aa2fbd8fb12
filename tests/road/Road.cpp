#include "Road.h"
#include <commctrl.h>
#include <algorithm>
#include <cstdio>
#include <vector>

using robot::Page;

std::wstring TempPath(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    ::GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + name;
}

ImageFile::ImageFile(uint64_t size, const wchar_t* name) : m_path(TempPath(name)), m_size(size)
{
    m_sum = WriteSampleImage(m_path, size, static_cast<uint32_t>(size));
}

ImageFile::~ImageFile() { ::DeleteFileW(m_path.c_str()); }

void RoadScenario::WalkToDeviceCheck(const std::wstring& program)
{
    StartWizard(program);
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::Reset));
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::Select));
    ASSERT_TRUE(wizard.Press(IDOK));
}

void RoadScenario::WalkToImagePage(const std::wstring& program)
{
    WalkToDeviceCheck(program);
    ASSERT_TRUE(wizard.WaitForPage(Page::Image, 15000)) << "see " << Visible();
}

void RoadScenario::ChooseImage(const std::wstring& path)
{
    ASSERT_TRUE(wizard.Press(IDC_IMAGE_FILE));
    ASSERT_TRUE(wizard.ChooseFile(path)) << "no file dialog";
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
