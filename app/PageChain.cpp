#include "app/PageChain.h"
#include "framework/WinApp.h"

INT_PTR RunNextPage(CDialog& leaving, CDialog& next, MainWindow main)
{
    leaving.ShowWindow(SW_HIDE);
    if (main == MainWindow::Take) AfxGetApp()->m_pMainWnd = &next;
    return next.DoModal();
}

void FinishStep(CDialog& leaving, INT_PTR result, Ending ending)
{
    switch (ending) {
    case Ending::EndOK: leaving.CDialog::OnOK(); break;
    case Ending::EndCancel: leaving.CDialog::OnCancel(); break;
    case Ending::EndIfOK:
        if (result == IDOK)
            leaving.CDialog::OnOK();
        else
            leaving.ShowWindow(SW_SHOW);
        break;
    }
}
