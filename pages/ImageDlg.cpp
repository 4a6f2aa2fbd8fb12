#include "pages/ImageDlg.h"
#include <utility>
#include "pages/ProgressBar.h"
#include "app/PageChain.h"
#include "log/UpgradeLog.h"
#include "pages/PagePainter.h"
#include "framework/FileDialog.h"
#include "framework/WinApp.h"
#include "res/resource.h"

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
    // All files, no filter; a typed name of a file that does not exist is taken as well.
    // The page owns the dialog, so it takes no clicks while the dialog is up: no second
    // dialog, and no Cancel that closes the link under it.
    CFileDialog dialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, nullptr, this);
    if (dialog.DoModal() != IDOK) return;
    const CString chosen = dialog.GetPathName();
    if (chosen.GetLength() >= MAX_PATH) {
        // The image could not be opened by that name: say so here, where another file can
        // be chosen, rather than send nothing and fail the transfer.
        MessageBox(LoadText(IDS_PATH_TOO_LONG).c_str(), LoadText(IDS_ENGINE_ERROR_CAPTION).c_str(), MB_OK);
        return;
    }
    m_strImagePath = chosen;

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
