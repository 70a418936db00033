// Key generation through the agent library as the key manager calls it:
// the staged OPENSSH.DLL, its generateKey slot, the agent it starts on a
// pipe of its own. Prints one line per key type, "<name> <ms> <ms> ...",
// the time of each call; tools/library-benchmark.sh sets them beside
// ssh-keygen. generate-benchmark.exe RUNS FOLDER
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "IAgent.h"
#include "KeyAgentHarness.h"
#include "Timing.h"

namespace {

struct Kind {
    const char *name;
    KeyTypeCode type;
    UINT32 bits;
};

std::string environment(const char *name)
{
    char value[MAX_PATH] = "";
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n < sizeof value ? value : "";
}

bool timeKind(IAgent *agent, const Kind &kind, int runs, const std::string &folder)
{
    std::printf("%s", kind.name);
    for (int i = 0; i < runs; ++i) {
        std::string path = folder + "\\" + kind.name + "-" + std::to_string(i);
        Stopwatch watch;
        AgentStatus status = agent->generateKey(path.c_str(), kind.type, kind.bits);
        double ms = watch.milliseconds();
        if (status != AGENT_OK || GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            std::printf(" failed:%d\n", status);
            return false;
        }
        std::printf(" %.1f", ms);
    }
    std::printf("\n");
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    int runs = std::atoi(argv[1]);
    std::string folder = argv[2];
    std::string pipe = "\\\\.\\pipe\\glimmerpad-generate-" + std::to_string(GetCurrentProcessId());
    SetEnvironmentVariableA("SSH_AUTH_SOCK", pipe.c_str());
    // The started agent keeps its data in the folder, not the user's.
    SetEnvironmentVariableA("APPDATA", folder.c_str());

    HMODULE library = LoadLibraryA((environment("GAGENT_STAGE") + "\\" AGENT_LIBRARY_NAME).c_str());
    NewIAgentFunction factory =
        library ? reinterpret_cast<NewIAgentFunction>(reinterpret_cast<void *>(GetProcAddress(library, NEW_IAGENT_EXPORT)))
                : NULL;
    IAgent *agent = NULL;
    if (!factory || factory(AGENT_INTERFACE_ID, &agent) != AGENT_OK || !agent->initialize()) {
        std::printf("the agent library did not load\n");
        return 1;
    }
    const Kind kinds[] = {{"ed25519", KEY_TYPE_ED25519, 0}, {"rsa3072", KEY_TYPE_RSA, 3072}};
    bool ok = true;
    for (const Kind &kind : kinds)
        ok = ok && timeKind(agent, kind, runs, folder);
    agent->destroy(1);
    agenttest::stopRunningAgent();
    FreeLibrary(library);
    return ok ? 0 : 1;
}
