// What the tests of the agent library share: OPENSSH.DLL loaded from a
// folder, and a fixture in which each test has its own pipe (SSH_AUTH_SOCK),
// home, key folder and application data; the library starts the agent,
// the test ends it, since one agent runs per session.
#ifndef GAGENT_TEST_AGENTLIBRARYFIXTURE_H
#define GAGENT_TEST_AGENTLIBRARYFIXTURE_H

#include "IAgent.h"
#include "KeyAgentHarness.h"

#include <memory>
#include <string>
#include <vector>

namespace librarytest {

using namespace agenttest;

// A key file of the fixtures named by GAGENT_FIXTURES.
inline std::string fixture(const std::string &name) {
    const char *dir = std::getenv("GAGENT_FIXTURES");
    return std::string(dir ? dir : "") + "\\" + name;
}

inline void drain(HWND w) {
    MSG msg;
    while (PeekMessageA(&msg, w, 0, 0, PM_REMOVE)) {
    }
}

// OPENSSH.DLL loaded from one folder, and its factory.
class Library {
public:
    explicit Library(const std::string &folder) : module(LoadLibraryA((folder + "\\OPENSSH.DLL").c_str())) {
        if (module)
            factory = reinterpret_cast<NewIAgentFunction>(
                reinterpret_cast<void *>(GetProcAddress(module, NEW_IAGENT_EXPORT)));
    }
    ~Library() {
        if (module) FreeLibrary(module);
    }
    bool loaded() const { return factory != nullptr; }
    HMODULE handle() const { return module; }
    AgentStatus make(const char *id, IAgent **agent) { return factory(id, agent); }

private:
    HMODULE module;
    NewIAgentFunction factory = nullptr;
};

struct Row {
    std::string name;
    KeyTypeCode type;
    std::string detail;
};

class AgentLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = makeTestHome("agent-library-");
        CreateDirectoryA((home_ + "\\keys").c_str(), nullptr);
        SetEnvironmentVariableA("USERPROFILE", home_.c_str());
        pipe_ = "\\\\.\\pipe\\glimmerpad-library-test-" + std::to_string(GetCurrentProcessId());
        SetEnvironmentVariableA("SSH_AUTH_SOCK", pipe_.c_str());
        // The library expands the key folder through the installer library,
        // which the manager finds beside itself; this program lies elsewhere.
        SetDllDirectoryA(stageDir().c_str());
        library_.reset(new Library(stageDir()));
        ASSERT_TRUE(library_->loaded()) << stageDir();
        ASSERT_EQ(library_->make(AGENT_INTERFACE_ID, &agent_), AGENT_OK);
        ASSERT_NE(agent_, nullptr);
        window_ = makeWindow();
    }
    void TearDown() override {
        if (agent_) agent_->destroy(1);
        stopRunningAgent();
        library_.reset();
        DestroyWindow(window_);
        removeTree(home_);
    }

    // The manager's order at start: initialize, then its window.
    void start() {
        ASSERT_TRUE(agent_->initialize());
        ASSERT_NE(agentWindow(5000), nullptr) << "the library started the agent";
        ASSERT_TRUE(WaitNamedPipeA(pipe_.c_str(), scaled(5000))) << "on the pipe SSH_AUTH_SOCK names";
        agent_->attachWindow(window_);
    }

    std::vector<Row> listed() {
        std::vector<Row> rows;
        KeyListEntry *entries = nullptr;
        UINT32 count = 0;
        EXPECT_EQ(agent_->getKeyList(&entries, &count), AGENT_OK);
        for (UINT32 i = 0; i < count; ++i) rows.push_back({entries[i].name, entries[i].typeCode, entries[i].detail});
        agent_->freeKeyList(&entries, count);
        EXPECT_EQ(entries, nullptr) << "freeKeyList takes the list back";
        return rows;
    }

    // A fixture key file in the test's key folder, with the files named
    // beside it (a certificate, say) and no others.
    std::string keyFile(const std::string &name, const std::vector<std::string> &beside = {}) {
        std::string path = home_ + "\\keys\\" + name;
        EXPECT_TRUE(CopyFileA(fixture(name).c_str(), path.c_str(), FALSE)) << fixture(name);
        for (const std::string &other : beside)
            EXPECT_TRUE(CopyFileA(fixture(other).c_str(), (home_ + "\\keys\\" + other).c_str(), FALSE));
        return path;
    }

    std::string home_, pipe_;
    std::unique_ptr<Library> library_;
    IAgent *agent_ = nullptr;
    HWND window_ = nullptr;
    ProductValue userDir_{"UserDir", "%GKEYAGENT_TEST_HOME%"};
    ProductValue logDir_{"LogDir", "%GKEYAGENT_TEST_HOME%"};
};

}  // namespace librarytest

#endif
