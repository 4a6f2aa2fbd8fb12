// Resource and control identifiers of the wizard, shared by the resource script and the code.
#pragma once
#include "device/EngineTexts.h"

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
#define IDC_STALL_NOTE      1004
#define IDC_PROGRESS_FIGURES 1005
// The controls that carry the painted lines' texts: this base plus the line's string id
#define IDC_PAGE_LINE_BASE  2000
#define IDC_IMAGE_STATIC    1037
#define IDC_RESET_BACK      1068
#define IDC_LICENSE_ACCEPT  1081
#define IDC_LICENSE_DECLINE 1082
#define IDC_LICENSE_BACK    1084
#define IDC_LICENSE_TEXT    1100
#define IDC_LICENSE_TEXT_NAME 1101

// Commands and timers
#define IDC_START_TRANSFER  1025
#define IDC_CHECK_DONE      1026
#define IDC_TRANSFER_DONE   1027
#define IDC_IMAGE_STAGED    1028
#define IDT_START_TRANSFER  114
#define IDT_CHECK_DEVICE    115
#define IDT_SHOW_PROGRESS   116
#define ID_HELP             57670

// String resources: the license agreement in fourteen parts, then the page texts
#define IDS_AGREEMENT_FIRST 1
#define IDS_AGREEMENT_LAST  14
#define IDS_WELCOME_1       15
#define IDS_WELCOME_2       16
#define IDS_WELCOME_3       17
#define IDS_WELCOME_4       18
#define IDS_WELCOME_5       19
#define IDS_WELCOME_6       20
#define IDS_WELCOME_7       21
#define IDS_WELCOME_8       22
#define IDS_WELCOME_9       23
#define IDS_WELCOME_10      24
#define IDS_LICENSE_1       25
#define IDS_LICENSE_2       26
#define IDS_LICENSE_3       27
#define IDS_LICENSE_4       28
#define IDS_LICENSE_5       29
#define IDS_RESET_1         30
#define IDS_RESET_2         31
#define IDS_RESET_3         32
#define IDS_RESET_4         33
#define IDS_RESET_5         34
#define IDS_RESET_6         35
#define IDS_RESET_7         36
#define IDS_RESET_8         37
#define IDS_SELECT_1        38
#define IDS_SELECT_2        39
#define IDS_SELECT_3        40
#define IDS_SELECT_4        41
#define IDS_SELECT_5        42
#define IDS_SELECT_6        43
#define IDS_SELECT_7        44
#define IDS_SELECT_8        45
#define IDS_SELECT_9        46
#define IDS_CHECKUSB_1      47
#define IDS_CHECKUSB_2      48
#define IDS_PROGRESS_1      49
#define IDS_END_1           50
#define IDS_END_2           51
#define IDS_END_3           52
#define IDS_END_4           53
#define IDS_END_5           54
#define IDS_END_6           55
#define IDS_USBNOTRDY_1     56
#define IDS_USBNOTRDY_2     57
#define IDS_USBNOTRDY_3     58
#define IDS_USBNOTRDY_4     59
#define IDS_USBNOTRDY_5     60
#define IDS_USBNOTRDY_6     61
#define IDS_WARN_1          62
#define IDS_WARN_2          63
#define IDS_WARN_3          64
#define IDS_WARN_4          65
#define IDS_WARN_5          66
#define IDS_IMAGE_1         67
#define IDS_IMAGE_2         68

// What the progress page says of the image before its first byte, and of the transfer
#define IDS_ASK_IMAGE       200
#define IDS_ASK_SUM_MATCH   201
#define IDS_ASK_SIGNED      202
#define IDS_ASK_UNCHECKED   203
#define IDS_ASK_SUM_UNUSABLE 204
#define IDS_ASK_BATTERY     205
#define IDS_ASK_WRITE       206
#define IDS_REFUSE_SUM      207
#define IDS_REFUSE_SIGNATURE 208
#define IDS_REFUSE_BATTERY  209
#define IDS_CHARGE_PERCENT  210
#define IDS_CHARGE_UNKNOWN  211
#define IDS_SIGNER_UNKNOWN  212
#define IDS_FIGURES         213
#define IDS_FIGURES_SPEED   214
#define IDS_FIGURES_LEFT    215
#define IDS_TIME_SECONDS    216
#define IDS_TIME_MINUTES    217
#define IDS_REFUSE_SIGNER   218
#define IDS_REFUSE_UNSIGNED 219

// Boxes of the pages, the pages' buttons and lines the pages set themselves
#define IDS_PATH_TOO_LONG   310
#define IDS_HANDHELD_IN_USE 311
#define IDS_CHECKREGISTRY   312
#define IDS_TRANSFER_FAIL   313
#define IDS_IMAGE_CHANGED   314
#define IDS_BUTTON_NEXT     320
#define IDS_BUTTON_CANCEL   321
#define IDS_BUTTON_BACK     322
#define IDS_BUTTON_IMAGE_FILE 323
#define IDS_BUTTON_FINISH   324
#define IDS_BUTTON_EXIT     325
#define IDS_BUTTON_OK       326
#define IDS_STALL_NOTE      327
#define IDS_BUTTON_YES      328
#define IDS_BUTTON_NO       329

// The progress bar's own text, the session's hold, and why a publisher's file was not taken
#define IDS_PROGRESS_NAME     220
#define IDS_PROGRESS_STARTING 221
#define IDS_PROGRESS_BLOCKS   222
#define IDS_SESSION_REASON    223
#define IDS_PAGE_NOT_SHOWN    315
#define IDS_FILE_PATH_TOO_LONG 316
#define IDS_HANDHELD_TAKEN     317
#define IDS_HANDHELD_NOT_OURS  318
#define IDS_WHY_ERROR         399
#define IDS_WHY_BASE          400  // + a Why code (image/CheckReason.h)
#define IDS_WHY_FILE_NOT_OPENED          401
#define IDS_WHY_FILE_TOO_LARGE           402
#define IDS_WHY_FILE_NOT_READ            403
#define IDS_WHY_UTF16_CUT_SHORT          404
#define IDS_WHY_CERTUTIL_NAMES_OTHER     405
#define IDS_WHY_NOT_CERTUTIL             406
#define IDS_WHY_NOT_CHECKSUM_LINE        407
#define IDS_WHY_TWO_CHECKSUMS            408
#define IDS_WHY_NO_CHECKSUM              409
#define IDS_WHY_DOES_NOT_NAME            410
#define IDS_WHY_NO_SHA256                411
#define IDS_WHY_NO_CRYPTOAPI             412
#define IDS_WHY_NO_SHA2_PROVIDER         413
#define IDS_WHY_DIGEST_NOT_SHA2          414
#define IDS_WHY_NOT_PKCS7                415
#define IDS_WHY_NOT_DETACHED             416
#define IDS_WHY_SIGNS_OTHER_CONTENT      417
#define IDS_WHY_NO_SIGNER                418
#define IDS_WHY_NOT_HASHED               419
#define IDS_WHY_CERTIFICATES_UNREADABLE  420
#define IDS_WHY_SIGNER_CERTIFICATE_MISSING 421
#define IDS_WHY_SIGNED_ATTRIBUTES_BAD    422
#define IDS_WHY_OTHER_BYTES              423
#define IDS_WHY_KEY_NOT_RSA              424
#define IDS_WHY_PSS_PARAMETERS           425
#define IDS_WHY_NOT_RSA_SIGNATURE        426
#define IDS_WHY_NOT_THE_SIGNERS          427
#define IDS_WHY_CHAIN_NOT_BUILT          428
#define IDS_WHY_CHAIN_THROUGH_TRUST_LIST 429
#define IDS_WHY_NO_TRUSTED_ROOT          430
#define IDS_WHY_CERTIFICATE_EXPIRED      431
#define IDS_WHY_NOT_SIGNED_BY            432
#define IDS_WHY_ISSUER_NOT_CA            433
#define IDS_WHY_NOT_FOR_CODE_SIGNING     434
#define IDS_WHY_CHAIN_STATUS             435
#define IDS_WHY_CHAIN_NOT_CHECKED        436
#define IDS_WHY_CHAIN_REFUSED            437
#define IDS_WHY_NOT_PINNED               438
#define IDS_WHY_POLICY_UNREADABLE        439
#define IDS_WHY_POLICY_NO_THUMBPRINT     440
#define IDS_WHY_SIGNERS_FILE_NOT_OPENED  441
#define IDS_WHY_SIGNERS_FILE_NOT_READ    442
#define IDS_WHY_SIGNERS_FILE_LINE        443
#define IDS_WHY_POLICY_VALUE_NOT_TEXT    444
#define IDS_WHY_POLICY_VALUE_EMPTY       445
#define IDS_WHY_SIGNERS_FILE_NAMES_NO_ONE 446
#define IDS_WHY_CERTIFICATE_MALFORMED    447
#define IDS_WHY_DISALLOWED               448
#define IDS_WHY_WEAK_CERTIFICATE_SIGNATURE 449
#define IDS_WHY_SIGNER_KEY_USAGE         450
#define IDS_WHY_CA_KEY_USAGE             451
