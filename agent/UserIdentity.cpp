#include "UserIdentity.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Vista's right to query a process that runs elevated or as a service;
// XP's headers (this tree targets XP) do not name it.
const DWORD kQueryLimited = 0x1000;

HANDLE openForQuery(DWORD processId) {
    HANDLE process = OpenProcess(kQueryLimited, FALSE, processId);
    if (!process) process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    return process;
}

// Functions that kernel32 of XP lacks are read through pointers, so that
// the library still loads there.
template <typename Function> Function kernelFunction(const char *name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

bool queryImageName(HANDLE process, char *path, DWORD size) {
    typedef BOOL(WINAPI * QueryName)(HANDLE, DWORD, LPSTR, PDWORD);
    static QueryName query = kernelFunction<QueryName>("QueryFullProcessImageNameA");
    DWORD n = size;
    return query && query(process, 0, path, &n) && n > 0 && n < size;
}

}  // namespace

UserSid::~UserSid() { std::free(sid_); }

UserSid::UserSid(const UserSid &other) { assign(other.sid_); }

UserSid &UserSid::operator=(const UserSid &other) {
    if (this != &other) assign(other.sid_);
    return *this;
}

bool UserSid::assign(PSID sid) {
    std::free(sid_);
    sid_ = NULL;
    if (!sid || !IsValidSid(sid)) return false;
    DWORD size = GetLengthSid(sid);
    sid_ = std::malloc(size);
    if (sid_ && !CopySid(size, sid_, sid)) {
        std::free(sid_);
        sid_ = NULL;
    }
    return sid_ != NULL;
}

bool UserSid::sameAs(PSID other) const { return sid_ && other && IsValidSid(other) && EqualSid(sid_, other); }

bool UserSid::sameAs(const UserSid &other) const { return sameAs(other.sid_); }

std::string UserSid::text() const {
    if (!sid_) return std::string();
    std::string s = "S-1";
    SID_IDENTIFIER_AUTHORITY *authority = GetSidIdentifierAuthority(sid_);
    unsigned long long value = 0;
    for (int i = 0; i < 6; ++i) value = (value << 8) | authority->Value[i];
    char part[32];
    std::snprintf(part, sizeof part, "-%llu", value);
    s += part;
    UCHAR count = *GetSidSubAuthorityCount(sid_);
    for (UCHAR i = 0; i < count; ++i) {
        std::snprintf(part, sizeof part, "-%lu", static_cast<unsigned long>(*GetSidSubAuthority(sid_, i)));
        s += part;
    }
    return s;
}

UserSid tokenUser(HANDLE token) {
    UserSid result;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, NULL, 0, &size);
    if (size == 0) return result;
    TOKEN_USER *user = static_cast<TOKEN_USER *>(std::malloc(size));
    if (user && GetTokenInformation(token, TokenUser, user, size, &size)) result.assign(user->User.Sid);
    std::free(user);
    return result;
}

UserSid currentUser() {
    UserSid result;
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return result;
    result = tokenUser(token);
    CloseHandle(token);
    return result;
}

UserSid processUser(DWORD processId) {
    UserSid result;
    HANDLE process = openForQuery(processId);
    if (!process) return result;
    HANDLE token;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
        result = tokenUser(token);
        CloseHandle(token);
    }
    CloseHandle(process);
    return result;
}

bool windowOfCurrentUser(HWND window) {
    DWORD processId = 0;
    if (!window || !GetWindowThreadProcessId(window, &processId) || processId == 0) return false;
    return processUser(processId).sameAs(currentUser());
}

bool pipeServerProcessId(HANDLE pipe, DWORD &processId) {
    typedef BOOL(WINAPI * ServerId)(HANDLE, PULONG);
    static ServerId query = kernelFunction<ServerId>("GetNamedPipeServerProcessId");
    ULONG id = 0;
    processId = 0;
    if (!query || !query(pipe, &id) || id == 0) return false;
    processId = id;
    return true;
}

UserSid pipeClientUser(HANDLE pipe) {
    UserSid result;
    if (!ImpersonateNamedPipeClient(pipe)) return result;
    HANDLE token;
    // Opened as this process, not as the client: a client at the
    // identification level may not open objects itself.
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        result = tokenUser(token);
        CloseHandle(token);
    }
    // A thread that went on as its client would do everything after with
    // the client's rights; Windows' own advice is to end the process.
    if (!RevertToSelf()) TerminateProcess(GetCurrentProcess(), 1);
    return result;
}

std::string processImage(DWORD processId) {
    HANDLE process = openForQuery(processId);
    if (!process) return std::string();
    char path[MAX_PATH * 2];
    bool ok = queryImageName(process, path, sizeof path);
    CloseHandle(process);
    return ok ? std::string(path) : std::string();
}

bool sameFile(const std::string &first, const std::string &second) {
    BY_HANDLE_FILE_INFORMATION info[2];
    const std::string *paths[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        // No access asked: the attributes can be read of a program that is
        // running, and nothing is opened for reading or writing.
        HANDLE file = CreateFileA(paths[i]->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE) return false;
        BOOL ok = GetFileInformationByHandle(file, &info[i]);
        CloseHandle(file);
        if (!ok) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

std::string managerPipeName(const std::string &publicPipe) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
    UserSid user = tokenUser(token);
    TOKEN_STATISTICS statistics;
    DWORD size = 0;
    bool ok = !user.empty() && GetTokenInformation(token, TokenStatistics, &statistics, sizeof statistics, &size);
    CloseHandle(token);
    if (!ok) return std::string();
    char logon[40];
    std::snprintf(logon, sizeof logon, "%lx.%lx", static_cast<unsigned long>(statistics.AuthenticationId.HighPart),
                  static_cast<unsigned long>(statistics.AuthenticationId.LowPart));
    return publicPipe + "-glimmerpad-manager-" + user.text() + "-" + logon;
}
