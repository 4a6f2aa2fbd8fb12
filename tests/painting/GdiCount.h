// How many GDI objects another process holds, measured from outside it.
//
// GetGuiResources(process, GR_GDIOBJECTS) is the documented measure. Wine 8 does not implement
// it (it returns 0 for every process), so where it gives 0 the count is read from the process's
// own GDI handle table instead: Wine, like Windows, publishes the table's address in the
// process environment block (PEB.GdiSharedHandleTable) and marks a free entry with type 0, so
// the live entries are the objects the process holds, stock objects included.
#pragma once
#include <windows.h>
#include <string>

namespace painting {

struct GdiCount {
    long objects = -1;   // -1: no measure available
    std::string source;  // "GetGuiResources" or "handle table"
    std::string detail;  // objects by type, for the log
};

// `process` needs PROCESS_QUERY_INFORMATION and PROCESS_VM_READ (a handle from CreateProcess has both).
GdiCount CountGdiObjects(HANDLE process);

}  // namespace painting
