// What the in-process tests share: the folders the test run names in its
// environment, the fixture resource module and its pattern texts.
#ifndef GAGENT_TEST_INPROCESSSUPPORT_H
#define GAGENT_TEST_INPROCESSSUPPORT_H

#include <windows.h>

#include <string>

#include "DialogBase.h"

namespace inprocess {

// A folder named by an environment variable of the test run (see
// tests/inprocess/CMakeLists.txt), without a trailing backslash; empty
// when the variable is unset.
inline std::string folderFromEnvironment(const char *name)
{
    char value[MAX_PATH];
    DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    if (length == 0 || length >= sizeof value)
        return std::string();
    std::string folder(value, length);
    if (folder.back() == '\\')
        folder.pop_back();
    return folder;
}

// The fixture resource module, loaded once for the whole run.
inline HMODULE fixtureModule()
{
    static HMODULE module =
        LoadLibraryA((folderFromEnvironment("GAGENT_TEST_FIXTURES") + "\\inprocess_fixture.dll").c_str());
    return module;
}

// The first `length` characters of a fixture pattern text: ten-character
// blocks of `letter`, the block's offset in four digits and five dots.
inline std::string patternText(char letter, size_t length)
{
    std::string text;
    for (size_t offset = 0; text.size() < length; offset += 10) {
        char block[16];
        wsprintfA(block, "%c%04u.....", letter, static_cast<unsigned>(offset));
        text += block;
    }
    text.resize(length);
    return text;
}

// Destroys a window when the test leaves its scope, before the objects
// declared ahead of it (a dialog's object must outlive its window).
class WindowGuard {
public:
    explicit WindowGuard(HWND window = NULL) : handle(window) {}
    ~WindowGuard()
    {
        if (handle != NULL && IsWindow(handle))
            DestroyWindow(handle);
    }
    WindowGuard(const WindowGuard &) = delete;
    WindowGuard &operator=(const WindowGuard &) = delete;

    HWND handle;
};

// A plain top-level window with the given frame rectangle.
inline HWND createPlainWindow(int x, int y, int width, int height, DWORD style = WS_OVERLAPPEDWINDOW)
{
    static ATOM windowClass = 0;
    if (windowClass == 0) {
        WNDCLASSA description;
        ZeroMemory(&description, sizeof description);
        description.lpfnWndProc = DefWindowProcA;
        description.hInstance = GetModuleHandleA(NULL);
        description.hCursor = LoadCursorA(NULL, IDC_ARROW);
        description.lpszClassName = "GagentInProcessPlain";
        windowClass = RegisterClassA(&description);
    }
    return CreateWindowExA(0, "GagentInProcessPlain", "plain", style, x, y, width, height, NULL, NULL,
                           GetModuleHandleA(NULL), NULL);
}

// A dialog object with nothing of its own: the framework's behaviour as is.
class PlainDialog : public DialogBase {
public:
    PlainDialog(HMODULE module, HWND owner) : DialogBase(module, owner) {}
};

} // namespace inprocess

#endif
