// Reset page: how to put the handheld into its Image Upgrade mode.
#pragma once
#include "framework/Dialog.h"

class CResetDlg : public CDialog {
public:
    explicit CResetDlg(CWnd* pParent = nullptr);
    ~CResetDlg() override;

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
