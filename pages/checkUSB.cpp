#include "pages/checkUSB.h"
#include <utility>
#include "pages/ImageDlg.h"
#include "app/PageChain.h"
#include "app/WizardApp.h"
#include "log/UpgradeLog.h"
#include "pages/PagePainter.h"
#include "pages/SelectDlg.h"
#include "pages/USBnotRdy.h"
#include "framework/WinApp.h"
#include "res/resource.h"

namespace {
constexpr UINT kCheckDelayMs = 100;
constexpr DWORD kSettleMs = 2000;  // the handheld needs a moment after the USB item is chosen
}  // namespace

CCheckUSB::CCheckUSB(CWnd* pParent) : CDialog(IDD_CHECKUSB, pParent), m_hIcon(AfxGetApp()->LoadIcon(IDI_APP)) {}

CCheckUSB::~CCheckUSB() { StopCheck(); }

void CCheckUSB::DoDataExchange(CDataExchange* pDX) { CDialog::DoDataExchange(pDX); }

BOOL CCheckUSB::OnInitDialog()
{
    CDialog::OnInitDialog();
    ExposePageText(m_hWnd, kCheckUSBRow);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    SetTimer(IDT_CHECK_DEVICE, kCheckDelayMs);
    return TRUE;
}

void CCheckUSB::OnTimer(UINT_PTR nIDEvent)
{
    // The page's only timer: the check runs once, after the page is on screen.
    KillTimer(IDT_CHECK_DEVICE);
    CheckDevice();
    CDialog::OnTimer(nIDEvent);
}

void CCheckUSB::CheckDevice()
{
    m_awake.emplace();
    m_checking = true;
    m_USBUpdate.SetReporter(this);
    m_USBUpdate.SetStopEvent(m_stop.get());
    m_check.Start(
        [this] {
            if (::WaitForSingleObject(m_stop.get(), kSettleMs) == WAIT_OBJECT_0) return;
            m_nAnswer = m_USBUpdate.Connect();
        },
        m_hWnd, IDC_CHECK_DONE);
}

BOOL CCheckUSB::OnButtonClicked(UINT nID)
{
    if (nID != IDC_CHECK_DONE) return FALSE;
    m_check.Wait();
    m_checking = false;
    m_USBUpdate.SetReporter(nullptr);
    m_USBUpdate.SetStopEvent(nullptr);
    if (m_nAnswer == CUSBUpdate::kStopped) return TRUE;  // the page is ending
    // The engine's own box ("Please press down USB item"), owned by no window, as ever.
    for (const CString& text : m_errors) m_USBUpdate.ShowError(text);
    m_errors.clear();
    RouteDevice(m_nAnswer);
    m_awake.reset();
    return TRUE;
}

void CCheckUSB::RouteDevice(int answer)
{
    switch (answer) {
    case CUSBUpdate::kReady: {
        DWORD error = 0;
        const PlugMemory::Look plug = theApp.TakePlug(m_USBUpdate.m_szDevicePath, &error);
        if (plug == PlugMemory::Look::Taken) {
            // Another upgrade took it in this plug: not again until it is plugged in anew, which
            // the user can do and then check again.
            Record(answer, "taken");
            m_USBUpdate.Close();
            MessageBox(LoadText(IDS_HANDHELD_TAKEN).c_str(), LoadText(IDS_ENGINE_ERROR_CAPTION).c_str(), MB_OK);
            OpenInstructionsAgain();
            break;
        }
        if (plug == PlugMemory::Look::NotOurs) {
            // Its name is another user's: not at all.
            m_USBUpdate.m_dwError = error;
            Record(CUSBUpdate::kNotOurs);
            m_USBUpdate.Close();
            MessageBox(LoadText(IDS_HANDHELD_NOT_OURS).c_str(), LoadText(IDS_ENGINE_ERROR_CAPTION).c_str(), MB_OK);
            OpenNotReady();
            break;
        }
        CImageDlg image;
        image.m_USBUpdate = std::move(m_USBUpdate);  // the open link goes on to the image file page
        OpenPage(*this, image, Ending::EndOK);
        break;
    }
    case CUSBUpdate::kWrongReply:
        Record(answer);
        // The next check opens the device anew; this handle is of no further use.
        m_USBUpdate.Close();
        OpenInstructionsAgain();
        break;
    case CUSBUpdate::kBusy:
        // Another program is writing to this handheld: once it is done, the user can check again.
        Record(answer);
        MessageBox(LoadText(IDS_HANDHELD_IN_USE).c_str(), LoadText(IDS_ENGINE_ERROR_CAPTION).c_str(), MB_OK);
        OpenInstructionsAgain();
        break;
    case CUSBUpdate::kNotOurs:
        // Its lock is another user's: for this run it is as good as absent.
        Record(answer);
        MessageBox(LoadText(IDS_HANDHELD_NOT_OURS).c_str(), LoadText(IDS_ENGINE_ERROR_CAPTION).c_str(), MB_OK);
        OpenNotReady();
        break;
    case CUSBUpdate::kNoDevice:
    case CUSBUpdate::kLookupFailed:
        Record(answer);
        OpenNotReady();
        break;
    default: break;
    }
}

// A new USB instructions page, whose Next runs the check again.
void CCheckUSB::OpenInstructionsAgain()
{
    CSelectDlg select;
    OpenPage(*this, select, Ending::EndIfOK);
}

void CCheckUSB::OpenNotReady()
{
    CUSBnotRdy notReady;
    OpenPage(*this, notReady, Ending::EndOK);
}

// The page has no button: Enter (a key held down on the page before) must not end the check.
void CCheckUSB::OnOK() {}

void CCheckUSB::OnCancel()
{
    const bool checking = m_checking;
    StopCheck();
    // Stopped by the user while the handheld was looked for or asked: the run ends here.
    if (checking) LogCancelled(L"RomUpgradeWizard", m_USBUpdate, CUSBUpdate::kStopped);
    m_USBUpdate.Close();
    m_awake.reset();
    CDialog::OnCancel();
}

// Ends the pause or the handshake at once and waits for the check's thread.
void CCheckUSB::StopCheck()
{
    if (m_stop) ::SetEvent(m_stop.get());
    m_check.Wait();
    m_nAnswer = CUSBUpdate::kStopped;
}

void CCheckUSB::ReportError(const CString& text, DWORD) { m_errors.push_back(text); }

void CCheckUSB::Record(int handshake, const char* refusedFor)
{
    UpgradeAttempt attempt(L"RomUpgradeWizard", m_USBUpdate);
    attempt.handshake = handshake;
    attempt.refusedFor = refusedFor;
    LogUpgrade(Conclude(attempt));
}

BOOL CCheckUSB::OnPaint()
{
    PaintPage(m_hWnd, kCheckUSBRow);
    return TRUE;
}
HBRUSH CCheckUSB::OnCtlColor(HDC dc, HWND control, UINT nCtlColor)
{
    return CDialog::OnCtlColor(dc, control, nCtlColor);
}
