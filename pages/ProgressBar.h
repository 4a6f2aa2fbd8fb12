// Progress page: a second after it opens, it stages the image and checks it against what its
// publisher gives beside it; then it shows the image and asks whether to write it (or refuses
// it, or a start on a low battery). On Yes it sends the header and the blocks, stepping the
// bar and the line of figures under the page's text; then the finish page on success, or
// "image transfer Fail!". On No or a refusal nothing is sent: the page ends with
// kChooseAnotherImage, the link still open, and the image file page shows itself again.
//
// The transfer runs on a thread of its own, so the page answers at every moment; it shows
// what the thread has done four times a second. From the start of the transfer to
// its end nothing closes the page (not the close box, Esc or Enter, nor the end of the
// Windows session): a handheld must never be left half-written by a page that went away.
#pragma once
#include <atomic>
#include <vector>
#include "framework/Dialog.h"
#include "framework/Handles.h"
#include <memory>
#include "device/LinkThread.h"
#include "image/PublisherChecks.h"
#include "device/Transfer.h"
#include "device/USBUpdate.h"

// The progress page's result when nothing was sent and another image may be chosen.
constexpr INT_PTR kChooseAnotherImage = IDRETRY;

class CProgressBar : public CDialog, private LinkReporter, private TransferObserver {
public:
    explicit CProgressBar(CWnd* pParent = nullptr);
    ~CProgressBar() override;

    CUSBUpdate m_USBUpdate;
    CString m_strImagePath;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnTimer(UINT_PTR nIDEvent) override;
    BOOL OnButtonClicked(UINT nID) override;  // the start-transfer command and the transfer's end
    void OnOK() override;                     // nothing: Enter never ends the page
    void OnCancel() override;                 // likewise
    BOOL OnQueryEndSession() override;
    BOOL OnPaint() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT nCtlColor) override;
    HCURSOR OnQueryDragIcon() override;
    void OnStartTransfer();
    void OnImageStaged();
    void OnTransferDone();
    void ShowError(CString text);

    CProgressCtrl m_Progress;
    HICON m_hIcon;

private:
    // On the transfer's thread: what it did, for the page to show.
    void OnStaged(int blockCount) override;
    void OnBlockSent(int sent, int blockCount) override;
    void ReportError(const CString& text, DWORD error) override;
    bool StopRequested() override { return m_bStopping.load(std::memory_order_relaxed); }

    // On the page's thread: the status text, the bar and the stall line as they now stand.
    void ShowProgress();
    // After a failed transfer: where it stopped, why, and what to do, in place of the page's
    // line and the figures.
    void ShowWhereItStopped();
    void ShowStalled(bool stalled);
    // Asks Windows not to end the session while the transfer runs, and gives the reason.
    void HoldSession(bool hold);
    // From staging to the end of the transfer, and back: the close box greyed, the session held.
    void SetBusy(bool busy);
    // The attempt's record, the engine's boxes, then the finish page or the failure box.
    void Finish();
    // Nothing was sent: records why, drops the staged image and ends for another choice.
    void ChooseAnother(bool declined, const char* refusedFor);

    std::atomic<int> m_nBlockCount{0};
    std::atomic<int> m_nSent{0};
    std::atomic<DWORD> m_dwLastTaken{0};  // tick count of the last block the handheld took
    DWORD m_dwSendStart = 0;                // tick count when the user said Yes
    std::atomic<bool> m_bStopping{false};  // the page is being torn down
    bool m_bTransferring = false;
    bool m_bStalledShown = false;
    int m_nShown = 0;
    CString m_strStatus;
    std::wstring m_strFigures;
    std::unique_ptr<PublisherChecks> m_checks;  // made and filled by staging
    TransferOutcome m_outcome;
    std::vector<CString> m_errors;  // the engine's errors during the transfer, shown after it
    GdiObject<HBRUSH> m_noteBrush;
    UniqueHandle m_stop{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    LinkThread m_transfer;  // last: it ends before the members it uses go
};
