#include "AgentLog.h"

#include "UnverifiedClient.h"
#include "UserIdentity.h"

#include <cstdio>
#include <mutex>

namespace {

// The log stays open between lines: opening and closing it for each one
// cost a signature a third of its time under load. Readers (Notepad, the
// "view log" command) may read and append beside the agent; nobody deletes
// or renames it while the agent writes, so no line goes to a file that is
// gone. The file is moved aside by the agent itself, after closing it.
class LogFile {
public:
    void open(const std::string& path, unsigned long limitBytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        close();
        path_ = path;
        limit_ = limitBytes;
    }

    void append(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (file_ == INVALID_HANDLE_VALUE && !reopen()) return;
        if (written_ >= limit_ && !moveAside()) return;
        DWORD done = 0;
        if (WriteFile(file_, line.data(), DWORD(line.size()), &done, nullptr)) {
            written_ += done;
        } else {
            // A later line tries a fresh handle (a folder that came back).
            close();
        }
    }

private:
    bool reopen() {
        file_ = CreateFileA(path_.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) return false;
        LARGE_INTEGER size;
        written_ = GetFileSizeEx(file_, &size) ? size.QuadPart : 0;
        return true;
    }

    // When another program holds the file and it cannot be moved, the agent
    // goes on appending and tries again after another full size.
    bool moveAside() {
        close();
        std::string older = path_ + ".old";
        MoveFileExA(path_.c_str(), older.c_str(), MOVEFILE_REPLACE_EXISTING);
        if (!reopen()) return false;
        if (written_ >= limit_) written_ = 0;
        return true;
    }

    void close() {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }

    std::mutex mutex_;
    std::string path_;
    unsigned long long limit_ = 1024 * 1024;
    unsigned long long written_ = 0;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

LogFile g_log;

// Line breaks in a key name would forge lines of their own.
std::string oneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    return out;
}

}  // namespace

void openAgentLog(const std::string& path, unsigned long limitBytes) { g_log.open(path, limitBytes); }

void logLine(const std::string& text) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    g_log.append(stamp + oneLine(text) + "\r\n");
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
        const std::string& program = event.clientProgram;
        line += " for " + (program.empty() ? std::string("an unnamed program") : program) + " (process " +
                std::to_string(event.clientProcess) + ")";
    }
    line += ": " + event.outcome;
    logLine(line);
}
