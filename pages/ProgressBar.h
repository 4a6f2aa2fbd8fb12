// Progress page: a second after it opens, it stages the image and sends the header and the
// blocks, stepping the bar and keeping the windows alive between blocks; then the finish
// page on success, or "image transfer Fail!".
#pragma once
#include "framework/Dialog.h"
#include "device/USBUpdate.h"

class CProgressBar : public CDialog {
public:
    explicit CProgressBar(CWnd* pParent = nullptr);
    ~CProgressBar() override;

    CUSBUpdate m_USBUpdate;
    CString m_strImagePath;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnTimer(UINT_PTR nIDEvent) override;
    BOOL OnButtonClicked(UINT nID) override;  // the start-transfer command
    BOOL OnPaint() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor) override;
    HCURSOR OnQueryDragIcon() override;
    void OnStartTransfer();
    void ShowError(CString text);

    CProgressCtrl m_Progress;
    HICON m_hIcon;
};
