// The MSI package as an administrator deploys it: msiexec /i ... /qn puts every file in place
// for all users, with its shortcut and its entry in Add/Remove Programs, and the installed
// romflash does a whole upgrade; msiexec /x takes away all of it. A newer version replaces an
// earlier one, with what only the earlier one shipped (its signers.txt, which the installed
// romflash read while it was there); the earlier one does not go over the newer. Beside the
// setup program's installation the package installs nothing, and beside the package's the setup
// program installs nothing.
//
//   msi_tests --msi=PATH --earlier-msi=PATH --earlier-file=NAME --arch=x86|x64 --version=0.1.0
//             --programs=A.exe[,B.exe...] --setup=PATH
#include <windows.h>
#include <msi.h>
#include <objbase.h>
#include <shlobj.h>
#include <cstdio>

#include "framework/Handles.h"
#include "tests/install/Installation.h"
#include "tests/road/Road.h"

namespace {

Edition g_edition;
std::wstring g_msi;
std::wstring g_earlierMsi;   // version 0.0.9, shipping one file more and a signers.txt
std::wstring g_earlierFile;  // that file
std::wstring g_setup;        // the setup program of this version and edition

constexpr DWORD kInstallFailure = 1603;  // ERROR_INSTALL_FAILURE: a launch condition refused
constexpr DWORD kOtherVersion = 1638;    // ERROR_PRODUCT_VERSION: the setup program's refusal

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

bool UnderWine()
{
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring Msiexec()
{
    wchar_t system[MAX_PATH] = L"";
    ::GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + L"\\msiexec.exe";
}

// msiexec with these arguments, to its end: its exit code.
DWORD RunMsiexec(const std::wstring& arguments)
{
    const RunResult run = RunToEnd(Quoted(Msiexec()) + L" " + arguments, 180000);
    EXPECT_TRUE(run.ended) << Utf8(run.error);
    return run.ended ? run.exitCode : 0xFFFFFFFF;
}

// The Add/Remove Programs entries Windows Installer made for this edition: their product codes.
std::vector<std::wstring> InstalledProducts(REGSAM view)
{
    std::vector<std::wstring> codes;
    const wchar_t* root = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
    RegistryKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, root, 0, KEY_READ | view, key.out()) != ERROR_SUCCESS) return codes;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (::RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        UninstallEntry entry = ReadUninstallEntry(std::wstring(root) + L"\\" + name, view);
        if (entry.text[L"DisplayName"] == g_edition.DisplayName() && entry.number[L"WindowsInstaller"] == 1)
            codes.push_back(name);
    }
    return codes;
}

std::wstring EntryKey(const std::wstring& productCode)
{
    return L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + productCode;
}

class Msi : public RoadScenario {
protected:
    void SetUp() override
    {
        RemoveAny();
        ASSERT_TRUE(InstalledProducts(g_edition.View()).empty()) << "an installation left from before";
    }
    void TearDown() override { RemoveAny(); }

    static void RemoveAny()
    {
        for (REGSAM view : {g_edition.View(), g_edition.OtherView()})
            for (const std::wstring& code : InstalledProducts(view)) RunMsiexec(L"/x " + code + L" /qn");
    }

    // The one installation of this edition: its product code.
    std::wstring TheProduct()
    {
        const std::vector<std::wstring> codes = InstalledProducts(g_edition.View());
        EXPECT_EQ(codes.size(), 1u) << "installations of this edition in Add/Remove Programs";
        EXPECT_TRUE(InstalledProducts(g_edition.OtherView()).empty()) << "an entry in the other registry view";
        return codes.empty() ? L"" : codes.front();
    }

    // Everything in place for all users, as Add/Remove Programs and Windows Installer tell it.
    void ExpectInstalled(const std::wstring& version)
    {
        const std::wstring folder = g_edition.DefaultFolder();
        for (const std::wstring& file : g_edition.ShippedFiles(folder)) EXPECT_TRUE(Exists(file)) << Utf8(file);
        const std::wstring code = TheProduct();
        ASSERT_FALSE(code.empty());
        UninstallEntry entry = ReadUninstallEntry(EntryKey(code), g_edition.View());
        EXPECT_EQ(entry.text[L"DisplayVersion"], version);
        EXPECT_EQ(entry.text[L"Publisher"], L"ROM Upgrade Wizard developers");
        EXPECT_EQ(entry.text[L"InstallLocation"], folder + L"\\");
        EXPECT_EQ(entry.number[L"NoModify"], 1u);
        EXPECT_EQ(entry.number[L"NoRepair"], 1u);
        EXPECT_EQ(::MsiQueryProductStateW(code.c_str()), INSTALLSTATE_DEFAULT);
        // Registered for the machine: its state read in that context alone.
        wchar_t state[8] = L"";
        DWORD size = 8;
        EXPECT_EQ(::MsiGetProductInfoExW(code.c_str(), nullptr, MSIINSTALLCONTEXT_MACHINE, INSTALLPROPERTY_PRODUCTSTATE,
                                         state, &size),
                  static_cast<UINT>(ERROR_SUCCESS))
            << "not installed for all users";
        EXPECT_STREQ(state, L"5");  // INSTALLSTATE_DEFAULT

        const std::wstring wizard = folder + L"\\" + g_edition.programs.front();
        std::wstring link = g_edition.Shortcut();
        if (!Exists(link) && UnderWine()) {
            // Wine's Windows Installer takes the Start menu folders of the user even for a
            // package installed per machine; Windows takes those of all users.
            wchar_t programs[MAX_PATH] = L"";
            ::SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, programs);
            link = std::wstring(programs) + L"\\" + g_edition.DisplayName() + L".lnk";
        }
        EXPECT_EQ(ShortcutTarget(link), wizard) << "the Start menu shortcut";
    }

    void ExpectNothingLeft()
    {
        const std::wstring folder = g_edition.DefaultFolder();
        for (const std::wstring& file : g_edition.ShippedFiles(folder)) EXPECT_FALSE(Exists(file)) << Utf8(file);
        EXPECT_FALSE(Exists(folder + L"\\signers.txt"));
        EXPECT_FALSE(Exists(folder)) << "the program folder is left";
        EXPECT_FALSE(Exists(g_edition.Shortcut())) << "the Start menu shortcut is left";
        wchar_t programs[MAX_PATH] = L"";
        ::SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, programs);
        EXPECT_FALSE(Exists(std::wstring(programs) + L"\\" + g_edition.DisplayName() + L".lnk"));
        EXPECT_TRUE(InstalledProducts(g_edition.View()).empty()) << "the Add/Remove Programs entry is left";
        EXPECT_TRUE(InstalledProducts(g_edition.OtherView()).empty());
    }

    // The installed romflash writes `image` (0) or refuses it (3, and the reason it records).
    void ExpectInstalledRomflash(const std::wstring& image, DWORD code, const std::string& reason)
    {
        SetProgramPaths(WizardPath(), g_edition.DefaultFolder() + L"\\romflash.exe");
        UpgradeLog log;
        const robot::ConsoleResult r = Flash(L"--wait 10 " + Quoted(image));
        EXPECT_EQ(r.exitCode, code) << r.err;
        UpgradeLog::Fields f;
        ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
        EXPECT_EQ(f["reason"], reason) << r.err;
        EXPECT_EQ(f["program"], "romflash");
    }
};

TEST_F(Msi, SilentInstallForAllUsersThenAnUpgradeWithTheInstalledRomflashThenRemovalLeavesNothing)
{
    ASSERT_FALSE(Exists(g_edition.DefaultFolder()));
    ASSERT_EQ(RunMsiexec(L"/i " + Quoted(g_msi) + L" /qn"), 0u);
    ASSERT_NO_FATAL_FAILURE(ExpectInstalled(g_edition.version));
    EXPECT_FALSE(Exists(g_edition.DefaultFolder() + L"\\signers.txt")) << "no maker's signers.txt was given";

    ImageFile image(70000);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    ASSERT_NO_FATAL_FAILURE(ExpectInstalledRomflash(image.Path(), 0, ""));
    EmulatedHandheld::Report r = device.Stop();
    EXPECT_EQ(r["header_count"], "70000");
    EXPECT_EQ(r["match"], "1");

    ASSERT_EQ(RunMsiexec(L"/x " + TheProduct() + L" /qn"), 0u);
    ExpectNothingLeft();
}

// 0.0.9 shipped a signers.txt that names no signer we know: the installed romflash refuses a
// signed image while it is there. The new version takes its place, its own file and its
// signers.txt go with it, and the same image is written; 0.0.9 then does not go over it.
TEST_F(Msi, NewerVersionReplacesTheEarlierWithItsFilesAndTheEarlierDoesNotReplaceTheNewer)
{
    const Publisher maker("Example Handhelds ROM Signing", true);
    if (!maker.Ready()) GTEST_SKIP() << "no openssl beneath";
    const std::wstring folder = g_edition.DefaultFolder();
    ASSERT_EQ(RunMsiexec(L"/i " + Quoted(g_earlierMsi) + L" /qn"), 0u);
    const std::wstring earlier = TheProduct();
    EXPECT_EQ(ReadUninstallEntry(EntryKey(earlier), g_edition.View()).text[L"DisplayVersion"], L"0.0.9");
    ASSERT_TRUE(Exists(folder + L"\\" + g_earlierFile));
    ASSERT_TRUE(Exists(folder + L"\\signers.txt")) << "the maker's signers.txt is not beside the programs";

    ImageFile image(20000, L"signed.bin");
    ASSERT_TRUE(maker.Sign(image.Path()));
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    ASSERT_NO_FATAL_FAILURE(ExpectInstalledRomflash(image.Path(), 3, "signer-not-trusted"));

    ASSERT_EQ(RunMsiexec(L"/i " + Quoted(g_msi) + L" /qn"), 0u);
    ASSERT_NO_FATAL_FAILURE(ExpectInstalled(g_edition.version));
    EXPECT_NE(TheProduct(), earlier);
    EXPECT_NE(::MsiQueryProductStateW(earlier.c_str()), INSTALLSTATE_DEFAULT) << "the earlier version is still installed";
    EXPECT_FALSE(Exists(folder + L"\\" + g_earlierFile)) << "the earlier version's own file is left";
    EXPECT_FALSE(Exists(folder + L"\\signers.txt")) << "the earlier version's signers.txt is left";
    ASSERT_NO_FATAL_FAILURE(ExpectInstalledRomflash(image.Path(), 0, ""));
    EXPECT_EQ(device.Stop()["connections"], "1") << "only the image the new version trusts was written";

    EXPECT_EQ(RunMsiexec(L"/i " + Quoted(g_earlierMsi) + L" /qn"), kInstallFailure) << "the earlier over the newer";
    ASSERT_NO_FATAL_FAILURE(ExpectInstalled(g_edition.version));

    ASSERT_EQ(RunMsiexec(L"/x " + TheProduct() + L" /qn"), 0u);
    ExpectNothingLeft();
}

// Where the setup program has installed this edition, the package installs nothing: each
// would remove the other's files.
TEST_F(Msi, BesideTheSetupProgramsInstallationNothingIsInstalled)
{
    const std::wstring key = g_edition.UninstallKey();
    RegistryKey entry;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | g_edition.View(),
                                nullptr, entry.out(), nullptr),
              ERROR_SUCCESS);
    const std::wstring folder = L"C:\\Setup's folder";
    ::RegSetValueExW(entry.get(), L"InstallLocation", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                     static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    const DWORD code = RunMsiexec(L"/i " + Quoted(g_msi) + L" /qn");
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), g_edition.View(), 0);
    EXPECT_EQ(code, kInstallFailure);
    EXPECT_TRUE(InstalledProducts(g_edition.View()).empty());
    EXPECT_FALSE(Exists(g_edition.DefaultFolder()));
}

// And the other way round: where the package is installed, the setup program installs nothing,
// neither over it nor into another folder, and says why in the language chosen.
TEST_F(Msi, BesideThePackagesInstallationTheSetupProgramInstallsNothing)
{
    ASSERT_EQ(RunMsiexec(L"/i " + Quoted(g_msi) + L" /qn"), 0u);
    const std::wstring elsewhere = L"C:\\Setup's own folder";
    for (const std::wstring& where : {std::wstring(), L" /D=" + elsewhere}) {
        const RunResult run = RunToEnd(Quoted(g_setup) + L" /S" + where, 180000);
        EXPECT_TRUE(run.ended) << Utf8(run.error);
        EXPECT_EQ(run.exitCode, kOtherVersion) << Utf8(where);
    }
    EXPECT_FALSE(Exists(elsewhere));
    EXPECT_FALSE(ReadUninstallEntry(g_edition.UninstallKey(), g_edition.View()).present) << "the setup's entry";
    EXPECT_FALSE(Exists(g_edition.Uninstaller(g_edition.DefaultFolder())));
    ASSERT_NO_FATAL_FAILURE(ExpectInstalled(g_edition.version));

    const struct {
        const wchar_t* code;
        const wchar_t* says;  // a part of its box's text in that language
    } languages[] = {{L"en", L"from its Windows Installer package (MSI)"},
                     {L"de", L"aus seinem Windows Installer-Paket (MSI)"},
                     {L"ja", L"Windows インストーラー パッケージ (MSI) から"}};
    for (const auto& language : languages) {
        SCOPED_TRACE(Utf8(language.code));
        STARTUPINFOW si{sizeof si};
        PROCESS_INFORMATION pi{};
        std::wstring command = Quoted(g_setup) + L" /lang:" + language.code;
        ASSERT_TRUE(::CreateProcessW(g_setup.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        UniqueHandle process(pi.hProcess), thread(pi.hThread);
        HWND box = nullptr;
        const bool shown = robot::WaitUntil([&] { return (box = VisibleWindowOf(pi.dwProcessId, 0xFFFF)) != nullptr; },
                                            20000);
        if (!shown) ::TerminateProcess(process.get(), 1);
        ASSERT_TRUE(shown) << "no box";
        const std::wstring text = robot::Wizard::TextOf(::GetDlgItem(box, 0xFFFF));
        EXPECT_EQ(text.rfind(g_edition.DisplayName() + L" ", 0), 0u) << Utf8(text);
        EXPECT_NE(text.find(language.says), std::wstring::npos) << Utf8(text);
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        ASSERT_EQ(::WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0) << "setup did not end";
        DWORD code = 0;
        ::GetExitCodeProcess(process.get(), &code);
        EXPECT_EQ(code, kOtherVersion);
    }
    EXPECT_FALSE(ReadUninstallEntry(g_edition.UninstallKey(), g_edition.View()).present) << "the setup's entry";
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
        if (!value(L"--msi=").empty()) g_msi = robot::ToWindowsPath(value(L"--msi="));
        if (!value(L"--earlier-msi=").empty()) g_earlierMsi = robot::ToWindowsPath(value(L"--earlier-msi="));
        if (!value(L"--earlier-file=").empty()) g_earlierFile = value(L"--earlier-file=");
        if (!value(L"--setup=").empty()) g_setup = robot::ToWindowsPath(value(L"--setup="));
        if (!value(L"--arch=").empty()) g_edition.arch = value(L"--arch=");
        if (!value(L"--version=").empty()) g_edition.version = value(L"--version=");
        std::wstring programs = value(L"--programs=");
        for (size_t start = 0; !programs.empty() && start <= programs.size();) {
            size_t comma = programs.find(L',', start);
            if (comma == std::wstring::npos) comma = programs.size();
            if (comma > start) g_edition.programs.push_back(programs.substr(start, comma - start));
            start = comma + 1;
        }
    }
    if (g_msi.empty() || g_earlierMsi.empty() || g_earlierFile.empty() || g_setup.empty() ||
        (g_edition.arch != L"x86" && g_edition.arch != L"x64") || g_edition.version.empty() ||
        g_edition.programs.empty()) {
        std::fprintf(stderr,
                     "usage: %ls --msi=PATH --earlier-msi=PATH --earlier-file=NAME --arch=x86|x64 --version=X.Y.Z\n"
                     "          --programs=A.exe[,B.exe] --setup=PATH [gtest options]\n",
                     argv[0]);
        return 2;
    }
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const int result = RUN_ALL_TESTS();
    ::CoUninitialize();
    return result;
}
