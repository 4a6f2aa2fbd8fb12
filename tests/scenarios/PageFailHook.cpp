// A page that cannot be created, made from outside the shipped program: a test sets this
// hook on the wizard's thread, and it refuses the creation of the first page window made
// after that, as the system would for want of memory or window handles.
#include <windows.h>

#include <cwchar>

namespace {
const wchar_t kPageCaption[] = L"ROM Upgrade Wizard - R/D v 0.1";
bool g_refused = false;  // one page only, in the process that loaded the hook
}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK RefuseNextPage(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND && !g_refused) {
        const CREATESTRUCTW* cs = reinterpret_cast<CBT_CREATEWNDW*>(lParam)->lpcs;
        if (cs->lpszName && !IS_INTRESOURCE(cs->lpszName) && std::wcscmp(cs->lpszName, kPageCaption) == 0) {
            g_refused = true;
            return 1;  // the window is not created
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}
