// What each page paints: its bitmap, the logical extent it is stretched to, and its lines.
#include "PagePainter.h"
#include "resource.h"

namespace {
constexpr SIZE kPageExtent{600, 350};
constexpr PageFont R = PageFont::Regular, B = PageFont::Bold, S = PageFont::Small;
constexpr COLORREF K = kTextBlack, E = kEmphasis;

const TextLine kWelcome[] = {
    {15, R, K, 270, 15},  {16, R, K, 270, 35},  {17, R, K, 270, 190}, {18, R, K, 270, 210},
    {19, R, K, 270, 230}, {20, R, K, 270, 250}, {21, R, K, 270, 270}, {22, B, E, 270, 85},
    {23, B, E, 270, 105}, {24, B, E, 270, 125},
};
const TextLine kLicense[] = {
    {25, R, K, 270, 15}, {26, R, K, 270, 35}, {27, R, K, 270, 55}, {28, S, K, 300, 245}, {29, S, K, 300, 273},
};
const TextLine kReset[] = {
    {30, R, K, 270, 115}, {31, R, K, 270, 195}, {32, R, K, 270, 215}, {33, B, E, 270, 15},
    {34, B, E, 270, 35},  {35, B, E, 270, 55},  {36, B, E, 270, 135}, {37, B, E, 270, 155},
};
const TextLine kSelect[] = {
    {38, R, K, 270, 15},  {39, R, K, 270, 35},  {40, R, K, 270, 75},  {41, R, K, 270, 95},  {42, R, K, 270, 150},
    {43, R, K, 270, 170}, {44, R, K, 270, 190}, {45, R, K, 270, 210}, {46, R, K, 270, 230},
};
const TextLine kCheckUSB[] = {{47, R, K, 50, 20}, {48, R, K, 50, 50}};
const TextLine kImage[] = {{67, R, K, 270, 15}, {68, R, K, 270, 35}};
const TextLine kProgress[] = {{49, R, K, 60, 85}};
const TextLine kEnd[] = {
    {50, R, K, 270, 15},  {51, R, K, 270, 150}, {52, R, K, 270, 170},
    {53, R, K, 270, 190}, {54, B, E, 270, 55},  {55, B, E, 270, 75},
};
const TextLine kUSBnotRdy[] = {
    {56, R, K, 270, 100}, {57, R, K, 270, 140}, {58, R, K, 270, 160},
    {59, R, K, 270, 190}, {60, R, K, 270, 210}, {61, B, E, 270, 15},
};
const TextLine kWarnASynOpen[] = {
    {62, R, K, 270, 110}, {63, R, K, 270, 130}, {64, R, K, 270, 150}, {65, B, E, 270, 15}, {66, B, E, 270, 35},
};
}  // namespace

const PageRow kWelcomeRow = MakeRow(IDB_WELCOME, kPageExtent, kWelcome);
const PageRow kLicenseRow = MakeRow(IDB_LICENSE, kPageExtent, kLicense);
const PageRow kResetRow = MakeRow(IDB_RESET, kPageExtent, kReset);
const PageRow kSelectRow = MakeRow(IDB_SELECT, kPageExtent, kSelect);
const PageRow kCheckUSBRow = MakeRow(IDB_STATUS, SIZE{300, 80}, kCheckUSB);
const PageRow kImageRow = MakeRow(IDB_RESET, kPageExtent, kImage);
const PageRow kProgressRow = MakeRow(IDB_STATUS, SIZE{350, 150}, kProgress);
const PageRow kEndRow = MakeRow(IDB_END, kPageExtent, kEnd);
const PageRow kUSBnotRdyRow = MakeRow(IDB_USBNOTRDY, kPageExtent, kUSBnotRdy);
const PageRow kWarnASynOpenRow = MakeRow(IDB_WELCOME, kPageExtent, kWarnASynOpen);
