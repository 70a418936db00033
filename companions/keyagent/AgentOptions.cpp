#include "AgentOptions.h"

#include "AgentChannel.h"
#include "LocalConfiguration.h"

#include <cstdlib>
#include <cstring>

namespace {

std::string defaultLogPath() {
    char path[MAX_PATH];
    getAgentLogPath(path);
    if (char* end = std::strrchr(path, '\\')) {
        // The installer names a per-user folder that may not exist yet.
        std::string folder(path, end);
        CreateDirectoryA(folder.c_str(), nullptr);
        return path;
    }
    // No log folder: the bare name would land wherever the agent was
    // started from, which may be a folder the user cannot write.
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof temp, temp);
    std::string folder = temp;
    if (!folder.empty() && folder.back() != '\\') folder += '\\';
    return folder + path;
}

}  // namespace

AgentOptions readAgentOptions(int argc, char** argv) {
    AgentOptions options;
    options.pipeName = AGENT_DEFAULT_PIPE;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], AGENT_STARTED_BY_LIBRARY) == 0) options.startedByLibrary = true;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--pipe") == 0) {
            options.pipeName = argv[++i];
            if (options.pipeName.find('\\') == std::string::npos) options.pipeName = "\\\\.\\pipe\\" + options.pipeName;
        } else if (std::strcmp(argv[i], "--log") == 0) {
            options.logPath = argv[++i];
        } else if (std::strcmp(argv[i], "--confirm-timeout") == 0) {
            long seconds = std::strtol(argv[++i], nullptr, 10);
            if (seconds > 0 && seconds <= 3600) options.confirmTimeoutMs = DWORD(seconds) * 1000;
        }
    }
    if (options.logPath.empty()) options.logPath = defaultLogPath();
    return options;
}
