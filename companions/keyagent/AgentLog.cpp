#include "AgentLog.h"

#include "UnverifiedClient.h"
#include "UserIdentity.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex g_logMutex;
std::string g_path;
unsigned long g_limit = 1024 * 1024;

// Line breaks in a key name would forge lines of their own.
std::string oneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    return out;
}

void keepUnderLimit() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(g_path.c_str(), GetFileExInfoStandard, &data)) return;
    if (data.nFileSizeHigh == 0 && data.nFileSizeLow < g_limit) return;
    std::string older = g_path + ".old";
    MoveFileExA(g_path.c_str(), older.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

void openAgentLog(const std::string& path, unsigned long limitBytes) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_path = path;
    g_limit = limitBytes;
}

void logLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    keepUnderLimit();
    FILE* f = std::fopen(g_path.c_str(), "a");
    if (!f) return;
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::fprintf(f, "%04u-%02u-%02u %02u:%02u:%02u %s\n", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                 oneLine(text).c_str());
    std::fclose(f);
}

std::string programOfProcess(DWORD processId) { return processImage(processId); }

void logEvent(const agentcore::AgentEvent& event) {
    std::string line = event.operation;
    if (!event.keyName.empty() || !event.fingerprint.empty()) {
        line += " key \"" + event.keyName + "\"";
        if (!event.fingerprint.empty()) line += " " + event.fingerprint;
    }
    if (event.clientProcess == kUnverifiedClient) {
        line += " for a program on PuTTY's Pageant path, not verified";
    } else if (event.clientProcess) {
        std::string program = programOfProcess(DWORD(event.clientProcess));
        line += " for " + (program.empty() ? std::string("an unnamed program") : program) + " (process " +
                std::to_string(event.clientProcess) + ")";
    }
    line += ": " + event.outcome;
    logLine(line);
}
