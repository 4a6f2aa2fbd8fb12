// String ids of what the link engine tells the user. The wizard's resources hold them in each
// of its languages; a program without them (romflash, the tests) gets the English in the code.
#pragma once

#define IDS_ENGINE_ERROR_CAPTION   300
#define IDS_ENGINE_PRESS_USB_ITEM  301
#define IDS_ENGINE_IMAGE_IN_USE    302
#define IDS_ENGINE_IMAGE_NOT_FOUND 303
#define IDS_ENGINE_IMAGE_TOO_LARGE 304
#define IDS_ENGINE_IMAGE_UNREADABLE 305
