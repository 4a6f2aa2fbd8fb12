// The page chain: every move to another page is made inside the button handler of the page
// being left. It hides itself, runs the next page modally on its own stack and, when that
// returns, ends itself or shows itself again.
#pragma once
#include "framework/Dialog.h"

enum class MainWindow { Take, Keep };  // Keep: the leaving page stays the application's main window
enum class Ending { EndOK, EndCancel, EndIfOK };

// Hides `leaving`, makes `next` the main window (unless Keep) and runs it; returns DoModal's result.
INT_PTR RunNextPage(CDialog& leaving, CDialog& next, MainWindow main = MainWindow::Take);

// Ends `leaving` as a chain step's ending says, given the next page's result. For EndIfOK any
// result but IDOK (IDCANCEL, or -1 while a quit is under way) shows the page again.
void FinishStep(CDialog& leaving, INT_PTR result, Ending ending);

// Both in one: the usual chain step.
inline void OpenPage(CDialog& leaving, CDialog& next, Ending ending)
{
    FinishStep(leaving, RunNextPage(leaving, next), ending);
}
