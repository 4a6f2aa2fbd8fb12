#include "FileDialog.h"

namespace {
constexpr size_t kNameBuffer = 32768;  // room for the longest path Windows can name
}

CFileDialog::CFileDialog(BOOL bOpenFileDialog, const wchar_t* defExt, const wchar_t* fileName, DWORD flags,
                         const wchar_t* filter, CWnd* pParentWnd)
    : m_bOpen(bOpenFileDialog), m_defExt(defExt ? defExt : L""), m_filter(filter ? filter : L""),
      m_buffer(kNameBuffer, L'\0'), m_flags(flags), m_pParent(pParentWnd)
{
    if (fileName) m_buffer.replace(0, wcslen(fileName), fileName);
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
    ofn.Flags = m_flags | OFN_EXPLORER | OFN_ENABLESIZING;
    BOOL ok = m_bOpen ? ::GetOpenFileNameW(&ofn) : ::GetSaveFileNameW(&ofn);
    m_error = ok ? 0 : ::CommDlgExtendedError();
    if (!ok) return IDCANCEL;
    m_buffer.resize(wcslen(m_buffer.c_str()));
    return IDOK;
}
