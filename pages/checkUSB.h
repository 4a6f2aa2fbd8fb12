// Device check page: shortly after it opens, it checks that the handheld answers on the
// USB link and routes the user: on to the image file page, back to the USB instructions,
// or to the not-ready page.
#pragma once
#include "framework/Dialog.h"
#include "device/USBUpdate.h"

class CCheckUSB : public CDialog {
public:
    explicit CCheckUSB(CWnd* pParent = nullptr);
    ~CCheckUSB() override;

    CUSBUpdate m_USBUpdate;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnTimer(UINT_PTR nIDEvent) override;
    BOOL OnPaint() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor) override;
    void CheckDevice();

    HICON m_hIcon;
};
