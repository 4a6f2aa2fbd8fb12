// The dialog framework the pages stand on: a window wrapper, a modal dialog with its own
// modal loop, data exchange, and the progress bar control.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include "framework/CString.h"

class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
    HICON SetIcon(HICON icon, BOOL big);
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    UINT IsDlgButtonChecked(int id) const { return ::IsDlgButtonChecked(m_hWnd, id); }
    void SetWindowText(const wchar_t* text) { ::SetWindowTextW(m_hWnd, text); }
    int MessageBox(const wchar_t* text, const wchar_t* caption, UINT type = MB_OK);
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse) { return ::SetTimer(m_hWnd, id, elapse, nullptr); }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
    BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0)
    {
        return ::PostMessageW(m_hWnd, msg, wParam, lParam);
    }
    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0)
    {
        return ::SendMessageW(m_hWnd, msg, wParam, lParam);
    }

    HWND m_hWnd = nullptr;
};

class CDialog;

// Direction and target of one data exchange between a dialog's controls and its members.
struct CDataExchange {
    BOOL m_bSaveAndValidate;
    CDialog* m_pDlgWnd;
};

// Binds a member window object to the dialog's control nID.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& control);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // Creates the page from its template, runs the modal loop until the page ends, destroys
    // the window and returns the end code; -1 when a quit message ended the loop. A page that
    // cannot be created is reported in an error box and ends the run: -1, with a quit posted.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult);
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange* pDX);
    virtual void OnOK();
    virtual void OnCancel();

protected:
    // Handlers, reached from the window procedure. Each default behaves as the framework's.
    virtual BOOL OnCommand(UINT nID, UINT nCode);  // IDOK, IDCANCEL, then OnButtonClicked
    virtual BOOL OnButtonClicked(UINT nID);        // a button click or a posted command; FALSE: not handled
    virtual void OnTimer(UINT_PTR nIDEvent);
    virtual BOOL OnPaint();  // FALSE: let the dialog manager paint
    virtual HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor);
    virtual HCURSOR OnQueryDragIcon();  // nullptr: the class default
    virtual BOOL OnQueryEndSession();   // FALSE asks Windows not to end the session now
    virtual BOOL OnLButtonDown(POINT at);  // a click on the page itself, in client coordinates

    UINT m_nIDTemplate;

private:
    static INT_PTR CALLBACK DialogProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    INT_PTR RunModalLoop();

    bool m_bContinueModal = false;
    INT_PTR m_nModalResult = -1;
    CWnd* m_pParentWnd;
};

class CProgressCtrl : public CWnd {
public:
    void SetRange(short lower, short upper) { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper)); }
    int SetPos(int pos) { return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(pos))); }
    int SetStep(int step) { return static_cast<int>(SendMessage(PBM_SETSTEP, static_cast<WPARAM>(step))); }
    int StepIt() { return static_cast<int>(SendMessage(PBM_STEPIT)); }
};
