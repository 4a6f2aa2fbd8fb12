// AnswerBox: a message box of our own, for every box the wizard shows. Windows labels its
// boxes' buttons in its own language, not in the one the wizard speaks; this one takes its
// buttons' words from our string table (English in a program without one).
// To automation and screen readers it is what a box is: a standard dialog window owned by the
// page, its text in a static control of id 0xFFFF, its icon in one of id 0x14, and buttons
// with the ids IDYES and IDNO, or IDOK. The default button has the focus from the start, and
// Esc or the close box answer as the safe button does (No, or OK).
#pragma once
#include <windows.h>
#include <string>

enum class AnswerButtons { Ok, YesNo };
// Where the box stands: centred on its owner, or beside it (below, else above) so that what
// the owner says stays in sight while the box is up.
enum class AnswerPlace { OverOwner, BesideOwner };

// Shows the box, modal to `owner` (none: a box of its own on the taskbar), and returns IDOK,
// IDYES or IDNO. `icon`: IDI_QUESTION, IDI_HAND, ..., or nullptr. With YesNo, No is the default.
int ShowAnswerBox(HWND owner, const std::wstring& text, const std::wstring& caption, AnswerButtons buttons,
                  LPCWSTR icon, AnswerPlace place = AnswerPlace::OverOwner);
