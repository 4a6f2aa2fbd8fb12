#include "pages/ImageDlg.h"
#include <utility>
#include "pages/ProgressBar.h"
#include "app/PageChain.h"
#include "log/UpgradeLog.h"
#include "pages/PagePainter.h"
#include "framework/FileDialog.h"
#include "framework/Handles.h"
#include "framework/WinApp.h"
#include "res/resource.h"

namespace {

// Where the user last chose an image, kept for the next run: the folder the file dialog opens
// in. A value that is not a folder there now is as none.
const wchar_t kSettingsKey[] = L"Software\\ROM Upgrade Wizard";
const wchar_t kImageFolder[] = L"Image folder";

std::wstring LastImageFolder()
{
    RegistryKey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS) return {};
    wchar_t folder[MAX_PATH + 1] = L"";
    DWORD type = 0, size = sizeof folder - sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), kImageFolder, nullptr, &type, reinterpret_cast<BYTE*>(folder), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    folder[size / sizeof(wchar_t)] = L'\0';
    const DWORD attributes = ::GetFileAttributesW(folder);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? folder : std::wstring();
}

void RememberImageFolder(const std::wstring& image)
{
    const std::wstring folder = image.substr(0, image.find_last_of(L"\\/") + 1);
    RegistryKey key;
    if (folder.empty() || ::RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                            key.out(), nullptr) != ERROR_SUCCESS)
        return;
    ::RegSetValueExW(key.get(), kImageFolder, 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                     static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
}

// The dialog's choice of files, in the wizard's language: ROM images first, then any file.
std::wstring FileTypes()
{
    const std::wstring images = L"*.bin;*.nb0;*.nb1;*.img;*.rom";
    return LoadText(IDS_FILES_ROM) + L" (" + images + L")|" + images + L"|" + LoadText(IDS_FILES_ALL) + L" (*.*)|*.*||";
}

}  // namespace

CImageDlg::CImageDlg(CWnd* pParent) : CDialog(IDD_IMAGE, pParent), m_hIcon(AfxGetApp()->LoadIcon(IDI_APP)) {}
CImageDlg::~CImageDlg() = default;

void CImageDlg::DoDataExchange(CDataExchange* pDX) { CDialog::DoDataExchange(pDX); }

BOOL CImageDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    ExposePageText(m_hWnd, kImageRow);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    // What the page is for: the focus starts on "Image file", and Enter presses it.
    SendMessage(DM_SETDEFID, IDC_IMAGE_FILE);
    ::SetFocus(GetDlgItem(IDC_IMAGE_FILE));
    return FALSE;  // the focus is set
}

BOOL CImageDlg::OnButtonClicked(UINT nID)
{
    if (nID != IDC_IMAGE_FILE) return FALSE;
    OnImageFile();
    return TRUE;
}

void CImageDlg::OnImageFile()
{
    // ROM images, or any file; a typed name of a file that does not exist is taken as well.
    // The page owns the dialog, so it takes no clicks while the dialog is up: no second
    // dialog, and no Cancel that closes the link under it.
    const std::wstring types = FileTypes();
    CFileDialog dialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, types.c_str(), this);
    dialog.SetTitle(LoadText(IDS_OPEN_IMAGE_TITLE));
    dialog.SetInitialFolder(LastImageFolder());
    if (dialog.DoModal() != IDOK) return;
    const CString chosen = dialog.GetPathName();
    if (chosen.GetLength() >= MAX_PATH) {
        // The image could not be opened by that name: say so here, where another file can
        // be chosen, rather than send nothing and fail the transfer.
        MessageBox(LoadText(IDS_PATH_TOO_LONG).c_str(), LoadText(IDS_ENGINE_ERROR_CAPTION).c_str(), MB_OK);
        return;
    }
    m_strImagePath = chosen;
    RememberImageFolder(chosen.str());

    CProgressBar progress;
    progress.m_strImagePath = m_strImagePath;
    progress.m_USBUpdate = std::move(m_USBUpdate);
    // This page stays the main window while the transfer runs.
    if (RunNextPage(*this, progress, MainWindow::Keep) == kChooseAnotherImage) {
        // Nothing was sent: the link comes back, still open, for another image.
        m_USBUpdate = std::move(progress.m_USBUpdate);
        ShowWindow(SW_SHOW);
        return;
    }
    CDialog::OnOK();
}

void CImageDlg::OnCancel()
{
    // The handheld answered, and the user ended the run before any image went to it.
    LogCancelled(L"RomUpgradeWizard", m_USBUpdate, CUSBUpdate::kReady);
    m_USBUpdate.Close();
    ::PostQuitMessage(0);
    CDialog::OnCancel();
}

BOOL CImageDlg::OnPaint()
{
    PaintPage(m_hWnd, kImageRow);
    return TRUE;
}
HBRUSH CImageDlg::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    return CDialog::OnCtlColor(dc, control, nCtlColor);
}
