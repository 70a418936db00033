#include "AgentFiles.h"

#include "LocalConfiguration.h"
#include "SettingsWriter.h"

#include <windows.h>

#include <cstdio>

using namespace agentcore;

namespace {

const char* const kSettingsFile = "gAgent";

std::string settingsPath() {
    char folder[MAX_PATH];
    getUserKeyFolder(folder);
    // A user who never had keys has no key folder yet.
    if (folder[0]) CreateDirectoryA(folder, nullptr);
    // As the manager reads it: an unknown key folder leaves the bare name.
    return std::string(folder) + kSettingsFile;
}

}  // namespace

bool replaceFile(const std::string& path, const std::string& content) {
    std::string temporary = path + ".new";
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, content.data(), DWORD(content.size()), &written, nullptr) && written == content.size() &&
              FlushFileBuffers(file);
    CloseHandle(file);
    if (ok) ok = MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) DeleteFileA(temporary.c_str());
    return ok;
}

Policies loadPolicies(bool* notifyKeyUse) {
    INT32 confirmKeyOp = 0, allowAdd = 1, allowDelete = 1, notice = 0;
    readAgentSettings(confirmKeyOp, allowAdd, allowDelete, &notice);
    if (notifyKeyUse) *notifyKeyUse = notice != 0;
    Policies p;
    p.confirmKeyOp = confirmKeyOp != 0;
    p.allowAdd = allowAdd != 0;
    p.allowDelete = allowDelete != 0;
    return p;
}

bool saveSettings(const Policies& p, bool notifyKeyUse) {
    char text[256];
    if (!formatAgentSettings(p.confirmKeyOp, p.allowAdd, p.allowDelete, notifyKeyUse, text, sizeof text)) return false;
    return replaceFile(settingsPath(), text);
}

std::string verifierPath() {
    char appData[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("APPDATA", appData, sizeof appData);
    if (n == 0 || n >= sizeof appData) return std::string();
    std::string folder = std::string(appData) + "\\Glimmerpad";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder + "\\gkeyagent-passphrase";
}

Verifier loadVerifier(const std::string& path) {
    Verifier v;
    FILE* f = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
    if (!f) return v;
    char text[512];
    std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    parseVerifier(std::string(text, n), v);
    return v;
}

bool saveVerifier(const std::string& path, const Verifier& verifier) {
    if (path.empty()) return false;
    if (verifier.empty()) return DeleteFileA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    return replaceFile(path, formatVerifier(verifier));
}
