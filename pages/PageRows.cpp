// What each page paints: its bitmap, the logical extent it is stretched to, and its lines.
#include "pages/PagePainter.h"
#include "res/resource.h"

namespace {
constexpr SIZE kPageExtent{600, 350};
constexpr PageFont R = PageFont::Regular, B = PageFont::Bold, S = PageFont::Small;
constexpr COLORREF K = kTextBlack, E = kEmphasis;

const TextLine kWelcome[] = {
    {IDS_WELCOME_1, R, K, 270, 15},   {IDS_WELCOME_2, R, K, 270, 35},  {IDS_WELCOME_3, R, K, 270, 190},
    {IDS_WELCOME_4, R, K, 270, 210},  {IDS_WELCOME_5, R, K, 270, 230}, {IDS_WELCOME_6, R, K, 270, 250},
    {IDS_WELCOME_7, R, K, 270, 270},  {IDS_WELCOME_8, B, E, 270, 85},  {IDS_WELCOME_9, B, E, 270, 105},
    {IDS_WELCOME_10, B, E, 270, 125},
};
const TextLine kLicense[] = {
    {IDS_LICENSE_1, R, K, 270, 15},  {IDS_LICENSE_2, R, K, 270, 35},  {IDS_LICENSE_3, R, K, 270, 55},
    {IDS_LICENSE_4, S, K, 300, 245}, {IDS_LICENSE_5, S, K, 300, 273},
};
const TextLine kReset[] = {
    {IDS_RESET_1, R, K, 270, 115}, {IDS_RESET_2, R, K, 270, 195}, {IDS_RESET_3, R, K, 270, 215},
    {IDS_RESET_4, B, E, 270, 15},  {IDS_RESET_5, B, E, 270, 35},  {IDS_RESET_6, B, E, 270, 55},
    {IDS_RESET_7, B, E, 270, 135}, {IDS_RESET_8, B, E, 270, 155},
};
const TextLine kSelect[] = {
    {IDS_SELECT_1, R, K, 270, 15},  {IDS_SELECT_2, R, K, 270, 35},  {IDS_SELECT_3, R, K, 270, 75},
    {IDS_SELECT_4, R, K, 270, 95},  {IDS_SELECT_5, R, K, 270, 150}, {IDS_SELECT_6, R, K, 270, 170},
    {IDS_SELECT_7, R, K, 270, 190}, {IDS_SELECT_8, R, K, 270, 210}, {IDS_SELECT_9, R, K, 270, 230},
};
const TextLine kCheckUSB[] = {{IDS_CHECKUSB_1, R, K, 50, 20}, {IDS_CHECKUSB_2, R, K, 50, 50}};
const TextLine kImage[] = {{IDS_IMAGE_1, R, K, 270, 15}, {IDS_IMAGE_2, R, K, 270, 35}};
const TextLine kProgress[] = {{IDS_PROGRESS_1, R, K, 60, 85}};
const TextLine kEnd[] = {
    {IDS_END_1, R, K, 270, 15},  {IDS_END_2, R, K, 270, 150}, {IDS_END_3, R, K, 270, 170},
    {IDS_END_4, R, K, 270, 190}, {IDS_END_5, B, E, 270, 55},  {IDS_END_6, B, E, 270, 75},
};
const TextLine kUSBnotRdy[] = {
    {IDS_USBNOTRDY_1, R, K, 270, 100}, {IDS_USBNOTRDY_2, R, K, 270, 140}, {IDS_USBNOTRDY_3, R, K, 270, 160},
    {IDS_USBNOTRDY_4, R, K, 270, 190}, {IDS_USBNOTRDY_5, R, K, 270, 210}, {IDS_USBNOTRDY_6, B, E, 270, 15},
};
const TextLine kWarnASynOpen[] = {
    {IDS_WARN_1, R, K, 270, 110}, {IDS_WARN_2, R, K, 270, 130}, {IDS_WARN_3, R, K, 270, 150},
    {IDS_WARN_4, B, E, 270, 15},  {IDS_WARN_5, B, E, 270, 35},
};
constexpr ControlText kNextCancel[] = {{IDOK, IDS_BUTTON_NEXT}, {IDCANCEL, IDS_BUTTON_CANCEL}};
constexpr ControlText kLicenseTexts[] = {
    {IDOK, IDS_BUTTON_NEXT}, {IDCANCEL, IDS_BUTTON_CANCEL}, {IDC_LICENSE_BACK, IDS_BUTTON_BACK}};
constexpr ControlText kResetTexts[] = {
    {IDOK, IDS_BUTTON_NEXT}, {IDCANCEL, IDS_BUTTON_CANCEL}, {IDC_RESET_BACK, IDS_BUTTON_BACK}};
constexpr ControlText kSelectTexts[] = {
    {IDOK, IDS_BUTTON_NEXT}, {IDCANCEL, IDS_BUTTON_CANCEL}, {IDC_SELECT_BACK, IDS_BUTTON_BACK}};
constexpr ControlText kNone[] = {{0, 0}};
constexpr ControlText kImageTexts[] = {{IDCANCEL, IDS_BUTTON_CANCEL}, {IDC_IMAGE_FILE, IDS_BUTTON_IMAGE_FILE}};
constexpr ControlText kProgressTexts[] = {{IDC_STALL_NOTE, IDS_STALL_NOTE}};
constexpr ControlText kEndTexts[] = {{IDOK, IDS_BUTTON_FINISH}};
constexpr ControlText kUSBnotRdyTexts[] = {{IDOK, IDS_BUTTON_EXIT}};
constexpr ControlText kWarnTexts[] = {{IDCANCEL, IDS_BUTTON_OK}};
}  // namespace

const PageRow kWelcomeRow = MakeRow(IDB_WELCOME, kPageExtent, kWelcome, kNextCancel);
const PageRow kLicenseRow = MakeRow(IDB_LICENSE, kPageExtent, kLicense, kLicenseTexts);
const PageRow kResetRow = MakeRow(IDB_RESET, kPageExtent, kReset, kResetTexts);
const PageRow kSelectRow = MakeRow(IDB_SELECT, kPageExtent, kSelect, kSelectTexts);
const PageRow kCheckUSBRow = MakeRow(IDB_STATUS, SIZE{300, 80}, kCheckUSB, kNone);
const PageRow kImageRow = MakeRow(IDB_RESET, kPageExtent, kImage, kImageTexts);
const PageRow kProgressRow = MakeRow(IDB_STATUS, SIZE{350, 150}, kProgress, kProgressTexts);
const PageRow kEndRow = MakeRow(IDB_END, kPageExtent, kEnd, kEndTexts);
const PageRow kUSBnotRdyRow = MakeRow(IDB_USBNOTRDY, kPageExtent, kUSBnotRdy, kUSBnotRdyTexts);
const PageRow kWarnASynOpenRow = MakeRow(IDB_WELCOME, kPageExtent, kWarnASynOpen, kWarnTexts);
