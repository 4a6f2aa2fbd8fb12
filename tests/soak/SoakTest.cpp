// A long session of Back and Next through the instruction pages: every move stacks one more
// page and one more modal loop. Then Cancel must end the run with every hidden page closed.
// Prints the pages stacked and the program's USER and GDI object counts along the way.
#include <cstdio>
#include "tests/scenarios/Scenario.h"

using robot::Page;

namespace {

class Soak : public WizardScenario {
protected:
    DWORD Objects(DWORD kind) const { return ::GetGuiResources(wizard.Process(), kind); }
};

// One round of the instruction pages: welcome, reset, USB instructions, reset, license, welcome.
struct Move {
    int button;
    Page next;
};
constexpr Move kRound[] = {
    {IDOK, Page::Reset},
    {IDOK, Page::Select},
    {IDC_SELECT_BACK, Page::Reset},
    {IDC_RESET_BACK, Page::License},
    {IDC_LICENSE_BACK, Page::Welcome},
};

TEST_F(Soak, FiveHundredMovesThenCancelEndsTheRunCleanly)
{
    constexpr int kMoves = 500;
    StartWizard();
    // Wine answers GetGuiResources with 0; the windows of the process are counted as well.
    std::printf("%6s %6s %8s %8s %8s\n", "moves", "pages", "windows", "USER", "GDI");
    for (int move = 1; move <= kMoves; ++move) {
        const Move& m = kRound[(move - 1) % std::size(kRound)];
        ASSERT_TRUE(wizard.Press(m.button)) << "move " << move << " on " << Visible();
        ASSERT_TRUE(wizard.WaitForPage(m.next))
            << "move " << move << ": expected " << robot::PageName(m.next) << ", see " << Visible();
        if (move % 50 == 0 || move == 1) {
            const int pages = wizard.PageWindowCount();
            const int windows = wizard.WindowCount();
            std::printf("%6d %6d %8d %8lu %8lu\n", move, pages, windows, Objects(GR_USEROBJECTS),
                        Objects(GR_GDIOBJECTS));
            EXPECT_EQ(pages, move + 1) << "one page per move, the earlier ones hidden beneath";
        }
    }
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

}  // namespace
