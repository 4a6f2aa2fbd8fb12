// A shipped program's own defences and the Windows it can run on, read from its PE headers,
// its import table and its resources: every function it imports must exist by name on the
// oldest Windows of its architecture (XP SP3 for x86, XP x64 / Server 2003 SP2 for x64).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "tools/robot/Robot.h"
#include "tests/support/TestSupport.h"

namespace {

std::wstring g_exe;      // the program under test
std::wstring g_exports;  // folder of the export lists (nt5-exports)
std::string g_version;   // the version it must carry
WORD g_subsystem = IMAGE_SUBSYSTEM_WINDOWS_GUI;

// The program under test is built for the same architecture as this test.
constexpr bool kWide = sizeof(void*) == 8;
constexpr WORD kMachine = kWide ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
constexpr const char* kArch = kWide ? "x86_64" : "i386";
constexpr WORD kMinorSubsystem = kWide ? 2 : 1;  // NT 5.2 or NT 5.1
using NtHeaders = std::conditional_t<kWide, IMAGE_NT_HEADERS64, IMAGE_NT_HEADERS32>;
using Thunk = std::conditional_t<kWide, ULONGLONG, DWORD>;
constexpr Thunk kOrdinalFlag = static_cast<Thunk>(kWide ? IMAGE_ORDINAL_FLAG64 : IMAGE_ORDINAL_FLAG32);

// Lines of a text file, without line ends and comments; empty when it cannot be read.
std::set<std::string> Lines(const std::wstring& path, bool* found = nullptr)
{
    std::set<std::string> lines;
    std::istringstream in(ReadWholeFile(path, found));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] != '#') lines.insert(line);
    }
    return lines;
}

class Executable : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bool found = false;
        const std::string bytes = ReadWholeFile(g_exe, &found);
        ASSERT_TRUE(found) << "cannot open the program";
        image.assign(bytes.begin(), bytes.end());
    }

    static const NtHeaders* Nt()
    {
        auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
        return reinterpret_cast<const NtHeaders*>(image.data() + dos->e_lfanew);
    }

    // File offset of a relative virtual address.
    static size_t Offset(DWORD rva)
    {
        const NtHeaders* nt = Nt();
        auto section = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section)
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize)
                return rva - section->VirtualAddress + section->PointerToRawData;
        return 0;
    }

    // The import table: DLL name (lower case) -> functions imported by name.
    static std::map<std::string, std::vector<std::string>> Imports()
    {
        std::map<std::string, std::vector<std::string>> imports;
        const auto& dir = Nt()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (dir.VirtualAddress == 0) return imports;
        auto desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + Offset(dir.VirtualAddress));
        for (; desc->Name; ++desc) {
            auto& functions = imports[Lower(image.data() + Offset(desc->Name))];
            auto thunk = reinterpret_cast<const Thunk*>(
                image.data() + Offset(desc->OriginalFirstThunk ? desc->OriginalFirstThunk : desc->FirstThunk));
            for (; *thunk; ++thunk) {
                if (*thunk & kOrdinalFlag) {
                    functions.push_back("#ordinal");
                    continue;
                }
                auto byName =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(image.data() + Offset(static_cast<DWORD>(*thunk)));
                functions.push_back(reinterpret_cast<const char*>(byName->Name));
            }
        }
        return imports;
    }

    static std::vector<char> image;
};
std::vector<char> Executable::image;

TEST_F(Executable, IsAProgramTheOldestWindowsLoads)
{
    ASSERT_EQ(Nt()->Signature, IMAGE_NT_SIGNATURE);
    EXPECT_EQ(Nt()->FileHeader.Machine, kMachine);
    const auto& optional = Nt()->OptionalHeader;
    EXPECT_EQ(optional.Subsystem, g_subsystem);
    // A loader refuses a program that asks for a newer subsystem than its own.
    EXPECT_EQ(optional.MajorSubsystemVersion, 5);
    EXPECT_EQ(optional.MinorSubsystemVersion, kMinorSubsystem);
    EXPECT_EQ(optional.MajorOperatingSystemVersion, 5);
    EXPECT_EQ(optional.MinorOperatingSystemVersion, kMinorSubsystem);
}

TEST_F(Executable, HasAslrAndDep)
{
    WORD flags = Nt()->OptionalHeader.DllCharacteristics;
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE) << "no ASLR";
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT) << "no DEP";
#ifdef _WIN64
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA) << "no high-entropy ASLR";
#endif
    // ASLR needs relocations to move the image.
    EXPECT_FALSE(Nt()->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
    EXPECT_NE(Nt()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u);
}

// The loader resolves static imports before any code of ours runs, searching the program's own
// folder first: only DLLs it always takes from the system may be imported statically.
TEST_F(Executable, ImportsStaticallyOnlyDllsThatCannotBePlantedBesideIt)
{
    const std::set<std::string> allowed = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll"};
    for (const auto& [dll, functions] : Imports())
        EXPECT_TRUE(allowed.count(dll)) << dll
                                        << " is imported statically: load it at run time from the system directory";
}

TEST_F(Executable, ImportsOnlyFunctionsTheOldestWindowsExports)
{
    const std::wstring folder = g_exports + L"\\" + std::wstring(kArch, kArch + std::strlen(kArch)) + L"\\";
    // Names that only NT 5.2 is known to export are missing on 32-bit XP.
    std::set<std::string> newerOnly;
    for (const std::string& line : Lines(g_exports + L"\\nt52-only.txt")) {
        char arch[16], dll[64], name[256];
        if (std::sscanf(line.c_str(), "%15s %63s %255s", arch, dll, name) == 3 && std::string(arch) == kArch)
            newerOnly.insert(std::string(dll) + ".dll!" + name);
    }
    const auto imports = Imports();
    ASSERT_FALSE(imports.empty());
    for (const auto& [dll, functions] : imports) {
        bool listed = false;
        const std::string base = dll.substr(0, dll.size() - 4);
        const std::set<std::string> exported =
            Lines(folder + std::wstring(base.begin(), base.end()) + L".txt", &listed);
        if (!listed) {
            ADD_FAILURE() << dll << ": no list of what the oldest Windows exports from it";
            continue;
        }
        for (const std::string& function : functions) {
            EXPECT_TRUE(exported.count(function) && !newerOnly.count(dll + "!" + function))
                << dll << "!" << function << " does not exist on the oldest supported Windows: look it up at run time";
        }
    }
}

TEST_F(Executable, ManifestRunsAsInvokerDeclaresWindowsVersionsAndDpiAwareness)
{
    HMODULE module =
        ::LoadLibraryExW(g_exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    HRSRC res = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(res, nullptr) << "no application manifest";
    auto text = static_cast<const char*>(::LockResource(::LoadResource(module, res)));
    std::string manifest(text, ::SizeofResource(module, res));
    ::FreeLibrary(module);

    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("{e2011457-1546-43c5-a5fe-008deee3d3f0}"), std::string::npos) << "Windows Vista";
    EXPECT_NE(manifest.find("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"), std::string::npos) << "Windows 7";
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos) << "Windows 10/11";
    EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos) << "system DPI awareness";
    // A manifest made for one processor only would stop the other build from loading.
    EXPECT_NE(manifest.find("processorArchitecture=\"*\""), std::string::npos);
}

TEST_F(Executable, CarriesItsVersion)
{
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(g_exe.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version resource";
    std::vector<char> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(g_exe.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                  HIWORD(fixed->dwFileVersionLS));
    EXPECT_EQ(numbers, g_version);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);

    auto text = [&](const wchar_t* key) {
        wchar_t* value = nullptr;
        UINT chars = 0;
        std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
        if (!::VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &chars) || !value)
            return std::wstring();
        return std::wstring(value);
    };
    const std::wstring version(g_version.begin(), g_version.end());
    EXPECT_EQ(text(L"FileVersion"), version);
    EXPECT_EQ(text(L"ProductVersion"), version);
    EXPECT_EQ(text(L"ProductName"), L"ROM Upgrade Wizard");
    EXPECT_FALSE(text(L"FileDescription").empty());
    const std::wstring name = g_exe.substr(g_exe.find_last_of(L"\\/") + 1);
    EXPECT_EQ(text(L"OriginalFilename"), name);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (const wchar_t* path = OptionValue(argv[i], L"--program=")) g_exe = robot::ToWindowsPath(path);
        if (const wchar_t* path = OptionValue(argv[i], L"--exports=")) g_exports = robot::ToWindowsPath(path);
        if (const wchar_t* version = OptionValue(argv[i], L"--version=")) g_version = Utf8(version);
        if (std::wcscmp(argv[i], L"--console") == 0) g_subsystem = IMAGE_SUBSYSTEM_WINDOWS_CUI;
    }
    if (g_exe.empty() || g_exports.empty() || g_version.empty()) {
        std::fprintf(stderr, "usage: hardening_test --program=PATH --exports=DIR --version=X.Y.Z [--console]\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
