// The built executable's own defences, read from its PE headers and its manifest.
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

std::wstring g_exe;

std::wstring WindowsPath(std::wstring path)
{
    if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

class Executable : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        FILE* f = _wfopen(g_exe.c_str(), L"rb");
        ASSERT_NE(f, nullptr) << "cannot open the program";
        image.clear();
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) image.insert(image.end(), buf, buf + n);
        std::fclose(f);
    }

    const IMAGE_NT_HEADERS64* Nt() const
    {
        auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
        return reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
    }

    // File offset of a relative virtual address.
    size_t Offset(DWORD rva) const
    {
        const IMAGE_NT_HEADERS64* nt = Nt();
        auto section = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section)
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize)
                return rva - section->VirtualAddress + section->PointerToRawData;
        return 0;
    }

    static std::vector<char> image;
};
std::vector<char> Executable::image;

TEST_F(Executable, IsA64BitGuiProgram)
{
    ASSERT_EQ(Nt()->Signature, IMAGE_NT_SIGNATURE);
    EXPECT_EQ(Nt()->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(Nt()->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST_F(Executable, HasAslrWithHighEntropyAndDep)
{
    WORD flags = Nt()->OptionalHeader.DllCharacteristics;
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE) << "no ASLR";
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA) << "no high-entropy ASLR";
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT) << "no DEP";
    // ASLR needs relocations to move the image.
    EXPECT_FALSE(Nt()->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
}

TEST_F(Executable, ImportsOnlySystemDllsAndRestrictsTheDllSearchPath)
{
    const auto& dir = Nt()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    auto desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + Offset(dir.VirtualAddress));
    const std::set<std::string> system = {"KERNEL32.DLL", "USER32.DLL", "GDI32.DLL", "COMCTL32.DLL", "COMDLG32.DLL",
                                          "ADVAPI32.DLL", "SETUPAPI.DLL", "MSVCRT.DLL"};
    bool setsSearchPath = false;
    for (; desc->Name; ++desc) {
        std::string name = image.data() + Offset(desc->Name);
        std::string upper = name;
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        bool crt = upper.rfind("API-MS-WIN-CRT-", 0) == 0;
        EXPECT_TRUE(system.count(upper) || crt) << name << " is not a system DLL: the program must link statically";
        auto thunk = reinterpret_cast<const ULONGLONG*>(
            image.data() + Offset(desc->OriginalFirstThunk ? desc->OriginalFirstThunk : desc->FirstThunk));
        for (; *thunk; ++thunk) {
            if (*thunk & IMAGE_ORDINAL_FLAG64) continue;
            auto byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(image.data() + Offset(static_cast<DWORD>(*thunk)));
            if (std::string(reinterpret_cast<const char*>(byName->Name)) == "SetDefaultDllDirectories")
                setsSearchPath = true;
        }
    }
    EXPECT_TRUE(setsSearchPath) << "the DLL search path is not restricted at start";
}

TEST_F(Executable, ManifestRunsAsInvokerDeclaresWindowsVersionsAndDpiAwareness)
{
    HMODULE module = ::LoadLibraryExW(g_exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    HRSRC res = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(res, nullptr) << "no application manifest";
    auto text = static_cast<const char*>(::LockResource(::LoadResource(module, res)));
    std::string manifest(text, ::SizeofResource(module, res));
    ::FreeLibrary(module);

    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos) << "Windows 10/11";
    EXPECT_NE(manifest.find("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"), std::string::npos) << "Windows 7";
    EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos) << "system DPI awareness";
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::wcsncmp(argv[i], L"--wizard=", 9) == 0) g_exe = WindowsPath(argv[i] + 9);
    if (g_exe.empty()) {
        std::fprintf(stderr, "usage: hardening_test --wizard=PATH\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
