// No DLL planted beside the wizard is loaded. A user runs the program from a Downloads folder
// where anyone may have left a comctl32.dll or a setupapi.dll; Windows searches the program's
// own folder first (comctl32, comdlg32, setupapi and the shell32 of the upgrade log are the
// ones the program loads itself). Wine prefers its own DLLs unless told otherwise, so the test tells it
// (through its per-program settings in the registry) to prefer native ones, as Windows would,
// and proves with a careless program that the planted DLLs are found from that folder before
// it runs the wizard there.
#include <cstdio>
#include <string>
#include <vector>
#include "tests/road/Road.h"

namespace {

const wchar_t* const kPlanted[] = {L"comctl32.dll", L"comdlg32.dll", L"setupapi.dll", L"shell32.dll"};
const wchar_t kProbe[] = L"planted_probe.exe";
// The name a browser gives a second download of the program; Wine's settings for it touch no
// other test.
const wchar_t kWizard[] = L"RomUpgradeWizard (1).exe";
const wchar_t kNativeFirst[] = L"native,builtin";

std::wstring OwnFolder()
{
    wchar_t path[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

class PlantedDlls : public RoadScenario {
protected:
    void SetUp() override
    {
        m_folder = TempPath(L"planted-dlls");
        ::CreateDirectoryW(m_folder.c_str(), nullptr);
        const std::wstring built = OwnFolder() + L"\\planted\\";
        for (const wchar_t* dll : kPlanted) {
            ::DeleteFileW(Mark(dll).c_str());
            ASSERT_TRUE(::CopyFileW((built + dll).c_str(), (m_folder + L"\\" + dll).c_str(), FALSE)) << Utf8(dll);
        }
        ASSERT_TRUE(::CopyFileW((built + kProbe).c_str(), Probe().c_str(), FALSE));
        ASSERT_TRUE(::CopyFileW(robot::ToWindowsPath(WizardPath()).c_str(), Wizard().c_str(), FALSE));

        for (const wchar_t* program : {kProbe, kWizard}) {
            HKEY key = nullptr;
            ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, Overrides(program).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                        nullptr, &key, nullptr),
                      ERROR_SUCCESS);
            for (const wchar_t* dll : kPlanted) {
                const std::wstring name(dll, wcslen(dll) - 4);
                ::RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(kNativeFirst),
                                 sizeof kNativeFirst);
            }
            ::RegCloseKey(key);
        }
    }

    void TearDown() override
    {
        wizard.Kill();
        for (const wchar_t* program : {kProbe, kWizard}) {
            ::RegDeleteKeyW(HKEY_CURRENT_USER, Overrides(program).c_str());
            ::RegDeleteKeyW(HKEY_CURRENT_USER, (L"Software\\Wine\\AppDefaults\\" + std::wstring(program)).c_str());
        }
        for (const wchar_t* dll : kPlanted) {
            ::DeleteFileW((m_folder + L"\\" + dll).c_str());
            ::DeleteFileW(Mark(dll).c_str());
        }
        ::DeleteFileW(Probe().c_str());
        ::DeleteFileW(Wizard().c_str());
        ::RemoveDirectoryW(m_folder.c_str());
    }

    static std::wstring Overrides(const wchar_t* program)
    {
        return std::wstring(L"Software\\Wine\\AppDefaults\\") + program + L"\\DllOverrides";
    }
    std::wstring Mark(const wchar_t* dll) const { return m_folder + L"\\" + dll + L".loaded"; }
    std::wstring Probe() const { return m_folder + L"\\" + kProbe; }
    std::wstring Wizard() const { return m_folder + L"\\" + kWizard; }

    // The planted DLLs that some program has loaded, one line each.
    std::string Marks() const
    {
        std::string marked;
        for (const wchar_t* dll : kPlanted)
            if (::GetFileAttributesW(Mark(dll).c_str()) != INVALID_FILE_ATTRIBUTES) marked += Utf8(dll) + "\n";
        return marked;
    }

    void RunProbe()
    {
        STARTUPINFOW si{sizeof si};
        PROCESS_INFORMATION pi{};
        std::wstring command = L"\"" + Probe() + L"\"";
        ASSERT_TRUE(::CreateProcessW(Probe().c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                     m_folder.c_str(), &si, &pi));
        ::WaitForSingleObject(pi.hProcess, 20000);
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }

private:
    std::wstring m_folder;
};

TEST_F(PlantedDlls, AreNotLoadedByTheWizardThroughAWholeUpgrade)
{
    RunProbe();
    ASSERT_EQ(Marks(), "comctl32.dll\ncomdlg32.dll\nsetupapi.dll\nshell32.dll\n")
        << "the planted DLLs are not found from their folder";
    for (const wchar_t* dll : kPlanted) ::DeleteFileW(Mark(dll).c_str());

    ImageFile image(2048);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToDeviceCheck(Wizard());  // the device lookup, with setupapi
    const bool ready = wizard.WaitForPage(robot::Page::Image, 15000);
    EXPECT_TRUE(ready) << "see " << Visible();
    if (ready) {
        // The common dialogs, with the common controls; the transfer, then the upgrade log, with the shell.
        EXPECT_TRUE(wizard.Press(IDC_IMAGE_FILE));
        EXPECT_TRUE(wizard.ChooseFile(image.Path()));
        AnswerQuestion();
        ExpectFinishPage(nullptr, nullptr);
        EXPECT_TRUE(wizard.Press(IDOK));  // Finish
        ExpectRunEnds();
        EXPECT_EQ(device.Stop()["match"], "1");
    }
    EXPECT_EQ(Marks(), "") << "planted DLLs the wizard loaded";
}

}  // namespace
