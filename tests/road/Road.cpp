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
    FILE* f = _wfopen(m_path.c_str(), L"wb");
    if (!f) return;
    std::vector<unsigned char> chunk(1 << 16);
    uint32_t state = 0x12345678u ^ static_cast<uint32_t>(size);
    for (uint64_t done = 0; done < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - done));
        for (size_t i = 0; i < n; ++i) {
            state = state * 1664525u + 1013904223u;
            chunk[i] = static_cast<unsigned char>(state >> 24);
            m_sum += chunk[i];
        }
        std::fwrite(chunk.data(), 1, n, f);
        done += n;
    }
    std::fclose(f);
}

ImageFile::~ImageFile() { ::DeleteFileW(m_path.c_str()); }

void RoadScenario::WalkToDeviceCheck()
{
    StartWizard();
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::Reset));
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::Select));
    ASSERT_TRUE(wizard.Press(IDOK));
}

void RoadScenario::WalkToImagePage()
{
    WalkToDeviceCheck();
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
