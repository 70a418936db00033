#include "Driver.h"
#include "Watchdog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace e2e {

namespace {

std::string environmentValue(const char *name)
{
    char value[1024];
    DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// Wide functions, so that names outside the test's code page go too.
void removeTree(const std::wstring &path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

void createTree(const std::string &path)
{
    for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
        CreateDirectoryA(path.substr(0, at).c_str(), NULL);
    CreateDirectoryA(path.c_str(), NULL);
}

void copyOrFail(const std::string &from, const std::string &to)
{
    if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) {
        std::fprintf(stderr, "test driver: cannot copy %s to %s (error %lu)\n", from.c_str(),
                     to.c_str(), GetLastError());
        std::abort();
    }
}

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK collectWindow(HWND window, LPARAM context)
{
    WindowSearch *search = reinterpret_cast<WindowSearch *>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId)
        search->windows.push_back(window);
    return TRUE;
}

BOOL CALLBACK findMessageText(HWND child, LPARAM context)
{
    std::string *text = reinterpret_cast<std::string *>(context);
    if (windowClass(child) == "Static" && !windowText(child).empty()) {
        *text = windowText(child);
        return FALSE;
    }
    return TRUE;
}

} // namespace

// Answers what is sent to the test's own windows, so that a program
// activating its window never waits for this thread.
void pumpFor(DWORD ms)
{
    DWORD deadline = GetTickCount() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        LONG left = static_cast<LONG>(deadline - GetTickCount());
        if (left <= 0)
            return;
        MsgWaitForMultipleObjects(0, NULL, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
    }
}

DWORD timeoutMs(DWORD base)
{
    std::string scale = environmentValue("GAGENT_TEST_TIMEOUT_SCALE");
    return scale.empty() ? base : base * static_cast<DWORD>(std::atoi(scale.c_str()));
}

std::string testProgramDirectory()
{
    char path[MAX_PATH];
    GetModuleFileNameA(NULL, path, sizeof path);
    std::string directory = path;
    return directory.substr(0, directory.rfind('\\'));
}

std::string stageDirectory()
{
    std::string stage = environmentValue("GAGENT_STAGE");
    if (stage.empty()) {
        std::fprintf(stderr, "test driver: GAGENT_STAGE names no stage folder\n");
        std::abort();
    }
    return stage;
}

Sandbox::Sandbox(const std::string &name, const std::string &base)
{
    std::string folder = !base.empty() ? base : environmentValue("GAGENT_SANDBOXES");
    if (folder.empty())
        folder = testProgramDirectory() + "\\sandboxes";
    root = folder + "\\" + name;
    removeTree(widen(root));
    createTree(root);
}

void Sandbox::addProduct()
{
    copyOrFail(stageDirectory() + "\\gagent.exe", file("gagent.exe"));
}

void Sandbox::addLanguage(const std::string &folder, const std::string &fromFolder)
{
    createTree(file(folder));
    copyOrFail(stageDirectory() + "\\" + fromFolder + "\\gagent.dll", file(folder + "\\gagent.dll"));
}

void Sandbox::addInstallerDouble(const std::string &variant)
{
    copyOrFail(testProgramDirectory() + "\\doubles\\" + variant + "\\zelmsi13.dll", file("zelmsi13.dll"));
}

void Sandbox::addHelp(const std::string &folder)
{
    createTree(file("Help\\" + folder));
    copyOrFail(stageDirectory() + "\\Help\\" + folder + "\\gagent.hlp", file("Help\\" + folder + "\\gagent.hlp"));
}

void Sandbox::addFile(const std::string &from, const std::string &relative)
{
    copyOrFail(from, file(relative));
}

std::vector<std::string> Sandbox::loggedCalls() const
{
    return readLines(logPath());
}

std::vector<std::string> readLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream file(path.c_str());
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line[line.size() - 1] == '\r')
            line.erase(line.size() - 1);
        lines.push_back(line);
    }
    return lines;
}

DWORD waitForProcessExit(HANDLE process, DWORD ms)
{
    if (process == NULL)
        return STILL_ACTIVE;
    waitUntil(ms, [&] { return WaitForSingleObject(process, 0) != WAIT_TIMEOUT; });
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}

App::App(const Sandbox &sandbox) : folder(sandbox.path()), logFile(sandbox.logPath()), main(NULL), injected(false)
{
    ZeroMemory(&info, sizeof info);
}

App::~App()
{
    kill();
}

void App::setEnvironment(const std::string &name, const std::string &value)
{
    environment[name] = value;
}

bool App::start()
{
    return startFrom(folder + "\\gagent.exe");
}

bool App::startFrom(const std::string &executable)
{
    return launch(widen(executable));
}

bool App::startFrom(const std::wstring &executable)
{
    return launch(executable);
}

bool App::launch(const std::wstring &executable)
{
    std::map<std::string, std::string> all = environment;
    all.insert(std::make_pair("GAGENT_TEST_LOG", logFile)); // unless the test chose otherwise
    std::map<std::string, std::string> saved;
    for (const auto &setting : all) {
        saved[setting.first] = environmentValue(setting.first.c_str());
        SetEnvironmentVariableA(setting.first.c_str(), setting.second.c_str());
    }
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + executable + L"\"";
    std::wstring directory = widen(folder);
    BOOL started = CreateProcessW(executable.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL,
                                  directory.c_str(), &startup, &info);
    for (const auto &setting : saved)
        SetEnvironmentVariableA(setting.first.c_str(), setting.second.empty() ? NULL : setting.second.c_str());
    if (started)
        watchProcess(info.hProcess);
    return started != FALSE;
}

std::vector<HWND> App::topLevelWindows() const
{
    WindowSearch search = {info.dwProcessId, {}};
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

template <typename Match> HWND App::waitForWindow(DWORD ms, Match matches)
{
    HWND found = NULL;
    waitUntil(ms, [&] {
        for (HWND window : topLevelWindows()) {
            if (IsWindowVisible(window) && matches(window)) {
                found = window;
                return true;
            }
        }
        return !isRunning();
    });
    return found;
}

HWND App::waitForMainWindow(const std::string &title, DWORD ms)
{
    main = waitForWindow(ms, [&](HWND window) { return windowText(window) == title; });
    return main;
}

bool App::waitForMessageBox(MessageBoxSeen &seen, DWORD ms)
{
    HWND box = waitForWindow(ms, [&](HWND window) { return window != main && windowClass(window) == "#32770"; });
    if (box == NULL)
        return false;
    seen.window = box;
    seen.caption = windowText(box);
    seen.text = messageBoxMessage(box);
    return true;
}

HWND App::waitForDialog(const std::string &caption, DWORD ms)
{
    return waitForWindow(ms, [&](HWND window) {
        return window != main && windowClass(window) == "#32770" && windowText(window) == caption;
    });
}

HWND App::waitForDialogOwnedBy(HWND owner, DWORD ms)
{
    return waitForWindow(ms, [&](HWND window) {
        return GetWindow(window, GW_OWNER) == owner && windowClass(window) == "#32770";
    });
}

bool App::hasOtherTopLevelWindow() const
{
    for (HWND window : topLevelWindows()) {
        if (window != main && IsWindowVisible(window))
            return true;
    }
    return false;
}

DWORD App::waitForExit(DWORD ms)
{
    return waitForProcessExit(info.hProcess, ms);
}

bool App::isRunning() const
{
    return info.hProcess != NULL && WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT;
}

void App::kill()
{
    if (info.hProcess == NULL)
        return;
    if (isRunning()) {
        TerminateProcess(info.hProcess, 99);
        WaitForSingleObject(info.hProcess, 5000);
    }
    unwatchProcess(info.hProcess);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    info.hProcess = info.hThread = NULL;
}

bool App::inject()
{
    if (injected)
        return true;
    std::string probePath = testProgramDirectory() + "\\probe.dll";
    void *remote = VirtualAllocEx(info.hProcess, NULL, probePath.size() + 1, MEM_COMMIT | MEM_RESERVE,
                                  PAGE_READWRITE);
    if (remote == NULL || !WriteProcessMemory(info.hProcess, remote, probePath.c_str(), probePath.size() + 1, NULL))
        return false;
    FARPROC loadLibrary = GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryA");
    HANDLE thread = CreateRemoteThread(info.hProcess, NULL, 0,
                                       reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void *>(loadLibrary)),
                                       remote, 0, NULL);
    if (thread == NULL)
        return false;
    WaitForSingleObject(thread, timeoutMs(10000));
    CloseHandle(thread);
    injected = true;
    return true;
}

std::string App::probe(const std::string &verb, int number, const std::string &more)
{
    return probeAt(main, verb, number, more);
}

std::string App::probeAt(HWND window, const std::string &verb, int number, const std::string &more)
{
    if (!inject())
        return "error probe not loaded";
    char request[1024];
    std::snprintf(request, sizeof request, "%s %llx %d %s", verb.c_str(),
                  static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)), number, more.c_str());
    char pipe[64];
    std::snprintf(pipe, sizeof pipe, "\\\\.\\pipe\\gagent-probe-%lu", info.dwProcessId);
    std::vector<char> reply(8 << 20); // room for the rows of a long key list
    DWORD length = 0;
    // The probe's pipe may not exist yet.
    bool answered = waitUntil(10000, [&] {
        return CallNamedPipeA(pipe, request, static_cast<DWORD>(std::strlen(request)), reply.data(),
                              static_cast<DWORD>(reply.size()), &length, NMPWAIT_WAIT_FOREVER) != FALSE;
    });
    return answered ? std::string(reply.data(), length) : "error no answer";
}

bool App::statusBarIsSimple()
{
    return probe("status").compare(0, 2, "1\t") == 0;
}

std::string App::statusBarText()
{
    std::string answer = probe("status");
    size_t tab = answer.find('\t');
    return tab == std::string::npos ? answer : answer.substr(tab + 1);
}

std::string windowText(HWND window)
{
    char text[2048] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string windowClass(HWND window)
{
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string messageBoxMessage(HWND box)
{
    std::string text;
    EnumChildWindows(box, findMessageText, reinterpret_cast<LPARAM>(&text));
    return text;
}

static void sendKey(WORD virtualKey, bool up)
{
    INPUT input;
    ZeroMemory(&input, sizeof input);
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtualKey;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    SendInput(1, &input, sizeof input);
}

void pressKey(WORD virtualKey)
{
    sendKey(virtualKey, false);
    sendKey(virtualKey, true);
}

void pressKeyWith(WORD modifier, WORD virtualKey)
{
    sendKey(modifier, false);
    pressKey(virtualKey);
    sendKey(modifier, true);
}

static void sendMouse(DWORD flags, POINT screen)
{
    INPUT input;
    ZeroMemory(&input, sizeof input);
    input.type = INPUT_MOUSE;
    input.mi.dx = MulDiv(screen.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
    input.mi.dy = MulDiv(screen.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
    input.mi.dwFlags = flags | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &input, sizeof input);
}

// Under Wine the first click of a session was often lost unless a Windows
// program had moved the pointer before: park it once, away from the windows
// under test.
static void parkPointerOnce()
{
    static bool pointerParked = false;
    if (!pointerParked) {
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
        pumpFor(timeoutMs(100));
        pointerParked = true;
    }
}

void rightClickAt(POINT screen)
{
    parkPointerOnce();
    sendMouse(MOUSEEVENTF_MOVE, screen);
    sendMouse(MOUSEEVENTF_RIGHTDOWN, screen);
    sendMouse(MOUSEEVENTF_RIGHTUP, screen);
}

void clickAt(POINT screen, bool doubleClick, WORD modifier)
{
    parkPointerOnce();
    if (modifier != 0) {
        // The modifier only counts if it reaches the window under the pointer
        // before the click: under emulation activation and input lag behind,
        // so wait for the window to be in front and the key to be down.
        makeForeground(GetAncestor(WindowFromPoint(screen), GA_ROOT));
        sendKey(modifier, false);
        waitUntil(3000, [&] { return GetAsyncKeyState(modifier) < 0; });
        pumpFor(timeoutMs(100));
    }
    sendMouse(MOUSEEVENTF_MOVE, screen);
    for (int i = 0; i < (doubleClick ? 2 : 1); ++i) {
        sendMouse(MOUSEEVENTF_LEFTDOWN, screen);
        sendMouse(MOUSEEVENTF_LEFTUP, screen);
    }
    if (modifier != 0)
        sendKey(modifier, true);
}

bool makeForeground(HWND window)
{
    SetForegroundWindow(window);
    return waitUntil(3000, [&] { return GetForegroundWindow() == window; });
}

bool saveWindowImage(HWND window, const std::string &path, HCURSOR cursor)
{
    RECT rect;
    return GetWindowRect(window, &rect) && saveScreenImage(rect, path, cursor);
}

bool saveScreenImage(const RECT &area, const std::string &path, HCURSOR cursor)
{
    int width = area.right - area.left;
    int height = area.bottom - area.top;
    if (width <= 0 || height <= 0)
        return false;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO format;
    ZeroMemory(&format, sizeof format);
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 24;
    void *pixels = NULL;
    HBITMAP bitmap = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &pixels, NULL, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    POINT pointer;
    ICONINFO hotSpot;
    if (cursor != NULL && GetCursorPos(&pointer) && GetIconInfo(cursor, &hotSpot)) {
        DrawIconEx(memory, pointer.x - area.left - static_cast<int>(hotSpot.xHotspot),
                   pointer.y - area.top - static_cast<int>(hotSpot.yHotspot), cursor, 0, 0, 0, NULL, DI_NORMAL);
        DeleteObject(hotSpot.hbmMask);
        if (hotSpot.hbmColor != NULL)
            DeleteObject(hotSpot.hbmColor);
    }
    GdiFlush();
    DWORD stride = ((width * 3) + 3) & ~3u;
    DWORD imageSize = stride * height;
    BITMAPFILEHEADER fileHeader;
    ZeroMemory(&fileHeader, sizeof fileHeader);
    fileHeader.bfType = 0x4D42;
    fileHeader.bfOffBits = sizeof fileHeader + sizeof format.bmiHeader;
    fileHeader.bfSize = fileHeader.bfOffBits + imageSize;
    std::ofstream out(path.c_str(), std::ios::binary);
    out.write(reinterpret_cast<const char *>(&fileHeader), sizeof fileHeader);
    out.write(reinterpret_cast<const char *>(&format.bmiHeader), sizeof format.bmiHeader);
    out.write(static_cast<const char *>(pixels), imageSize);
    bool written = out.good();
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return written;
}

std::string englishString(UINT id)
{
    return moduleString("1033", id);
}

std::string moduleString(const std::string &folder, UINT id)
{
    static std::map<std::string, HMODULE> modules;
    HMODULE &module = modules[folder];
    if (module == NULL)
        module = LoadLibraryExA((stageDirectory() + "\\" + folder + "\\gagent.dll").c_str(), NULL,
                                LOAD_LIBRARY_AS_DATAFILE);
    char text[1024] = "";
    LoadStringA(module, id, text, sizeof text);
    return text;
}

POINT centreOf(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

std::wstring widen(const std::string &text)
{
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, NULL, 0);
    std::wstring wide(length > 0 ? length - 1 : 0, L'\0');
    if (length > 1)
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], length);
    return wide;
}

void settle(DWORD ms)
{
    pumpFor(timeoutMs(ms));
}

} // namespace e2e
