// License page: the agreement in a read-only box, accept or decline, Back to a new welcome page.
#pragma once
#include "framework/Dialog.h"
#include "framework/Handles.h"

class CLicenseDlg : public CDialog {
public:
    explicit CLicenseDlg(CWnd* pParent = nullptr);
    ~CLicenseDlg() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;  // Next
    void OnCancel() override;
    BOOL OnCommand(UINT nID, UINT nCode) override;  // also the radio buttons' focus
    BOOL OnButtonClicked(UINT nID) override;        // Back, the two radio buttons
    void SetAgreementText();
    // Where the page paints the caption of radio button `id`, in client coordinates, with room
    // for the focus round it.
    RECT CaptionFrame(int id) const;
    // What a click selects radio button `id` in: the button, its caption and the room between.
    RECT ChoiceArea(int id) const;
    BOOL OnLButtonDown(POINT at) override;
    void DrawRadioFocus();
    BOOL OnPaint() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor) override;

    HICON m_hIcon;
    GdiObject<HBRUSH> m_background;  // the radio buttons' own
};
