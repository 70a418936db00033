// OPENSSH.DLL's one export: the factory of the key manager's agent object.
#include <windows.h>

#include <cstring>
#include <new>

#include "IAgent.h"
#include "OpenSshAgent.h"

namespace {

HINSTANCE g_module;

std::string libraryFolder() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(g_module, path, sizeof path);
    if (n == 0 || n >= sizeof path) return std::string();
    char *slash = std::strrchr(path, '\\');
    return slash ? std::string(path, slash + 1) : std::string();
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = module;
        DisableThreadLibraryCalls(module);
    }
    return TRUE;
}

// Status 1 for another interface, 2 when the agent cannot run on this
// machine at all (its program or a DLL it needs is missing beside the
// library), which has the manager offer to repair the installation.
extern "C" AgentStatus WINAPI newIAgent(const char *interfaceId, IAgent **agent) {
    if (!agent) return 1;
    *agent = NULL;
    if (!interfaceId || std::strcmp(interfaceId, AGENT_INTERFACE_ID) != 0) return 1;
    std::string folder = libraryFolder();
    if (folder.empty() || !OpenSshAgent::agentFilesPresent(folder)) return AGENT_E_UNAVAILABLE;
    OpenSshAgent *created = new (std::nothrow) OpenSshAgent(g_module, folder);
    if (!created) return 1;
    *agent = created;
    return AGENT_OK;
}
