// Loads comctl32, comdlg32 and setupapi by name, the way a careless program would: run from a
// folder with planted DLLs, it shows that the planted ones are found there and leave their mark.
#include <windows.h>

int wmain()
{
    const wchar_t* names[] = {L"comctl32.dll", L"comdlg32.dll", L"setupapi.dll"};
    int loaded = 0;
    for (const wchar_t* name : names)
        if (::LoadLibraryW(name)) ++loaded;
    return loaded == 3 ? 0 : 1;
}
