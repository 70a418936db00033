// The paths the agent opens for a client: a whole path on a drive and
// nothing else, whatever form Windows would still accept.
#include "LocalPath.h"

#include <gtest/gtest.h>

#include <string>

using namespace agentcore;

namespace {

std::string refusal(const std::string& path) {
    const char* why = localPathRefusal(path);
    return why ? why : "";
}

}  // namespace

TEST(LocalPath, WholePathsOnADriveAreTaken) {
    for (const char* path : {"C:\\Users\\alice\\.ssh\\id_ed25519", "d:\\keys\\id_rsa.pub", "Z:\\", "C:\\a\\..\\b",
                             "C:\\keys\\console", "C:\\keys\\nullable.key", "C:\\keys\\COM10", "C:\\keys\\LPT",
                             "C:\\keys\\con_backup", "C:\\keys/sub/id_rsa", "C:\\keys\\.con"})
        EXPECT_EQ(localPathRefusal(path), nullptr) << path;
}

TEST(LocalPath, SharesDevicePathsAndRelativePathsAreRefused) {
    const std::string share = "refused, a path of another computer", device = "refused, a device path",
                      relative = "refused, not a whole path from a drive";
    for (const char* path : {"\\\\server\\share\\id_rsa", "//server/share/id_rsa", "\\/server\\share", "\\\\server"})
        EXPECT_EQ(refusal(path), share) << path;
    for (const char* path : {"\\\\?\\C:\\keys\\id_rsa", "\\\\.\\C:\\keys\\id_rsa", "\\\\?\\UNC\\server\\share\\x",
                             "\\??\\C:\\keys\\id_rsa", "//?/C:/keys/id_rsa", "\\\\.\\pipe\\openssh-ssh-agent"})
        EXPECT_EQ(refusal(path), device) << path;
    for (const char* path : {"id_rsa", ".ssh\\id_rsa", "..\\id_rsa", "\\keys\\id_rsa", "C:keys\\id_rsa", "C:", "C:/keys/id_rsa",
                             "1:\\keys", ":\\keys", "CC:\\keys"})
        EXPECT_EQ(refusal(path), relative) << path;
    EXPECT_EQ(refusal(""), "refused, an empty path");
}

TEST(LocalPath, StreamsDeviceNamesAndBadCharactersAreRefusedAnywhereInThePath) {
    for (const char* path : {"C:\\keys\\id_rsa:secret", "C:\\keys\\id_rsa::$DATA", "C:\\keys:x\\id_rsa"})
        EXPECT_EQ(refusal(path), "refused, a stream of a file") << path;
    for (const char* path : {"C:\\CON", "C:\\keys\\nul", "C:\\keys\\NUL.txt", "C:\\keys\\com1", "C:\\keys\\Lpt9.key",
                             "C:\\keys\\aux\\id_rsa", "C:\\keys\\prn .pub", "C:\\keys\\CONIN$", "C:\\keys/conout$",
                             "C:\\keys\\COM\xB9", "C:\\keys\\lpt0"})
        EXPECT_EQ(refusal(path), "refused, a device name") << path;
    for (std::string path : {std::string("C:\\keys\\id_rsa\0.pub", 19), std::string("C:\\keys\\*"), std::string("C:\\k?ys"),
                             std::string("C:\\keys\\a|b"), std::string("C:\\keys\\\"x\""), std::string("C:\\keys\\<x>"),
                             std::string("C:\\keys\\line\nbreak")})
        EXPECT_EQ(refusal(path), "refused, a character no file name holds") << path;
}

TEST(LocalPath, APathMustFitWhatTheAnsiFunctionsTake) {
    std::string longest = "C:\\" + std::string(256, 'k');
    EXPECT_EQ(longest.size(), 259u);
    EXPECT_EQ(localPathRefusal(longest), nullptr);
    EXPECT_EQ(refusal(longest + "k"), "refused, a path longer than Windows allows");
}
