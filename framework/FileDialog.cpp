#include "framework/FileDialog.h"
#include "framework/AnswerBox.h"
#include "framework/SystemLibrary.h"
#include "framework/CString.h"
#include "res/resource.h"

namespace {
constexpr size_t kNameBuffer = 32768;  // room for the longest path Windows can name
}

CFileDialog::CFileDialog(BOOL bOpenFileDialog, const wchar_t* defExt, const wchar_t* fileName, DWORD flags,
                         const wchar_t* filter, CWnd* pParentWnd)
    : m_bOpen(bOpenFileDialog), m_defExt(defExt ? defExt : L""), m_filter(filter ? filter : L""),
      m_buffer(kNameBuffer, L'\0'), m_flags(flags), m_pParent(pParentWnd)
{
    if (fileName) m_buffer.replace(0, wcslen(fileName), fileName);
    // As MFC takes it: "Name|pattern|Name|pattern||", each | a NUL for Windows.
    for (wchar_t& c : m_filter)
        if (c == L'|') c = L'\0';
}

INT_PTR CFileDialog::DoModal()
{
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = m_pParent ? m_pParent->m_hWnd : nullptr;
    ofn.lpstrFilter = m_filter.empty() ? nullptr : m_filter.c_str();
    ofn.lpstrFile = &m_buffer[0];
    ofn.nMaxFile = static_cast<DWORD>(m_buffer.size());
    ofn.lpstrDefExt = m_defExt.empty() ? nullptr : m_defExt.c_str();
    ofn.lpstrTitle = m_title.empty() ? nullptr : m_title.c_str();
    ofn.lpstrInitialDir = m_initialFolder.empty() ? nullptr : m_initialFolder.c_str();
    ofn.Flags = m_flags | OFN_EXPLORER | OFN_ENABLESIZING | OFN_ENABLEHOOK;
    ofn.lpfnHook = &CFileDialog::HookProc;
    // The common dialogs' DLL comes from the system directory, loaded for this dialog only.
    SystemLibrary dialogs(L"comdlg32.dll");
    using ShowFn = BOOL(WINAPI*)(OPENFILENAMEW*);
    auto show = dialogs.Function<ShowFn>(m_bOpen ? "GetOpenFileNameW" : "GetSaveFileNameW");
    if (!show || !show(&ofn)) return IDCANCEL;
    m_buffer.resize(wcslen(m_buffer.c_str()));
    return IDOK;
}

namespace {
constexpr int kFileNameCombo = 0x47c;  // the explorer-style dialog's file name box
constexpr int kFileNameEdit = 0x480;   // and the one of older layouts
// The file dialog's own window procedure, kept while the guard stands in front of it.
const wchar_t kGuardedProc[] = L"RomUpgradeWizard.FileDialog.Proc";

std::wstring ItemText(HWND dialog, int id)
{
    HWND item = ::GetDlgItem(dialog, id);
    if (!item) return std::wstring();
    std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(item)) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(item, &text[0], static_cast<int>(text.size()))));
    return text;
}

bool IsAbsolute(const std::wstring& name)
{
    return (name.size() >= 2 && name[1] == L':') || (name.size() >= 1 && (name[0] == L'\\' || name[0] == L'/'));
}
}  // namespace

UINT_PTR CALLBACK CFileDialog::HookProc(HWND hook, UINT msg, WPARAM, LPARAM)
{
    // The hook's own dialog is a child of the file dialog: guard the file dialog's Open.
    if (msg == WM_INITDIALOG) {
        HWND dialog = ::GetParent(hook);
        LONG_PTR proc = ::GetWindowLongPtrW(dialog, GWLP_WNDPROC);
        if (proc && ::SetPropW(dialog, kGuardedProc, reinterpret_cast<HANDLE>(proc)))
            ::SetWindowLongPtrW(dialog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CFileDialog::GuardProc));
    }
    return 0;
}

LRESULT CALLBACK CFileDialog::GuardProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto proc = reinterpret_cast<WNDPROC>(::GetPropW(dialog, kGuardedProc));
    if (msg == WM_COMMAND && LOWORD(wParam) == IDOK) {
        std::wstring name = ItemText(dialog, kFileNameCombo);
        if (name.empty()) name = ItemText(dialog, kFileNameEdit);
        size_t length = name.size();
        if (!IsAbsolute(name)) {
            wchar_t folder[MAX_PATH] = L"";
            LRESULT folderLength =
                ::SendMessageW(dialog, CDM_GETFOLDERPATH, MAX_PATH, reinterpret_cast<LPARAM>(folder));
            if (folderLength > 0) length += static_cast<size_t>(folderLength);
        }
        if (length >= MAX_PATH) {
            ShowAnswerBox(dialog,
                          TextOr(IDS_FILE_PATH_TOO_LONG,
                                 L"The path of the file is too long (259 characters at most).\n"
                                 L"Please move the file to a folder with a shorter path and choose it again.")
                              .GetString(),
                          TextOr(IDS_ENGINE_ERROR_CAPTION, L"Error").GetString(), AnswerButtons::Ok, nullptr);
            return 0;
        }
    } else if (msg == WM_NCDESTROY) {
        ::SetWindowLongPtrW(dialog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc));
        ::RemovePropW(dialog, kGuardedProc);
    }
    return ::CallWindowProcW(proc, dialog, msg, wParam, lParam);
}
