#include <gtest/gtest.h>

#include <string>

#include "PathScan.h"

namespace {

// Lead bytes of code page 932 (Shift-JIS).
int isShiftJisLeadByte(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

int noLeadBytes(unsigned char)
{
    return 0;
}

std::string directoryOf(const std::string &path, LeadBytePredicate isLead)
{
    return path.substr(0, directoryPrefixLength(path.c_str(), isLead));
}

TEST(DirectoryPrefix, KeepsTheTrailingBackslashOfTheLastSeparator)
{
    EXPECT_EQ(directoryOf("C:\\Program Files\\Glimmerpad\\gagent.exe", noLeadBytes),
              "C:\\Program Files\\Glimmerpad\\");
    EXPECT_EQ(directoryOf("C:\\gagent.exe", noLeadBytes), "C:\\");
    EXPECT_EQ(directoryOf("\\\\server\\share\\gagent.exe", noLeadBytes), "\\\\server\\share\\");
}

TEST(DirectoryPrefix, IsEmptyWithoutAnySeparator)
{
    EXPECT_EQ(directoryPrefixLength("gagent.exe", noLeadBytes), 0u);
    EXPECT_EQ(directoryPrefixLength("", noLeadBytes), 0u);
}

TEST(DirectoryPrefix, NeverTakesATrailByte0x5CForASeparator)
{
    // "\x95\x5C" is one character in code page 932, and it ends the name here.
    const std::string folder = "C:\\Keys\\\x95\x5C";
    EXPECT_EQ(directoryOf(folder + "\\gagent.exe", isShiftJisLeadByte), folder + "\\");
    EXPECT_EQ(directoryOf(folder, isShiftJisLeadByte), "C:\\Keys\\");
    // The same bytes in a single-byte code page are two characters.
    EXPECT_EQ(directoryOf(folder, noLeadBytes), folder);
}

TEST(DirectoryPrefix, StepsOverConsecutiveDoubleByteCharacters)
{
    const std::string name = "C:\\\x83\x5C\x83\x74\x83\x67\\\x95\x5C.exe";
    EXPECT_EQ(directoryOf(name, isShiftJisLeadByte), "C:\\\x83\x5C\x83\x74\x83\x67\\");
}

TEST(DirectoryPrefix, ALeadByteAtTheEndDoesNotReadPastTheTerminator)
{
    // Under AddressSanitizer an overread of this exact-size buffer is caught.
    const char path[] = {'C', ':', '\\', 'a', '\\', '\x95', '\0'};
    EXPECT_EQ(directoryPrefixLength(path, isShiftJisLeadByte), 5u);
}

} // namespace
