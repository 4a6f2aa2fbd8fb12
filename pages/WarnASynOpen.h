// Warning page: ActiveSync holds the USB link; its only way out ends the run.
#pragma once
#include "framework/Dialog.h"

class CWarnASynOpen : public CDialog {
public:
    explicit CWarnASynOpen(CWnd* pParent = nullptr);
    ~CWarnASynOpen() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;  // the "OK" button, Esc and the close box
    BOOL OnPaint() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor) override;

    HICON m_hIcon;
};
