// The installer as a user or an administrator meets it: silent setup into Program Files or a
// folder of the user's own, a whole upgrade with the installed program against the emulated
// handheld, and the uninstall command Add/Remove Programs runs, after which only the user's
// own files are left; an upgrade from an earlier version, setup and uninstall while the
// installed wizard runs, and a folder holding a file of the user's under one of our names.
//
//   install_tests --setup=PATH --arch=x86|x64 --version=0.1.0 --programs=A.exe[,B.exe...]
//                 --earlier-setup=PATH --earlier-file=NAME
#include <objbase.h>
#include <shellapi.h>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <map>
#include "tests/install/Installation.h"
#include "tests/road/Road.h"

namespace {

Edition g_edition;
std::wstring g_setup;
std::wstring g_earlierSetup;  // an earlier version's installer that shipped one more file:
std::wstring g_earlierFile;   // this one

void WriteText(const std::wstring& path, const std::string& text)
{
    std::ofstream(path.c_str(), std::ios::binary) << text;
}

ULONGLONG FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// What a folder holds: each file's name, size and last write time.
std::map<std::wstring, std::pair<ULONGLONG, ULONGLONG>> FolderState(const std::wstring& folder)
{
    std::map<std::wstring, std::pair<ULONGLONG, ULONGLONG>> state;
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return state;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        state[found.cFileName] = {(static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow,
                                  (static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                                      found.ftLastWriteTime.dwLowDateTime};
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
    return state;
}

// A file of the user's own, written now and deleted at the end of the test, whatever happened.
class UsersFile {
public:
    explicit UsersFile(std::wstring path) : m_path(std::move(path)) { WriteText(m_path, kText); }
    ~UsersFile() { ::DeleteFileW(m_path.c_str()); }
    UsersFile(const UsersFile&) = delete;
    UsersFile& operator=(const UsersFile&) = delete;

    void ExpectIntact() const { EXPECT_EQ(ReadWholeFile(m_path), kText) << "the user's file did not survive"; }

    static constexpr const char* kText = "mine, not the installer's\r\n";

private:
    std::wstring m_path;
};

// A folder of the user's own, made now (empty: whatever a failed earlier run left there goes)
// and removed at the end of the test once it is empty.
class UsersFolder {
public:
    explicit UsersFolder(std::wstring path) : m_path(std::move(path))
    {
        std::wstring from = m_path + L'\0';  // a list of one, ending in two nulls
        SHFILEOPSTRUCTW op{};
        op.wFunc = FO_DELETE;
        op.pFrom = from.c_str();
        op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
        ::SHFileOperationW(&op);
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~UsersFolder() { ::RemoveDirectoryW(m_path.c_str()); }
    UsersFolder(const UsersFolder&) = delete;
    UsersFolder& operator=(const UsersFolder&) = delete;

    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

class Installer : public RoadScenario {
protected:
    void SetUp() override
    {
        RemoveAnyInstallation();
        ASSERT_FALSE(ReadUninstallEntry(g_edition.UninstallKey(), g_edition.View()).present)
            << "an installation left from before could not be removed";
    }

    // Best effort, so that a failed test leaves nothing to the next one.
    void TearDown() override
    {
        RemoveAnyInstallation();
        ::RemoveDirectoryW(g_edition.DefaultFolder().c_str());
    }

    // In either registry view: an installer that wrote its entry into the wrong one is
    // cleaned up after as well.
    static void RemoveAnyInstallation()
    {
        for (REGSAM view : {g_edition.View(), g_edition.OtherView()}) {
            UninstallEntry entry = ReadUninstallEntry(g_edition.UninstallKey(), view);
            if (entry.present && !entry.text[L"QuietUninstallString"].empty())
                RunToEnd(entry.text[L"QuietUninstallString"], 60000);
        }
    }

    // Runs an installer silently, into `folder` when one is given, waits for its end and
    // gives its exit code.
    static DWORD RunSetup(const std::wstring& setup, const std::wstring& folder = L"")
    {
        std::wstring command = L"\"" + setup + L"\" /S";
        if (!folder.empty()) command += L" /D=" + folder;  // last, and never quoted
        RunResult run = RunToEnd(command, 120000);
        EXPECT_TRUE(run.ended) << Utf8(run.error);
        return run.ended ? run.exitCode : 0xFFFFFFFF;
    }

    void Install(const std::wstring& folder = L"") { ASSERT_EQ(RunSetup(g_setup, folder), 0u) << "setup failed"; }

    // Runs the quiet uninstall command of the Add/Remove Programs entry, as the system would,
    // and waits until the uninstaller and the copy of itself it hands over to have ended.
    void Uninstall()
    {
        UninstallEntry entry = ReadUninstallEntry(g_edition.UninstallKey(), g_edition.View());
        ASSERT_TRUE(entry.present);
        RunResult run = RunToEnd(entry.text[L"QuietUninstallString"], 60000);
        ASSERT_TRUE(run.ended) << Utf8(run.error);
        EXPECT_EQ(run.exitCode, 0u) << "uninstall failed";
        // It cannot delete its own file while it runs: it runs a copy of itself and returns.
        EXPECT_GE(run.processes, 2u) << "the uninstaller did not hand over to a copy of itself";
    }

    void ExpectInstalledIn(const std::wstring& folder)
    {
        ULONGLONG bytes = 0;
        for (const std::wstring& file : g_edition.InstalledFiles(folder)) {
            EXPECT_TRUE(Exists(file)) << Utf8(file) << " is missing";
            bytes += FileSize(file);
        }
        const std::wstring wizard = folder + L"\\" + g_edition.programs.front();
        const std::wstring uninstaller = L"\"" + g_edition.Uninstaller(folder) + L"\"";

        UninstallEntry entry = ReadUninstallEntry(g_edition.UninstallKey(), g_edition.View());
        ASSERT_TRUE(entry.present) << "no entry in Add/Remove Programs"
                                   << (ReadUninstallEntry(g_edition.UninstallKey(), g_edition.OtherView()).present
                                           ? ": it is in the other architecture's registry view"
                                           : "");
        EXPECT_EQ(entry.text[L"DisplayName"], g_edition.DisplayName());
        EXPECT_EQ(entry.text[L"DisplayVersion"], g_edition.version);
        EXPECT_FALSE(entry.text[L"Publisher"].empty());
        EXPECT_EQ(entry.text[L"UninstallString"], uninstaller);
        EXPECT_EQ(entry.text[L"QuietUninstallString"], uninstaller + L" /S");
        EXPECT_EQ(entry.text[L"InstallLocation"], folder);
        EXPECT_EQ(entry.text[L"DisplayIcon"], wizard);
        // In kilobytes: about what the files take (the uninstaller is not counted).
        EXPECT_GE(entry.number[L"EstimatedSize"] * 1024ull, bytes - FileSize(g_edition.Uninstaller(folder)));
        EXPECT_LE(entry.number[L"EstimatedSize"] * 1024ull, bytes * 2);
        EXPECT_EQ(entry.number[L"NoModify"], 1u);
        EXPECT_EQ(entry.number[L"NoRepair"], 1u);
        if (Is64BitWindows()) {
            EXPECT_FALSE(ReadUninstallEntry(g_edition.UninstallKey(), g_edition.OtherView()).present)
                << "the entry is in the other architecture's registry view";
        }

        EXPECT_EQ(ShortcutTarget(g_edition.Shortcut()), wizard) << "the Start menu shortcut";
    }

    void ExpectNothingLeftIn(const std::wstring& folder)
    {
        for (const std::wstring& file : g_edition.InstalledFiles(folder))
            EXPECT_FALSE(Exists(file)) << Utf8(file) << " is left";
        for (const std::wstring& below : g_edition.ShippedFolders(folder))
            EXPECT_FALSE(Exists(below)) << Utf8(below) << " is left";
        EXPECT_FALSE(Exists(g_edition.Shortcut())) << "the Start menu shortcut is left";
        EXPECT_FALSE(ReadUninstallEntry(g_edition.UninstallKey(), g_edition.View()).present)
            << "the Add/Remove Programs entry is left";
        EXPECT_FALSE(ReadUninstallEntry(g_edition.UninstallKey(), g_edition.OtherView()).present);
    }
};

TEST_F(Installer, SetupCarriesTheProductNameAndVersion)
{
    EXPECT_EQ(VersionString(g_setup, L"ProductName"), L"ROM Upgrade Wizard");
    EXPECT_EQ(VersionString(g_setup, L"ProductVersion"), g_edition.version);
    EXPECT_EQ(FixedProductVersion(g_setup), g_edition.version + L".0");
}

TEST_F(Installer, SilentInstallThenAnUpgradeWithTheInstalledWizardThenUninstallKeepsOnlyTheUsersFile)
{
    const std::wstring folder = g_edition.DefaultFolder();
    ASSERT_FALSE(Exists(folder)) << Utf8(folder) << " is there before the installation";
    ASSERT_NO_FATAL_FAILURE(Install());
    ASSERT_NO_FATAL_FAILURE(ExpectInstalledIn(folder));

    // The programs the robot starts from here on: the installed ones.
    SetProgramPaths(folder + L"\\" + g_edition.programs.front(), folder + L"\\romflash.exe");
    ImageFile image(100000);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    ASSERT_NO_FATAL_FAILURE(WalkToImagePage());
    ASSERT_NO_FATAL_FAILURE(ChooseImage(image.Path()));
    ASSERT_NO_FATAL_FAILURE(ExpectFinishPage(nullptr, nullptr));
    ASSERT_TRUE(wizard.Press(IDOK));  // Finish
    ASSERT_NO_FATAL_FAILURE(ExpectRunEnds());
    EmulatedHandheld::Report r = device.Stop();
    EXPECT_EQ(r["header_count"], "100000");
    EXPECT_EQ(r["header_sum"], std::to_string(image.Sum()));
    EXPECT_EQ(r["blocks"], std::to_string(100000 / 512 + 1));
    EXPECT_EQ(r["match"], "1");

    // A file of the user's own, put into the program's folder after the installation.
    UsersFile mine(folder + L"\\my notes.txt");
    ASSERT_NO_FATAL_FAILURE(Uninstall());
    ExpectNothingLeftIn(folder);
    mine.ExpectIntact();
}

TEST_F(Installer, UninstallOfAnUntouchedInstallationRemovesItsFolderToo)
{
    const std::wstring folder = g_edition.DefaultFolder();
    ASSERT_NO_FATAL_FAILURE(Install());
    ASSERT_NO_FATAL_FAILURE(ExpectInstalledIn(folder));
    ASSERT_NO_FATAL_FAILURE(Uninstall());
    ExpectNothingLeftIn(folder);
    EXPECT_FALSE(Exists(folder)) << "the empty program folder is left";
}

TEST_F(Installer, IntoAFolderOfTheUsersOwnAndOutAgainLeavingItsOtherFiles)
{
    UsersFolder users(TempPath(L"My ROM tools"));
    UsersFolder older(users.Path() + L"\\old images");
    UsersFile notes(users.Path() + L"\\my notes.txt");
    UsersFile image(older.Path() + L"\\image-2004.nb0");
    ASSERT_NO_FATAL_FAILURE(Install(users.Path()));
    ASSERT_NO_FATAL_FAILURE(ExpectInstalledIn(users.Path()));
    EXPECT_FALSE(Exists(g_edition.DefaultFolder())) << "a folder in Program Files was made as well";
    ASSERT_NO_FATAL_FAILURE(Uninstall());
    ExpectNothingLeftIn(users.Path());
    notes.ExpectIntact();
    image.ExpectIntact();
}

// While the installed wizard runs, neither a new install nor the uninstaller changes anything.
TEST_F(Installer, NothingChangesWhileTheInstalledWizardRuns)
{
    const std::wstring folder = g_edition.DefaultFolder();
    ASSERT_NO_FATAL_FAILURE(Install());
    ASSERT_NO_FATAL_FAILURE(StartWizard(folder + L"\\" + g_edition.programs.front()));
    const auto files = FolderState(folder);
    const UninstallEntry entry = ReadUninstallEntry(g_edition.UninstallKey(), g_edition.View());

    EXPECT_EQ(RunSetup(g_setup), 32u) << "setup over the running wizard";
    // Run in place (_?=) for the uninstaller's own exit code; the quiet uninstall command of
    // the entry hands over to a copy of itself, which must change nothing either.
    const std::wstring uninstaller = g_edition.Uninstaller(folder);
    RunResult run = RunToEnd(L"\"" + uninstaller + L"\" /S _?=" + folder, 60000);
    EXPECT_TRUE(run.ended && run.exitCode == 32u) << "uninstall over the running wizard: " << run.exitCode;
    run = RunToEnd(L"\"" + uninstaller + L"\" /S", 60000);
    EXPECT_TRUE(run.ended);

    EXPECT_EQ(FolderState(folder), files) << "files changed";
    const UninstallEntry after = ReadUninstallEntry(g_edition.UninstallKey(), g_edition.View());
    EXPECT_TRUE(after.present);
    EXPECT_EQ(after.text, entry.text);
    EXPECT_TRUE(wizard.VisiblePage() == robot::Page::Welcome) << "the wizard was disturbed: " << Visible();
    wizard.Kill();
    ASSERT_NO_FATAL_FAILURE(ExpectInstalledIn(folder));
}

// An earlier version installed into a folder of the user's: the new one goes there too, takes
// the entry over and removes the file only the earlier version shipped.
TEST_F(Installer, UpgradeGoesWhereTheEarlierVersionIsAndRemovesWhatItNoLongerShips)
{
    UsersFolder users(TempPath(L"Handheld tools"));
    UsersFile notes(users.Path() + L"\\my notes.txt");
    ASSERT_EQ(RunSetup(g_earlierSetup, users.Path()), 0u) << "the earlier version's setup failed";
    ASSERT_TRUE(Exists(users.Path() + L"\\" + g_earlierFile));
    EXPECT_EQ(ReadUninstallEntry(g_edition.UninstallKey(), g_edition.View()).text[L"DisplayVersion"], L"0.0.9");

    ASSERT_NO_FATAL_FAILURE(Install());  // no folder given
    ASSERT_NO_FATAL_FAILURE(ExpectInstalledIn(users.Path()));
    EXPECT_FALSE(Exists(users.Path() + L"\\" + g_earlierFile)) << "the earlier version's own file is left";
    EXPECT_FALSE(Exists(g_edition.DefaultFolder())) << "a second copy went into Program Files";
    notes.ExpectIntact();

    ASSERT_NO_FATAL_FAILURE(Uninstall());
    ExpectNothingLeftIn(users.Path());
    notes.ExpectIntact();
}

// A folder that holds a README.txt of the user's, and no installation of ours: refused.
TEST_F(Installer, AFolderWithAFileOfTheUsersUnderOneOfOurNamesIsRefused)
{
    UsersFolder users(TempPath(L"Downloads of mine"));
    UsersFile readme(users.Path() + L"\\README.txt");
    EXPECT_EQ(RunSetup(g_setup, users.Path()), 80u);
    readme.ExpectIntact();
    const auto files = FolderState(users.Path());
    EXPECT_EQ(files.size(), 1u) << "setup wrote into the folder";
    EXPECT_FALSE(ReadUninstallEntry(g_edition.UninstallKey(), g_edition.View()).present);
}

// The setup's pages speak the wizard's six languages, chosen as the wizard chooses (/lang:xx
// here, Windows' display language otherwise), and so does a refusal of its own; nothing is
// installed when the user cancels.
TEST_F(Installer, SetupSpeaksTheLanguageChosenAsTheWizardDoes)
{
    const struct {
        const wchar_t* code;
        const wchar_t* install;  // the button that installs, on the folder page
        const wchar_t* folderRefused;  // how its refusal of a folder holding one of our names begins
    } languages[] = {
        {L"en", L"&Install", L"The folder "},
        {L"de", L"&Installieren", L"Der Ordner "},
        {L"fr", L"&Installer", L"Le dossier "},
        {L"es", L"&Instalar", L"La carpeta "},
        {L"zh", L"安装(&I)", L"文件夹 "},
        {L"ja", L"インストール(&I)", L"フォルダー "},
    };
    UsersFolder users(TempPath(L"Downloads of mine"));
    UsersFile readme(users.Path() + L"\\README.txt");
    for (const auto& language : languages) {
        SCOPED_TRACE(Utf8(language.code));
        STARTUPINFOW si{sizeof si};
        PROCESS_INFORMATION pi{};
        std::wstring command = L"\"" + g_setup + L"\" /lang:" + language.code + L" /D=" + users.Path();
        ASSERT_TRUE(::CreateProcessW(g_setup.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        // Its window, once it shows the folder page with its Install button.
        HWND setup = nullptr;
        ASSERT_TRUE(robot::WaitUntil(
            [&] {
                setup = VisibleWindowOf(pi.dwProcessId, IDOK);
                return setup && robot::Wizard::TextOf(::GetDlgItem(setup, IDOK)) == language.install;
            },
            20000))
            << "its Install button says " << Utf8(setup ? robot::Wizard::TextOf(::GetDlgItem(setup, IDOK)) : L"nothing");
        // Install into the folder of the user's: its own refusal, in the same language.
        ::PostMessageW(setup, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        HWND box = nullptr;
        ASSERT_TRUE(robot::WaitUntil(
            [&] {
                box = nullptr;
                for (HWND wnd = ::GetWindow(::GetDesktopWindow(), GW_CHILD); wnd; wnd = ::GetWindow(wnd, GW_HWNDNEXT))
                    if (::IsWindowVisible(wnd) && ::GetWindow(wnd, GW_OWNER) == setup && ::GetDlgItem(wnd, 0xFFFF))
                        box = wnd;
                return box != nullptr;
            },
            20000));
        EXPECT_EQ(robot::Wizard::TextOf(::GetDlgItem(box, 0xFFFF)).rfind(language.folderRefused, 0), 0u)
            << Utf8(robot::Wizard::TextOf(::GetDlgItem(box, 0xFFFF)));
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        // Then Cancel, and yes, it is meant: nothing installed.
        ASSERT_TRUE(robot::WaitUntil([&] { return !::IsWindow(box) || !::IsWindowVisible(box); }, 10000));
        ::PostMessageW(setup, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        robot::WaitUntil(
            [&] {
                for (HWND wnd = ::GetWindow(::GetDesktopWindow(), GW_CHILD); wnd; wnd = ::GetWindow(wnd, GW_HWNDNEXT))
                    if (::IsWindowVisible(wnd) && ::GetWindow(wnd, GW_OWNER) == setup && ::GetDlgItem(wnd, IDYES))
                        ::PostMessageW(wnd, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
                return ::WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
            },
            20000);
        EXPECT_EQ(::WaitForSingleObject(pi.hProcess, 5000), WAIT_OBJECT_0) << "setup did not end";
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }
    readme.ExpectIntact();
    EXPECT_FALSE(ReadUninstallEntry(g_edition.UninstallKey(), g_edition.View()).present);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        auto value = [&](const wchar_t* option) {
            const wchar_t* v = OptionValue(argv[i], option);
            return std::wstring(v ? v : L"");
        };
        if (!value(L"--setup=").empty()) g_setup = robot::ToWindowsPath(value(L"--setup="));
        if (!value(L"--arch=").empty()) g_edition.arch = value(L"--arch=");
        if (!value(L"--version=").empty()) g_edition.version = value(L"--version=");
        if (!value(L"--earlier-setup=").empty()) g_earlierSetup = robot::ToWindowsPath(value(L"--earlier-setup="));
        if (!value(L"--earlier-file=").empty()) g_earlierFile = value(L"--earlier-file=");
        std::wstring programs = value(L"--programs=");
        for (size_t start = 0; !programs.empty() && start <= programs.size();) {
            size_t comma = programs.find(L',', start);
            if (comma == std::wstring::npos) comma = programs.size();
            if (comma > start) g_edition.programs.push_back(programs.substr(start, comma - start));
            start = comma + 1;
        }
    }
    if (g_setup.empty() || g_earlierSetup.empty() || g_earlierFile.empty() || (g_edition.arch != L"x86" && g_edition.arch != L"x64") || g_edition.version.empty() ||
        g_edition.programs.empty()) {
        std::fprintf(
            stderr, "usage: %ls --setup=PATH --arch=x86|x64 --version=X.Y.Z --programs=A.exe[,B.exe]\n"
            "          --earlier-setup=PATH --earlier-file=NAME [gtest options]\n",
            argv[0]);
        return 2;
    }
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int result = RUN_ALL_TESTS();
    ::CoUninitialize();
    return result;
}
