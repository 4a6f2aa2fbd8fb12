// Entry point of the link engine tests: the program links with -municode, so GoogleTest
// starts from wmain.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

namespace {

// A crash ends the program at once, failing its CTest entry, instead of leaving it to
// Wine's debugger until CTest's time limit.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* info)
{
    std::fprintf(stderr, "engine_tests crashed: exception 0x%08lx\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int AppendLogMode(int argc, wchar_t** argv);

int wmain(int argc, wchar_t** argv)
{
    ::SetUnhandledExceptionFilter(&EndOnCrash);
    const int appended = AppendLogMode(argc, argv);
    if (appended >= 0) return appended;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
