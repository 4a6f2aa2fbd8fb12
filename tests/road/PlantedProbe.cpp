// Loads comctl32, comdlg32, setupapi and shell32 by name, the way a careless program would: run from a
// folder with planted DLLs, it shows that the planted ones are found there and leave their mark.
#include <windows.h>

int wmain()
{
    const wchar_t* names[] = {L"comctl32.dll", L"comdlg32.dll", L"setupapi.dll", L"shell32.dll"};
    int loaded = 0;
    for (const wchar_t* name : names)
        if (::LoadLibraryW(name)) ++loaded;
    return loaded == 4 ? 0 : 1;
}
