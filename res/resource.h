// Resource and control identifiers of the wizard, shared by the resource script and the code.
#pragma once

// Dialog templates, one per page
#define IDD_WELCOME         102
#define IDD_SELECT          104
#define IDD_IMAGE           106
#define IDD_END             109
#define IDD_CHECKUSB        111
#define IDD_USBNOTRDY       112
#define IDD_PROGRESS        113
#define IDD_WARNASYNOPEN    138
#define IDD_RESET           145
#define IDD_LICENSE         172

// Page artwork
#define IDB_WELCOME         163
#define IDB_RESET           166
#define IDB_SELECT          167
#define IDB_END             168
#define IDB_USBNOTRDY       169
#define IDB_STATUS          170
#define IDB_LICENSE         173

// Application icon
#define IDI_APP             175

// Controls
#define IDC_SELECT_BACK     3
#define IDC_IMAGE_FILE      1002
#define IDC_PROGRESS        1003
#define IDC_IMAGE_STATIC    1037
#define IDC_RESET_BACK      1068
#define IDC_LICENSE_ACCEPT  1081
#define IDC_LICENSE_DECLINE 1082
#define IDC_LICENSE_BACK    1084
#define IDC_LICENSE_TEXT    1100

// Commands and timers
#define IDC_START_TRANSFER  1025
#define IDT_START_TRANSFER  114
#define IDT_CHECK_DEVICE    115
#define ID_HELP             57670

// String resources: the license agreement in fourteen parts, then the page texts
#define IDS_LICENSE_FIRST   1
#define IDS_LICENSE_LAST    14
#define IDS_WELCOME_FIRST   15
#define IDS_LICENSE_TITLE   25
#define IDS_LICENSE_ACCEPT  28
#define IDS_LICENSE_DECLINE 29
#define IDS_RESET_FIRST     30
#define IDS_SELECT_FIRST    38
#define IDS_CHECKUSB_FIRST  47
#define IDS_PROGRESS_TEXT   49
#define IDS_END_FIRST       50
#define IDS_USBNOTRDY_FIRST 56
#define IDS_WARN_FIRST      62
#define IDS_IMAGE_FIRST     67
#define IDS_LAST_PAGE_TEXT  68
