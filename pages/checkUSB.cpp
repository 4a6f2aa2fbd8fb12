#include "pages/checkUSB.h"
#include "pages/ImageDlg.h"
#include "app/PageChain.h"
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
CCheckUSB::~CCheckUSB() = default;

void CCheckUSB::DoDataExchange(CDataExchange* pDX) { CDialog::DoDataExchange(pDX); }

BOOL CCheckUSB::OnInitDialog()
{
    CDialog::OnInitDialog();
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
    ::Sleep(kSettleMs);
    switch (m_USBUpdate.Connect()) {
    case CUSBUpdate::kReady: {
        CImageDlg image;
        image.m_USBUpdate = m_USBUpdate;  // the open link goes on to the image file page
        OpenPage(*this, image, Ending::EndOK);
        break;
    }
    case CUSBUpdate::kWrongReply: {
        // The next check opens the device anew; this handle is of no further use.
        m_USBUpdate.Close();
        CSelectDlg select;
        OpenPage(*this, select, Ending::EndIfOK);
        break;
    }
    case CUSBUpdate::kBusy:
        // Another program is writing to this handheld; for this run it is as good as absent.
        MessageBox(L"Another upgrade is using the handheld. Wait until it has finished, then try again.", L"Error",
                   MB_OK);
        [[fallthrough]];
    case CUSBUpdate::kNoDevice: {
        CUSBnotRdy notReady;
        OpenPage(*this, notReady, Ending::EndOK);
        break;
    }
    default: break;
    }
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
