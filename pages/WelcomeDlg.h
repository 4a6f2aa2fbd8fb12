// Welcome page: the first page and the bottom of the page chain.
#pragma once
#include "framework/Dialog.h"

class CWelcomeDlg : public CDialog {
public:
    explicit CWelcomeDlg(CWnd* pParent = nullptr);
    ~CWelcomeDlg() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;  // Next
    void OnCancel() override;
    HCURSOR OnQueryDragIcon() override;
    BOOL OnPaint() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor) override;

    HICON m_hIcon;
};
