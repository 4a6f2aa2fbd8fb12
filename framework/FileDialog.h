// The common file-open dialog, as the image file page uses it.
#pragma once
#include <windows.h>
#include <commdlg.h>
#include <string>
#include "framework/Dialog.h"

class CFileDialog {
public:
    // `filter`: the file types as MFC takes them, "Name|pattern|Name|pattern||".
    CFileDialog(BOOL bOpenFileDialog, const wchar_t* defExt = nullptr, const wchar_t* fileName = nullptr,
                DWORD flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, const wchar_t* filter = nullptr,
                CWnd* pParentWnd = nullptr);
    // Runs the dialog modally, owned by the parent window given, which is disabled until the
    // dialog closes. Names of MAX_PATH characters or more are refused inside the dialog with an
    // error box, so the user can choose again: the program cannot open them.
    // IDOK once a name was chosen; IDCANCEL when the user cancelled or the dialog failed.
    INT_PTR DoModal();
    CString GetPathName() const { return CString(m_buffer.c_str()); }
    // The dialog's title, and the folder it opens in (empty: Windows' choice).
    void SetTitle(std::wstring title) { m_title = std::move(title); }
    void SetInitialFolder(std::wstring folder) { m_initialFolder = std::move(folder); }

private:
    static UINT_PTR CALLBACK HookProc(HWND hook, UINT msg, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK GuardProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);

    BOOL m_bOpen;
    std::wstring m_defExt, m_filter, m_title, m_initialFolder;
    std::wstring m_buffer;
    DWORD m_flags;
    CWnd* m_pParent;
};
