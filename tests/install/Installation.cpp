#include "tests/install/Installation.h"
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>
#include "framework/Handles.h"
#include "tools/robot/Robot.h"
#include "tools/launch/StartProcess.h"

namespace {

const wchar_t kFolderName[] = L"ROM Upgrade Wizard";

std::wstring Env(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = L"";
    DWORD n = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return n > 0 && n < MAX_PATH ? value : L"";
}

// Releases a COM interface once.
template <class T>
class ComRef {
public:
    ComRef() = default;
    ~ComRef()
    {
        if (m_p) m_p->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T** out() { return &m_p; }
    T* operator->() const { return m_p; }

private:
    T* m_p = nullptr;
};

// The program of a command line: the first token, without its quotes.
std::wstring ProgramOf(const std::wstring& commandLine)
{
    if (!commandLine.empty() && commandLine[0] == L'"') {
        size_t end = commandLine.find(L'"', 1);
        return commandLine.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    }
    return commandLine.substr(0, commandLine.find(L' '));
}

}  // namespace

std::wstring Edition::UninstallKey() const
{
    return L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RomUpgradeWizard-" + arch;
}

REGSAM Edition::View() const { return arch == L"x64" ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }
REGSAM Edition::OtherView() const { return arch == L"x64" ? KEY_WOW64_32KEY : KEY_WOW64_64KEY; }

std::wstring Edition::DisplayName() const
{
    return arch == L"x64" ? L"ROM Upgrade Wizard (x64)" : L"ROM Upgrade Wizard";
}

std::wstring Edition::DefaultFolder() const
{
    // ProgramFiles names the folder of the calling program's own kind; these name each kind
    // on a 64-bit Windows, and are not set on a 32-bit one, which has one Program Files.
    std::wstring programFiles = Env(arch == L"x64" ? L"ProgramW6432" : L"ProgramFiles(x86)");
    if (programFiles.empty()) programFiles = Env(L"ProgramFiles");
    return programFiles + L"\\" + kFolderName;
}

std::wstring Edition::Shortcut() const
{
    wchar_t programs[MAX_PATH] = L"";
    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, programs);
    return std::wstring(programs) + L"\\" + DisplayName() + L".lnk";
}

namespace {

const wchar_t* const kPolicyLanguages[] = {L"en-US", L"de-DE", L"fr-FR", L"es-ES", L"zh-CN", L"ja-JP"};

}  // namespace

std::vector<std::wstring> Edition::ShippedFiles(const std::wstring& folder) const
{
    std::vector<std::wstring> files;
    for (const std::wstring& program : programs) files.push_back(folder + L"\\" + program);
    files.push_back(folder + L"\\README.txt");
    for (const wchar_t* language : {L"de", L"fr", L"es", L"zh", L"ja"})
        files.push_back(folder + L"\\README." + language + L".txt");
    files.push_back(folder + L"\\PolicyDefinitions\\RomUpgradeWizard.admx");
    for (const wchar_t* language : kPolicyLanguages)
        files.push_back(folder + L"\\PolicyDefinitions\\" + language + L"\\RomUpgradeWizard.adml");
    return files;
}

std::vector<std::wstring> Edition::ShippedFolders(const std::wstring& folder) const
{
    std::vector<std::wstring> folders;
    for (const wchar_t* language : kPolicyLanguages) folders.push_back(folder + L"\\PolicyDefinitions\\" + language);
    folders.push_back(folder + L"\\PolicyDefinitions");
    return folders;
}

std::vector<std::wstring> Edition::InstalledFiles(const std::wstring& folder) const
{
    std::vector<std::wstring> files = ShippedFiles(folder);
    files.push_back(Uninstaller(folder));
    return files;
}

std::wstring Edition::Uninstaller(const std::wstring& folder) const { return folder + L"\\Uninstall.exe"; }

UninstallEntry ReadUninstallEntry(const std::wstring& key, REGSAM view)
{
    UninstallEntry entry;
    RegistryKey k;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, k.out()) != ERROR_SUCCESS) return entry;
    entry.present = true;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0;
        BYTE data[2048];
        DWORD size = sizeof data - sizeof(wchar_t);
        const LSTATUS status = ::RegEnumValueW(k.get(), i, name, &nameLength, nullptr, &type, data, &size);
        if (status == ERROR_MORE_DATA) {
            entry.text[name] = L"(a value too long to read here)";
        } else if (status != ERROR_SUCCESS) {
            break;
        } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
            data[size] = data[size + 1] = 0;
            entry.text[name] = reinterpret_cast<const wchar_t*>(data);
        } else if (type == REG_DWORD && size == sizeof(DWORD)) {
            entry.number[name] = *reinterpret_cast<const DWORD*>(data);
        } else {
            entry.text[name] = L"(a value of type " + std::to_wstring(type) + L")";
        }
    }
    return entry;
}

bool Is64BitWindows()
{
#ifdef _WIN64
    return true;
#else
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
#endif
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring ShortcutTarget(const std::wstring& link)
{
    ComRef<IShellLinkW> shellLink;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(shellLink.out()))))
        return L"";
    ComRef<IPersistFile> file;
    if (FAILED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.out())))) return L"";
    if (FAILED(file->Load(link.c_str(), STGM_READ))) return L"";
    wchar_t target[MAX_PATH] = L"";
    if (FAILED(shellLink->GetPath(target, MAX_PATH, nullptr, 0))) return L"";
    return target;
}

namespace {

std::vector<BYTE> VersionResource(const std::wstring& file)
{
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
    std::vector<BYTE> data(size);
    if (size == 0 || !::GetFileVersionInfoW(file.c_str(), 0, size, data.data())) data.clear();
    return data;
}

}  // namespace

std::wstring VersionString(const std::wstring& file, const wchar_t* name)
{
    std::vector<BYTE> data = VersionResource(file);
    if (data.empty()) return L"";
    struct Translation {
        WORD language, codePage;
    };
    Translation* translations = nullptr;
    UINT size = 0;
    if (!::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &size) ||
        size < sizeof(Translation))
        return L"";
    wchar_t query[128];
    swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translations[0].language, translations[0].codePage, name);
    wchar_t* value = nullptr;
    if (!::VerQueryValueW(data.data(), query, reinterpret_cast<void**>(&value), &size) || !value) return L"";
    return value;
}

std::wstring FixedProductVersion(const std::wstring& file)
{
    std::vector<BYTE> data = VersionResource(file);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    if (data.empty() || !::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &size) ||
        size < sizeof *fixed)
        return L"";
    return std::to_wstring(HIWORD(fixed->dwProductVersionMS)) + L"." +
           std::to_wstring(LOWORD(fixed->dwProductVersionMS)) + L"." +
           std::to_wstring(HIWORD(fixed->dwProductVersionLS)) + L"." +
           std::to_wstring(LOWORD(fixed->dwProductVersionLS));
}

RunResult RunToEnd(const std::wstring& commandLine, DWORD timeoutMs)
{
    RunResult result;
    UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job || !::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        result.error = L"no job object (error " + std::to_wstring(::GetLastError()) + L")";
        return result;
    }
    const std::wstring program = ProgramOf(commandLine);
    STARTUPINFOW si{sizeof si};
    PROCESS_INFORMATION pi{};
    if (!launch::StartProcess(program, commandLine, FALSE, CREATE_SUSPENDED, si, pi)) {
        result.error = L"cannot start " + program + L" (error " + std::to_wstring(::GetLastError()) + L")";
        return result;
    }
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    if (!::AssignProcessToJobObject(job.get(), process.get())) {
        result.error = L"cannot put " + program + L" into a job (error " + std::to_wstring(::GetLastError()) + L")";
        ::TerminateProcess(process.get(), 1);
        return result;
    }
    ::ResumeThread(thread.get());

    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    result.ended = robot::WaitUntil(
        [&] {
            return ::QueryInformationJobObject(job.get(), JobObjectBasicAccountingInformation, &info, sizeof info,
                                               nullptr) &&
                   info.ActiveProcesses == 0;
        },
        timeoutMs);
    result.processes = info.TotalProcesses;
    ::GetExitCodeProcess(process.get(), &result.exitCode);
    if (!result.ended) result.error = commandLine + L" did not end in time";
    return result;
}

namespace {
struct WindowSearch {
    DWORD pid;
    int controlId;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND wnd, LPARAM param)
{
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(wnd, &pid);
    if (pid == search->pid && ::IsWindowVisible(wnd) && ::GetDlgItem(wnd, search->controlId)) search->found = wnd;
    return TRUE;
}
}  // namespace

HWND VisibleWindowOf(DWORD pid, int controlId)
{
    WindowSearch search{pid, controlId, nullptr};
    ::EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}
