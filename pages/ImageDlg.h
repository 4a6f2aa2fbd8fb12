// Image file page: the user picks the image file; the link and the path go on to the
// progress page. Cancel closes the link and ends the run.
#pragma once
#include "framework/Dialog.h"
#include "device/USBUpdate.h"

class CImageDlg : public CDialog {
public:
    explicit CImageDlg(CWnd* pParent = nullptr);
    ~CImageDlg() override;

    CUSBUpdate m_USBUpdate;
    CString m_strImagePath;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;
    BOOL OnButtonClicked(UINT nID) override;  // "Image file"
    BOOL OnPaint() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor) override;
    void OnImageFile();

    HICON m_hIcon;
};
