// Finish page: the host's part of the upgrade is done.
#pragma once
#include "framework/Dialog.h"

class CEndDlg : public CDialog {
public:
    explicit CEndDlg(CWnd* pParent = nullptr);
    ~CEndDlg() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;  // Finish
    BOOL OnPaint() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor) override;

    HICON m_hIcon;
};
