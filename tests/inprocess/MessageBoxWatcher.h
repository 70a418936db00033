// Reads and dismisses the message boxes this process shows while code under
// test runs. A message box is modal and blocks the thread that shows it, so
// a helper thread looks for it, reads it and presses OK; the code then runs
// on. Every box shown before the code returns has been seen by then.
#ifndef GAGENT_TEST_MESSAGEBOXWATCHER_H
#define GAGENT_TEST_MESSAGEBOXWATCHER_H

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SeenMessageBox {
    HWND owner;
    std::string caption;
    std::string text;         // the first static control that holds text
    std::vector<int> buttons; // ids of the visible buttons, in child order
    HICON icon;               // the icon beside the text; NULL when none is shown
};

class MessageBoxWatcher {
public:
    // A dialog for which `answer` returns true was answered by it (a
    // question the code under test asks, say) and is not read as a box.
    explicit MessageBoxWatcher(std::function<bool(HWND)> answerer = nullptr) : stopping(false), answer(answerer)
    {
        // Dialogs that exist already (the test's own) are not message boxes.
        EnumWindows(collectDialogs, reinterpret_cast<LPARAM>(&existing));
        worker = std::thread([this] { watch(); });
    }

    ~MessageBoxWatcher() { stop(); }

    MessageBoxWatcher(const MessageBoxWatcher &) = delete;
    MessageBoxWatcher &operator=(const MessageBoxWatcher &) = delete;

    // Ends the watch; the boxes seen, in the order they appeared.
    std::vector<SeenMessageBox> stop()
    {
        stopping = true;
        if (worker.joinable())
            worker.join();
        std::lock_guard<std::mutex> lock(guard);
        return seen;
    }

private:
    static std::string textOf(HWND window)
    {
        int length = GetWindowTextLengthA(window);
        std::string text(static_cast<size_t>(length) + 1, '\0');
        int copied = GetWindowTextA(window, &text[0], length + 1);
        text.resize(static_cast<size_t>(copied));
        return text;
    }

    static std::string classOf(HWND window)
    {
        char name[64];
        int length = GetClassNameA(window, name, sizeof name);
        return std::string(name, static_cast<size_t>(length));
    }

    static bool isOwnDialog(HWND window)
    {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        return process == GetCurrentProcessId() && classOf(window) == "#32770";
    }

    static BOOL CALLBACK collectDialogs(HWND window, LPARAM list)
    {
        if (isOwnDialog(window))
            reinterpret_cast<std::vector<HWND> *>(list)->push_back(window);
        return TRUE;
    }

    struct Search {
        const std::vector<HWND> *existing;
        HWND found;
    };

    static BOOL CALLBACK findNewBox(HWND window, LPARAM param)
    {
        Search *search = reinterpret_cast<Search *>(param);
        const std::vector<HWND> &old = *search->existing;
        if (IsWindowVisible(window) && isOwnDialog(window) &&
            std::find(old.begin(), old.end(), window) == old.end()) {
            search->found = window;
            return FALSE;
        }
        return TRUE;
    }

    static BOOL CALLBACK readChild(HWND child, LPARAM param)
    {
        SeenMessageBox *box = reinterpret_cast<SeenMessageBox *>(param);
        if (!IsWindowVisible(child))
            return TRUE;
        std::string kind = classOf(child);
        if (kind == "Button") {
            box->buttons.push_back(GetDlgCtrlID(child));
        } else if (kind == "Static") {
            LONG style = GetWindowLongA(child, GWL_STYLE);
            if ((style & SS_TYPEMASK) == SS_ICON) {
                box->icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
            } else if (box->text.empty()) {
                box->text = textOf(child);
            }
        }
        return TRUE;
    }

    void readAndDismiss(HWND found)
    {
        SeenMessageBox box;
        box.owner = GetWindow(found, GW_OWNER);
        box.caption = textOf(found);
        box.icon = NULL;
        EnumChildWindows(found, readChild, reinterpret_cast<LPARAM>(&box));
        {
            std::lock_guard<std::mutex> lock(guard);
            seen.push_back(box);
        }
        PostMessageA(found, WM_COMMAND, IDOK, 0);
    }

    void watch()
    {
        while (!stopping) {
            Search search = {&existing, NULL};
            EnumWindows(findNewBox, reinterpret_cast<LPARAM>(&search));
            if (search.found == NULL) {
                Sleep(10);
                continue;
            }
            if (!answer || !answer(search.found))
                readAndDismiss(search.found);
            // Wait for it to go, so that it is not read twice.
            for (int waited = 0; IsWindow(search.found) && waited < 5000; waited += 10)
                Sleep(10);
        }
    }

    std::vector<HWND> existing;
    std::atomic<bool> stopping;
    std::function<bool(HWND)> answer;
    std::mutex guard;
    std::vector<SeenMessageBox> seen;
    std::thread worker;
};

#endif
