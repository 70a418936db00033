// Times the key list with many keys: start-up to a visible window, and the
// rebuild of the list on the agent side's refresh announcement. A command,
// not a test: it prints figures and judges nothing.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "Driver.h"

namespace {

const char *const TITLE = "Glimmerpad Key Manager";
const int REFRESH_ROUNDS = 5;

double millisecondsSince(const LARGE_INTEGER &start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER now()
{
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return value;
}

bool measure(int keys)
{
    e2e::Sandbox sandbox("benchmark-" + std::to_string(keys));
    sandbox.addProduct();
    sandbox.addLanguage("1033");
    sandbox.addInstallerDouble();
    sandbox.addFile(e2e::testProgramDirectory() + "\\doubles\\openssh\\OPENSSH.DLL", "OPENSSH.DLL");
    std::ofstream(sandbox.file("agent.script").c_str()) << "generatedKeys " << keys << "\n";

    e2e::App app(sandbox);
    app.setEnvironment("GAGENT_TEST_AGENT_SCRIPT", sandbox.file("agent.script"));
    // Logging every call of a 10,000-key listing would time the log, not the list.
    app.setEnvironment("GAGENT_TEST_LOG", "");

    LARGE_INTEGER started = now();
    if (!app.start())
        return false;
    HWND window = app.waitForMainWindow(TITLE, 120000);
    double startup = millisecondsSince(started);
    if (window == NULL) {
        std::printf("%6d keys: the window did not appear\n", keys);
        return false;
    }

    std::vector<double> refreshes;
    for (int round = 0; round < REFRESH_ROUNDS; ++round) {
        LARGE_INTEGER sent = now();
        SendMessageA(window, 0x0400 + 4 /* WM_AGENT_REFRESH */, 0, 0);
        refreshes.push_back(millisecondsSince(sent));
    }
    std::sort(refreshes.begin(), refreshes.end());
    std::printf("%6d keys: start-up to visible window %8.1f ms, refresh median %8.1f ms (min %.1f, max %.1f)\n",
                keys, startup, refreshes[REFRESH_ROUNDS / 2], refreshes.front(), refreshes.back());
    std::fflush(stdout);
    PostMessageA(window, WM_CLOSE, 0, 0);
    app.waitForExit(30000);
    return true;
}

} // namespace

int main()
{
    bool ok = true;
    for (int keys : {0, 1000, 10000})
        ok = measure(keys) && ok;
    return ok ? 0 : 1;
}
