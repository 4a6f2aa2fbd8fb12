// Device check page: shortly after it opens, it checks that the handheld answers on the
// USB link and routes the user: on to the image file page, back to the USB instructions,
// or to the not-ready page.
//
// The pause before the check and the handshake run on a thread of their own (every wait of
// the link has an end, see CUSBUpdate), so the page stays alive meanwhile; Esc or the close
// box stops the check and ends the page.
#pragma once
#include <optional>
#include <vector>
#include "framework/Dialog.h"
#include "framework/Handles.h"
#include "power/KeepAwake.h"
#include "device/LinkThread.h"
#include "device/USBUpdate.h"

class CCheckUSB : public CDialog, private LinkReporter {
public:
    explicit CCheckUSB(CWnd* pParent = nullptr);
    ~CCheckUSB() override;

    CUSBUpdate m_USBUpdate;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnTimer(UINT_PTR nIDEvent) override;
    BOOL OnButtonClicked(UINT nID) override;  // the end of the check
    void OnOK() override;
    void OnCancel() override;
    BOOL OnPaint() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor) override;
    void CheckDevice();
    void RouteDevice(int answer);
    void OpenInstructionsAgain();
    void OpenNotReady();

    HICON m_hIcon;

private:
    // The engine's errors during the check wait here, to be shown on the page's own thread.
    void ReportError(const CString& text, DWORD error) override;
    void StopCheck();
    // The record of a check that ends the run's road here.
    void Record(int handshake, const char* refusedFor = nullptr);

    UniqueHandle m_stop{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    int m_nAnswer = CUSBUpdate::kStopped;
    bool m_checking = false;  // from the start of the check to its answer
    std::vector<CString> m_errors;
    // From the handshake to the end of the transfer the computer stays awake.
    std::optional<KeepAwake> m_awake;
    LinkThread m_check;  // last: it ends before the members it uses go
};
