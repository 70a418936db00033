// How the agent and its library tell who holds the public pipe, from the
// paths and process ids Windows gives, in the forms Wine does not show: the
// service's file spelt in another case, a system process whose file a user
// cannot read.
#include "PipeConflict.h"

#include <gtest/gtest.h>

namespace {

const char kServiceImage[] = "C:\\Windows\\System32\\OpenSSH\\ssh-agent.exe";

ServerProcess holder(DWORD processId, const std::string &program) {
    ServerProcess server;
    server.processId = processId;
    server.program = program;
    return server;
}

TEST(PipeHolderKind, DecidedFromPathsAndProcessIds) {
    // The service's file as Windows may spell it.
    EXPECT_EQ(kindOfHolder(holder(812, "c:\\WINDOWS\\system32\\openssh\\SSH-AGENT.EXE"), kServiceImage, 0),
              PipeHolderKind::OpenSshService);
    // A user cannot open a system service's process: its file stays
    // unknown, its process id is the service's.
    EXPECT_EQ(kindOfHolder(holder(812, ""), kServiceImage, 812), PipeHolderKind::OpenSshService);
    // The same name elsewhere is another program (Git's or a user's own ssh-agent).
    EXPECT_EQ(kindOfHolder(holder(812, "C:\\Program Files\\Git\\usr\\bin\\ssh-agent.exe"), kServiceImage, 0),
              PipeHolderKind::OtherProgram);
    EXPECT_EQ(kindOfHolder(holder(812, ""), kServiceImage, 0), PipeHolderKind::OtherProgram);
    // Nothing known of the holder is not the service that does not run.
    EXPECT_EQ(kindOfHolder(holder(0, ""), kServiceImage, 0), PipeHolderKind::Unknown);
    EXPECT_EQ(kindOfHolder(holder(0, kServiceImage), kServiceImage, 0), PipeHolderKind::Unknown);
}

TEST(PipeConflictMessage, NamesTheHolderOrLeavesTheUnknownToTheCaller) {
    PipeConflictTexts texts = {"service holds %s (process %lu)", "%s held by %s (process %lu)", "an unreadable program"};
    const std::string pipe = "\\\\.\\pipe\\openssh-ssh-agent";
    EXPECT_EQ(pipeConflictMessage(texts, pipe, holder(812, ""), PipeHolderKind::OpenSshService),
              "service holds \\\\.\\pipe\\openssh-ssh-agent (process 812)");
    EXPECT_EQ(pipeConflictMessage(texts, pipe, holder(77, "C:\\Tools\\other.exe"), PipeHolderKind::OtherProgram),
              "\\\\.\\pipe\\openssh-ssh-agent held by C:\\Tools\\other.exe (process 77)");
    EXPECT_EQ(pipeConflictMessage(texts, pipe, holder(77, ""), PipeHolderKind::OtherProgram),
              "\\\\.\\pipe\\openssh-ssh-agent held by an unreadable program (process 77)");
    EXPECT_EQ(pipeConflictMessage(texts, pipe, holder(0, ""), PipeHolderKind::Unknown), "");
    // A program path as long as Windows allows is not cut short.
    std::string longPath = "C:\\" + std::string(255, 'p') + "\\" + std::string(250, 'q') + ".exe";
    EXPECT_NE(pipeConflictMessage(texts, pipe, holder(77, longPath), PipeHolderKind::OtherProgram).find(longPath + " (process 77)"),
              std::string::npos);
}

}  // namespace
