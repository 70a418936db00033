// The executable's folder as the product composes paths from it.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "ModuleDirectory.h"

namespace {

TEST(ModuleDirectory, IsTheTestProgramsFolderWithATrailingBackslash)
{
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, program, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::string expected(program, length);
    expected.resize(expected.rfind('\\') + 1);

    char directory[MAX_PATH];
    memset(directory, 'x', sizeof directory);
    getModuleDirectory(directory);

    EXPECT_EQ(std::string(directory), expected);
}

} // namespace
