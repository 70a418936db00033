// Test helper for the peer tests: waits for the agent's confirm dialog,
// prints what it names and presses Yes or No, as a user would.
//   confirm-answer.exe yes|no SECONDS
// Exit code 0 when the dialog came and was answered, 1 when it never came.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    int button = std::strcmp(argv[1], "yes") == 0 ? IDYES : IDNO;
    DWORD end = GetTickCount() + DWORD(std::atoi(argv[2])) * 1000;
    HWND dialog = nullptr;
    // Visible only once its texts are filled in: the window exists before.
    while (!((dialog = FindWindowA("#32770", "Glimmerpad Key Agent: Confirm Key Use")) && IsWindowVisible(dialog)) &&
           GetTickCount() < end)
        Sleep(50);
    if (!dialog) return 1;
    char key[256] = "", fingerprint[128] = "";
    GetDlgItemTextA(dialog, 101, key, sizeof key);
    GetDlgItemTextA(dialog, 102, fingerprint, sizeof fingerprint);
    std::printf("asked for key %s %s\n", key, fingerprint);
    std::fflush(stdout);
    PostMessageA(dialog, WM_COMMAND, button, 0);
    return 0;
}
