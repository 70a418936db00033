#include "PipeConflict.h"

#include <cstdio>
#include <vector>

namespace {

const char kServiceName[] = "ssh-agent";

bool equalIgnoringCase(const std::string &first, const std::string &second) {
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, first.c_str(), -1, second.c_str(), -1) == CSTR_EQUAL;
}

std::string formatted(const std::string &format, const std::string &pipe, const std::string *program,
                      DWORD processId) {
    std::vector<char> text(format.size() + pipe.size() + (program ? program->size() : 0) + 64);
    if (program)
        std::snprintf(text.data(), text.size(), format.c_str(), pipe.c_str(), program->c_str(),
                      static_cast<unsigned long>(processId));
    else
        std::snprintf(text.data(), text.size(), format.c_str(), pipe.c_str(), static_cast<unsigned long>(processId));
    return text.data();
}

}  // namespace

std::string openSshServiceImage() {
    char windows[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    if (length == 0 || length >= sizeof windows) return std::string();
    return std::string(windows) + "\\System32\\OpenSSH\\ssh-agent.exe";
}

DWORD openSshServiceProcessId() {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager) return 0;
    DWORD processId = 0;
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS);
    if (service) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status), sizeof status,
                                 &needed) &&
            status.dwCurrentState != SERVICE_STOPPED)
            processId = status.dwProcessId;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return processId;
}

PipeHolderKind kindOfHolder(const ServerProcess &holder, const std::string &serviceImage, DWORD serviceProcessId) {
    if (holder.processId == 0) return PipeHolderKind::Unknown;
    if (holder.processId == serviceProcessId) return PipeHolderKind::OpenSshService;
    if (!holder.program.empty() && !serviceImage.empty() && equalIgnoringCase(holder.program, serviceImage))
        return PipeHolderKind::OpenSshService;
    return PipeHolderKind::OtherProgram;
}

PipeHolderKind kindOfHolder(const ServerProcess &holder) {
    if (holder.processId == 0) return PipeHolderKind::Unknown;
    return kindOfHolder(holder, openSshServiceImage(), openSshServiceProcessId());
}

std::string pipeConflictMessage(const PipeConflictTexts &texts, const std::string &pipe, const ServerProcess &holder,
                                PipeHolderKind kind) {
    if (kind == PipeHolderKind::OpenSshService) return formatted(texts.byService, pipe, NULL, holder.processId);
    if (kind != PipeHolderKind::OtherProgram) return std::string();
    const std::string &program = holder.program.empty() ? texts.unknownProgram : holder.program;
    return formatted(texts.byProgram, pipe, &program, holder.processId);
}

std::string holderDescription(const ServerProcess &holder, PipeHolderKind kind) {
    if (kind == PipeHolderKind::Unknown) return "a program that cannot be named";
    std::string program = holder.program.empty() ? "a program that cannot be read" : "the program " + holder.program;
    std::string description = program + " (process " + std::to_string(holder.processId) + ")";
    if (kind == PipeHolderKind::OpenSshService)
        description += ", the Windows service \"OpenSSH Authentication Agent\" (ssh-agent)";
    return description;
}
