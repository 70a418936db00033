// The bridge of the tests and of make run: copies standard input to an
// agent pipe and the pipe to standard output, so that Linux's OpenSSH tools
// reach the agent through socat. The pipe is opened overlapped with one
// OVERLAPPED per direction: synchronous I/O on one handle would make the
// read block the write.
//   agent-relay.exe //./pipe/NAME   (or \\.\pipe\NAME, or a bare NAME)
#include <windows.h>

#include <cstring>
#include <string>

namespace {

HANDLE g_pipe;

bool overlappedIo(bool write, void* buffer, DWORD size, DWORD& done, HANDLE event) {
    OVERLAPPED ov = {};
    ov.hEvent = event;
    BOOL ok = write ? WriteFile(g_pipe, buffer, size, nullptr, &ov) : ReadFile(g_pipe, buffer, size, nullptr, &ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) return false;
    return GetOverlappedResult(g_pipe, &ov, &done, TRUE) != 0;
}

DWORD WINAPI pipeToStdout(void*) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[16384];
    for (;;) {
        DWORD n = 0;
        if (!overlappedIo(false, buffer, sizeof buffer, n, event) || n == 0) break;
        for (DWORD done = 0; done < n;) {
            DWORD w = 0;
            if (!WriteFile(out, buffer + done, n - done, &w, nullptr) || w == 0) ExitProcess(1);
            done += w;
        }
    }
    ExitProcess(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::string name = argv[1];
    for (char& c : name)
        if (c == '/') c = '\\';
    if (name.find('\\') == std::string::npos) name = "\\\\.\\pipe\\" + name;
    for (int attempt = 0; attempt < 50; ++attempt) {
        g_pipe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (g_pipe != INVALID_HANDLE_VALUE) break;
        if (GetLastError() != ERROR_PIPE_BUSY) return 1;
        WaitNamedPipeA(name.c_str(), 100);
    }
    if (g_pipe == INVALID_HANDLE_VALUE) return 1;
    HANDLE thread = CreateThread(nullptr, 0, pipeToStdout, nullptr, 0, nullptr);
    if (!thread) return 1;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[16384];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(in, buffer, sizeof buffer, &n, nullptr) || n == 0) break;
        for (DWORD done = 0; done < n;) {
            DWORD w = 0;
            if (!overlappedIo(true, buffer + done, n - done, w, event) || w == 0) return 1;
            done += w;
        }
    }
    // The client has said all it will: let the answers still on their way out
    // reach it before the pipe closes.
    WaitForSingleObject(thread, 200);
    return 0;
}
