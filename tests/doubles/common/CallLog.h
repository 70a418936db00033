// Shared by the recording doubles: each call becomes one line appended to
// the file named by GAGENT_TEST_LOG, so a test can read what the product
// did, in order, across processes.
#ifndef GAGENT_TEST_CALLLOG_H
#define GAGENT_TEST_CALLLOG_H

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

inline void logCall(const char *format, ...)
{
    char path[MAX_PATH];
    if (GetEnvironmentVariableA("GAGENT_TEST_LOG", path, sizeof path) == 0)
        return;
    char line[2048];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line - 2, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    if (length > static_cast<int>(sizeof line) - 3)
        length = sizeof line - 3;
    line[length++] = '\r';
    line[length++] = '\n';
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line, length, &written, NULL);
    CloseHandle(file);
}

// An integer setting from the environment, or `fallback` when it is unset.
inline long scriptedNumber(const char *name, long fallback)
{
    char value[32];
    if (GetEnvironmentVariableA(name, value, sizeof value) == 0)
        return fallback;
    return strtol(value, NULL, 0);
}

#endif
