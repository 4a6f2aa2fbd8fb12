#include "framework/AnswerBox.h"

#include <algorithm>
#include <vector>

#include "framework/CString.h"
#include "framework/Handles.h"
#include "res/resource.h"

namespace {

// The ids a message box gives its text and its icon: what automation looks for.
constexpr int kTextId = 0xFFFF;
constexpr int kIconId = 0x14;

struct BoxState {
    std::wstring text, caption;
    AnswerButtons buttons;
    LPCWSTR icon;
    AnswerPlace place;
    GdiObject<HFONT> font;
};

int SafeAnswer(const BoxState& box) { return box.buttons == AnswerButtons::YesNo ? IDNO : IDOK; }

HWND Child(HWND box, const wchar_t* cls, const std::wstring& text, DWORD style, int id, HFONT font)
{
    HWND child = ::CreateWindowExW(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, box,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr),
                                   nullptr);
    if (child && font) ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return child;
}

// Makes the controls and lays the box out as Windows lays out its own: the icon at the top
// left, the text beside it, the buttons at the bottom right, the box centred on its owner.
void Build(HWND box, BoxState& state)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        state.font = GdiObject<HFONT>(::CreateFontIndirectW(&metrics.lfMessageFont));
    HFONT font = state.font ? state.font.get() : static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    ::SetWindowTextW(box, state.caption.c_str());

    HDC dc = ::GetDC(box);
    TEXTMETRICW tm{};
    RECT textRect{0, 0, 0, 0};
    std::vector<SIZE> labels;
    std::vector<std::pair<int, std::wstring>> buttons;
    if (state.buttons == AnswerButtons::YesNo)
        buttons = {{IDYES, TextOr(IDS_BUTTON_YES, L"&Yes").GetString()},
                   {IDNO, TextOr(IDS_BUTTON_NO, L"&No").GetString()}};
    else
        buttons = {{IDOK, TextOr(IDS_BUTTON_OK, L"OK").GetString()}};
    {
        const SelectObjectGuard select(dc, font);
        ::GetTextMetricsW(dc, &tm);
        // As wide as the words need, up to about half the screen: then lines wrap.
        textRect.right = std::max(200L, static_cast<LONG>(::GetSystemMetrics(SM_CXSCREEN) / 2));
        ::DrawTextW(dc, state.text.c_str(), -1, &textRect, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
        for (const auto& button : buttons) {
            RECT r{0, 0, 0, 0};
            ::DrawTextW(dc, button.second.c_str(), -1, &r, DT_CALCRECT | DT_SINGLELINE);
            labels.push_back(SIZE{r.right, r.bottom});
        }
    }
    ::ReleaseDC(box, dc);

    const int unit = std::max(1L, tm.tmAveCharWidth);
    const int margin = 2 * unit + 4;
    const int iconSize = ::GetSystemMetrics(SM_CXICON);
    const int buttonHeight = tm.tmHeight * 7 / 4;
    int buttonWidth = 12 * unit + 2;
    for (const SIZE& label : labels) buttonWidth = std::max<int>(buttonWidth, label.cx + 4 * unit);
    const int gap = unit + 2;

    int x = margin;
    if (state.icon) {
        HWND icon = Child(box, L"STATIC", L"", SS_ICON, kIconId, nullptr);
        ::SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(::LoadIconW(nullptr, state.icon)), 0);
        ::MoveWindow(icon, margin, margin, iconSize, iconSize, FALSE);
        x += iconSize + margin;
    }
    const int textTop = margin + std::max(0, (iconSize - static_cast<int>(textRect.bottom)) / 2);
    HWND text = Child(box, L"STATIC", state.text, SS_LEFT | SS_NOPREFIX, kTextId, font);
    ::MoveWindow(text, x, textTop, textRect.right, textRect.bottom, FALSE);

    const int rowWidth = static_cast<int>(buttons.size()) * buttonWidth + static_cast<int>(buttons.size() - 1) * gap;
    const int clientWidth = std::max<int>(x + textRect.right + margin, rowWidth + 2 * margin);
    const int rowTop = std::max<int>(textTop + textRect.bottom, state.icon ? margin + iconSize : 0) + margin;
    const int clientHeight = rowTop + buttonHeight + margin;
    const int safe = SafeAnswer(state);
    int buttonLeft = clientWidth - margin - rowWidth;
    for (size_t i = 0; i < buttons.size(); ++i) {
        const bool isDefault = buttons[i].first == safe;
        HWND button = Child(box, L"BUTTON", buttons[i].second,
                            WS_TABSTOP | (i == 0 ? WS_GROUP : 0) | (isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON),
                            buttons[i].first, font);
        ::MoveWindow(button, buttonLeft, rowTop, buttonWidth, buttonHeight, FALSE);
        buttonLeft += buttonWidth + gap;
    }
    ::SendMessageW(box, DM_SETDEFID, safe, 0);

    RECT frame{0, 0, clientWidth, clientHeight};
    ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongW(box, GWL_STYLE)), FALSE,
                         static_cast<DWORD>(::GetWindowLongW(box, GWL_EXSTYLE)));
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    // Centred on its owner, and wholly on the owner's screen.
    HWND owner = ::GetWindow(box, GW_OWNER);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!::GetMonitorInfoW(::MonitorFromWindow(owner ? owner : box, MONITOR_DEFAULTTONEAREST), &monitor))
        ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &monitor.rcWork, 0);
    const RECT& work = monitor.rcWork;
    RECT around = work;
    const bool shown = owner && ::IsWindowVisible(owner);
    if (shown) ::GetWindowRect(owner, &around);
    int left = around.left + (around.right - around.left - width) / 2;
    int top = around.top + (around.bottom - around.top - height) / 2;
    if (shown && state.place == AnswerPlace::BesideOwner) {
        const int gap = ::GetSystemMetrics(SM_CYCAPTION) / 2;
        if (around.bottom + gap + height <= work.bottom)
            top = around.bottom + gap;
        else if (around.top - gap - height >= work.top)
            top = around.top - gap - height;
    }
    left = std::max<int>(work.left, std::min<int>(left, work.right - width));
    top = std::max<int>(work.top, std::min<int>(top, work.bottom - height));
    ::SetWindowPos(box, nullptr, left, top, width, height, SWP_NOZORDER);
    ::SetFocus(::GetDlgItem(box, safe));
}

INT_PTR CALLBACK BoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        auto* state = reinterpret_cast<BoxState*>(lParam);
        ::SetWindowLongPtrW(box, DWLP_USER, lParam);
        Build(box, *state);
        return FALSE;  // the focus is set
    }
    case WM_COMMAND: {
        const auto* state = reinterpret_cast<const BoxState*>(::GetWindowLongPtrW(box, DWLP_USER));
        const int id = LOWORD(wParam);
        if (id == IDYES || id == IDNO || id == IDOK) {
            ::EndDialog(box, id);
            return TRUE;
        }
        // Esc and the close box: the answer that writes nothing.
        if (id == IDCANCEL && state) {
            ::EndDialog(box, SafeAnswer(*state));
            return TRUE;
        }
        return FALSE;
    }
    default: return FALSE;
    }
}

}  // namespace

int ShowAnswerBox(HWND owner, const std::wstring& text, const std::wstring& caption, AnswerButtons buttons,
                  LPCWSTR icon, AnswerPlace place)
{
    BoxState state{text, caption, buttons, icon, place, {}};
    // An empty template: the controls are made and laid out once the words are measured.
    struct alignas(4) Template {
        DLGTEMPLATE dialog;
        WORD menu, windowClass, title;
    } tmpl{};
    tmpl.dialog.style = DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    const INT_PTR answer = ::DialogBoxIndirectParamW(::GetModuleHandleW(nullptr), &tmpl.dialog, owner, &BoxProc,
                                                     reinterpret_cast<LPARAM>(&state));
    return answer == IDYES || answer == IDNO || answer == IDOK ? static_cast<int>(answer) : SafeAnswer(state);
}
