// Drives the real program from another process, the way a user would see
// it: its windows, their texts, menu states, list rows and message boxes.
// The same tests run against any stage folder (x86_64 or i686 build).
#ifndef GAGENT_TEST_DRIVER_H
#define GAGENT_TEST_DRIVER_H

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

// Milliseconds, stretched by GAGENT_TEST_TIMEOUT_SCALE for slow emulation.
DWORD timeoutMs(DWORD base);

// Folder of the running test program; doubles and the probe lie below it.
std::string testProgramDirectory();
// The stage folder under test (GAGENT_STAGE).
std::string stageDirectory();

// A private copy of the product's folder for one test, rebuilt from scratch.
class Sandbox {
public:
    // Below GAGENT_SANDBOXES, or below `base` when one is given.
    explicit Sandbox(const std::string &name, const std::string &base = std::string());

    // Attributes
    const std::string &path() const { return root; }
    std::string file(const std::string &relative) const { return root + "\\" + relative; }
    std::string logPath() const { return file("calls.log"); }

    // Operations
    void addProduct();                                     // gagent.exe
    void addLanguage(const std::string &folder, const std::string &fromFolder = "1033");
    void addInstallerDouble(const std::string &variant = "zelmsi13");
    void addHelp(const std::string &folder = "1033");       // Help\<folder>\gagent.hlp
    void addFile(const std::string &from, const std::string &relative);
    std::vector<std::string> loggedCalls() const;          // lines of calls.log

private:
    std::string root;
};

struct MessageBoxSeen {
    HWND window;
    std::string caption;
    std::string text;
};

// One run of the program under test.
class App {
public:
    explicit App(const Sandbox &sandbox);
    ~App();

    // Environment the program starts with, on top of the test's own.
    void setEnvironment(const std::string &name, const std::string &value);

    bool start();
    bool startFrom(const std::string &executable);
    // For names that the test's own code page cannot spell.
    bool startFrom(const std::wstring &executable);
    DWORD processId() const { return info.dwProcessId; }

    // Windows
    HWND waitForMainWindow(const std::string &title, DWORD ms = 10000);
    HWND mainWindow() const { return main; }
    // A visible dialog box of the program other than the main window.
    bool waitForMessageBox(MessageBoxSeen &seen, DWORD ms = 10000);
    // A visible dialog box of the program owned by `owner`: a command's
    // dialog over the main window, or a message box over that dialog.
    HWND waitForDialogOwnedBy(HWND owner, DWORD ms = 10000);
    bool hasOtherTopLevelWindow() const;
    // A visible dialog of the program with this caption (a message box or
    // one of the program's own dialogs); null when none appears in time.
    HWND waitForDialog(const std::string &caption, DWORD ms = 10000);

    // Ending
    // The exit code, or STILL_ACTIVE when the program did not end in time.
    DWORD waitForExit(DWORD ms = 10000);
    bool isRunning() const;
    void kill();

    // Questions answered from inside the program (see the probe).
    std::string probe(const std::string &verb, int number = 0, const std::string &more = "");
    std::string probeAt(HWND window, const std::string &verb, int number = 0, const std::string &more = "");
    // The cursor the program shows: "arrow", "wait" or another handle.
    std::string cursor() { return probe("cursor"); }
    UINT menuState(int id) { return static_cast<UINT>(std::stoul(probe("menustate", id))); }
    std::string menuText(int id) { return probe("menutext", id); }
    bool statusBarIsSimple();
    std::string statusBarText();

private:
    bool launch(const std::wstring &executable);
    // The first visible top-level window of the program that `matches`.
    template <typename Match> HWND waitForWindow(DWORD ms, Match matches);
    bool inject();
    std::vector<HWND> topLevelWindows() const;

    std::string folder;
    std::string logFile;
    std::map<std::string, std::string> environment;
    PROCESS_INFORMATION info;
    HWND main;
    bool injected;
};

// The lines of a text file, without their line ends; none if it is missing.
std::vector<std::string> readLines(const std::string &path);

// Waits (answering the test's own windows) until `process` ends; its exit
// code, or STILL_ACTIVE when it did not end in time.
DWORD waitForProcessExit(HANDLE process, DWORD ms);

// A string of the English resource module of the stage under test.
std::string englishString(UINT id);
// A string of the stage's resource module in a language folder, in this
// process's code page.
std::string moduleString(const std::string &folder, UINT id);

// The centre of a window on the screen.
POINT centreOf(HWND window);

// Texts of windows in any process.
std::string windowText(HWND window);
std::string windowClass(HWND window);
// The text of the message in a message box.
std::string messageBoxMessage(HWND box);

// Input as a user gives it: keys go to the foreground window.
void pressKey(WORD virtualKey);
void pressKeyWith(WORD modifier, WORD virtualKey);
bool makeForeground(HWND window);
// A left click (or double click) at a point of the screen, with a key such
// as VK_SHIFT held down when `modifier` is not 0.
void clickAt(POINT screen, bool doubleClick = false, WORD modifier = 0);
void rightClickAt(POINT screen);

// Saves what the screen shows of `window` (frame included), or of an area
// of the screen, as a BMP file.
bool saveWindowImage(HWND window, const std::string &path, HCURSOR cursor = NULL);
// A cursor given is drawn where the pointer is, which the screen itself
// never shows.
bool saveScreenImage(const RECT &area, const std::string &path, HCURSOR cursor = NULL);

// Windows paths in UTF-16, for names outside the test's code page.
std::wstring widen(const std::string &text);

// Lets the program handle what was sent to it before the test looks again.
void settle(DWORD ms = 200);

// Waits exactly `ms` (not stretched), answering what is sent to the test's
// own windows meanwhile.
void pumpFor(DWORD ms);

// Asks `done` again every few milliseconds until it answers true or `ms`
// (stretched like every wait) have passed; answers whether it did.
template <typename Condition> bool waitUntil(DWORD ms, Condition done)
{
    DWORD deadline = GetTickCount() + timeoutMs(ms);
    for (;;) {
        if (done())
            return true;
        if (static_cast<LONG>(deadline - GetTickCount()) <= 0)
            return false;
        pumpFor(20);
    }
}

} // namespace e2e

#endif
