// Not-ready page: the handheld did not answer; Exit ends the run.
#pragma once
#include "framework/Dialog.h"

class CUSBnotRdy : public CDialog {
public:
    explicit CUSBnotRdy(CWnd* pParent = nullptr);
    ~CUSBnotRdy() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    BOOL OnPaint() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor) override;

    HICON m_hIcon;
};
