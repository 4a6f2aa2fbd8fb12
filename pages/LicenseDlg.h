// License page: the agreement in a read-only box, accept or decline, Back to a new welcome page.
#pragma once
#include "framework/Dialog.h"

class CLicenseDlg : public CDialog {
public:
    explicit CLicenseDlg(CWnd* pParent = nullptr);
    ~CLicenseDlg() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;  // Next
    void OnCancel() override;
    BOOL OnButtonClicked(UINT nID) override;  // Back, the two radio buttons
    void SetAgreementText();
    BOOL OnPaint() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor) override;

    HICON m_hIcon;
};
