// USB instructions page: connect the cable and choose the USB item on the handheld.
#pragma once
#include "framework/Dialog.h"

class CSelectDlg : public CDialog {
public:
    explicit CSelectDlg(CWnd* pParent = nullptr);
    ~CSelectDlg() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;  // Next
    void OnCancel() override;
    BOOL OnButtonClicked(UINT nID) override;  // Back
    BOOL OnPaint() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor) override;

    HICON m_hIcon;
};
