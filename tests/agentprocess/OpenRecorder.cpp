// Registered by the tests as the program that opens ".txt" files, so that
// the shell's "open" of the agent log ends here instead of in an editor:
//   open_recorder.exe <log file> <the file the shell opens>...
// Appends "opened <argument>" to the log for each argument after the first.
#include <windows.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc < 2)
        return 2;
    std::string lines;
    for (int i = 2; i < __argc; ++i)
        lines += std::string("opened ") + __argv[i] + "\r\n";
    if (__argc == 2)
        lines = "opened nothing\r\n";
    HANDLE file = CreateFileA(__argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    DWORD written;
    WriteFile(file, lines.data(), static_cast<DWORD>(lines.size()), &written, NULL);
    CloseHandle(file);
    return 0;
}
