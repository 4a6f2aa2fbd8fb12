// Entry point of the link engine tests: the program links with -municode, so GoogleTest
// starts from wmain.
#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
