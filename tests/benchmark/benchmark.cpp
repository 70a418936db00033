// Times the key manager against baselines measured in the same run, since
// absolute times on a shared machine change from run to run: start-up to a
// visible window beside a minimal dialog program started the same way, and
// the rebuild of the key list on the agent side's refresh announcement
// beside a bare loop that fills a list control of the same size and
// columns; and that rebuild once more with 1,000 keys held by the real
// agent and listed through the real library. Prints each median, its
// baseline's and their ratio; the exit code says whether every goal was met.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Driver.h"
#include "Key.h"
#include "KeyAgentHarness.h"
#include "MinimalDialog.h"
#include "resource.h"
#include "Timing.h"

namespace {

const char *const TITLE = "Glimmerpad Key Manager";
// Start-ups vary more than rebuilds: most of one is the process start.
const int STARTS = 21;
const int REBUILDS = 9;
const double STARTUP_GOAL = 1.2;
const double REBUILD_GOAL = 1.5;
const int GOAL_KEYS = 10000;
const int REAL_AGENT_KEYS = 1000;
// The pipe and the library's work per key on top of the list itself: a
// cost per key that grows (it once took half a minute) shows here.
const double REAL_AGENT_GOAL = 1.3;

// The value a quarter (or three quarters) of the way up the sorted values.
double quartile(std::vector<double> values, int which)
{
    std::sort(values.begin(), values.end());
    return values[(values.size() - 1) * which / 4];
}

// One of the two programs compared, in a sandbox of its own.
struct Program {
    e2e::Sandbox sandbox;
    std::string executable;
    const char *title;
    std::string agentScript; // empty for the baseline
    std::map<std::string, std::string> environment;

    void setKeys(int keys) const { std::ofstream(agentScript.c_str()) << "generatedKeys " << keys << "\n"; }
};

Program keyManager()
{
    Program program = {e2e::Sandbox("benchmark-key-manager"), "gagent.exe", TITLE, "", {}};
    program.sandbox.addProduct();
    program.sandbox.addLanguage("1033");
    program.sandbox.addInstallerDouble();
    program.sandbox.addFile(e2e::testProgramDirectory() + "\\doubles\\openssh\\OPENSSH.DLL", "OPENSSH.DLL");
    program.agentScript = program.sandbox.file("agent.script");
    return program;
}

Program minimalDialog()
{
    Program program = {e2e::Sandbox("benchmark-minimal-dialog"), "minimal_dialog.exe", MINIMAL_TITLE, "", {}};
    program.sandbox.addFile(e2e::testProgramDirectory() + "\\minimal_dialog.exe", program.executable);
    return program;
}

// A finer wait than the driver's: its 20 ms steps would be a tenth of a
// start-up.
HWND waitForVisibleWindow(const e2e::App &app, const char *title)
{
    DWORD deadline = GetTickCount() + e2e::timeoutMs(60000);
    while (app.isRunning() && static_cast<LONG>(deadline - GetTickCount()) > 0) {
        HWND window = FindWindowA(NULL, title);
        DWORD owner = 0;
        if (window != NULL && GetWindowThreadProcessId(window, &owner) && owner == app.processId() &&
            IsWindowVisible(window))
            return window;
        Sleep(1);
    }
    return NULL;
}

class Run {
public:
    explicit Run(const Program &program) : app(program.sandbox), window(NULL), startup(0)
    {
        if (!program.agentScript.empty()) {
            app.setEnvironment("GAGENT_TEST_AGENT_SCRIPT", program.agentScript);
            // Logging every call of a 10,000-key listing would time the log, not the list.
            app.setEnvironment("GAGENT_TEST_LOG", "");
        }
        for (const auto &variable : program.environment)
            app.setEnvironment(variable.first, variable.second);
        Stopwatch watch;
        if (app.startFrom(program.sandbox.file(program.executable)))
            window = waitForVisibleWindow(app, program.title);
        startup = watch.milliseconds();
        if (window == NULL)
            std::printf("%s: the window did not appear\n", program.executable.c_str());
    }
    ~Run()
    {
        if (window != NULL)
            PostMessageA(window, WM_CLOSE, 0, 0);
        app.waitForExit(30000);
        // Wine goes on tidying up after a process has ended; the next start
        // should not pay for that.
        Sleep(100);
    }

    HWND shown() const { return window; }
    int listRows()
    {
        std::string rows = app.probeAt(window, "listrows", IDC_KEY_LIST);
        return static_cast<int>(std::count(rows.begin(), rows.end(), '\n'));
    }
    double startupMs() const { return startup; }

    double roundTripMs(UINT message, WPARAM wParam)
    {
        Stopwatch watch;
        SendMessageA(window, message, wParam, 0);
        double ms = watch.milliseconds();
        // The list paints itself after the round trip; the next one should
        // not wait for that.
        Sleep(100);
        return ms;
    }

private:
    e2e::App app;
    HWND window;
    double startup;
};

// Each figure was taken right beside its baseline: the ratio is the median
// of the ratios of those pairs, which a change in the machine's load while
// the benchmark runs touches less than the ratio of the two medians.
bool report(const char *what, const std::vector<double> &figures, const char *baselineName,
            const std::vector<double> &baselines, double goal)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < figures.size(); ++i)
        ratios.push_back(figures[i] / baselines[i]);
    double ratio = median(ratios);
    // The middle half of the pairs' ratios shows how much the machine's load
    // scattered them.
    std::printf("  %-32s %7.1f ms   %-14s %7.1f ms   ratio %4.2f (middle half %4.2f-%4.2f)", what,
                median(figures), baselineName, median(baselines), ratio, quartile(ratios, 1), quartile(ratios, 3));
    if (goal > 0)
        std::printf("   goal %.1f: %s", goal, ratio <= goal ? "met" : "NOT MET");
    std::printf("\n");
    std::fflush(stdout);
    return goal <= 0 || ratio <= goal;
}

// Start-ups alternate between the two programs, and so does which goes
// first, so that a change in the machine's load falls on both.
bool compareStartups(const Program &product, const Program &baseline)
{
    product.setKeys(0);
    { Run warmUp(product); }
    { Run warmUp(baseline); }
    std::vector<double> productTimes, baselineTimes;
    for (int i = 0; i < STARTS; ++i) {
        for (int turn = 0; turn < 2; ++turn) {
            bool productTurn = (turn == 0) == (i % 2 == 0);
            Run run(productTurn ? product : baseline);
            if (run.shown() == NULL)
                return false;
            (productTurn ? productTimes : baselineTimes).push_back(run.startupMs());
        }
    }
    std::printf("start-up to a visible window, median of %d:\n", STARTS);
    return report("key manager, agent without keys", productTimes, "minimal dialog", baselineTimes, STARTUP_GOAL);
}

// A rebuild that is not timed first, then the pairs.
bool timeRebuilds(Run &productRun, Run &baselineRun, int keys, const char *what, double goal)
{
    productRun.roundTripMs(WM_AGENT_REFRESH, 0);
    baselineRun.roundTripMs(WM_FILL_LIST, keys);
    std::vector<double> productTimes, baselineTimes;
    for (int i = 0; i < REBUILDS; ++i) {
        productTimes.push_back(productRun.roundTripMs(WM_AGENT_REFRESH, 0));
        baselineTimes.push_back(baselineRun.roundTripMs(WM_FILL_LIST, keys));
    }
    return report(what, productTimes, "bare loop", baselineTimes, goal);
}

bool compareRebuilds(const Program &product, const Program &baseline)
{
    Run productRun(product);
    Run baselineRun(baseline);
    if (productRun.shown() == NULL || baselineRun.shown() == NULL)
        return false;
    std::printf("list rebuild (WM_AGENT_REFRESH round trip), median of %d:\n", REBUILDS);
    bool met = true;
    for (int keys : {1000, GOAL_KEYS}) {
        product.setKeys(keys);
        char what[64];
        std::snprintf(what, sizeof what, "key manager, %d keys", keys);
        met = timeRebuilds(productRun, baselineRun, keys, what, keys == GOAL_KEYS ? REBUILD_GOAL : 0) && met;
    }
    return met;
}

// The real library beside the manager, and the agent's three files that
// it looks for beside itself.
Program realKeyManager(const std::string &pipe)
{
    Program program = {e2e::Sandbox("benchmark-real-agent"), "gagent.exe", TITLE, "", {}};
    program.sandbox.addProduct();
    program.sandbox.addLanguage("1033");
    program.sandbox.addInstallerDouble();
    for (const char *file : {"OPENSSH.DLL", "gkeyagent.exe", "libgcrypt-20.dll", "libgpg-error-0.dll"})
        program.sandbox.addFile(e2e::stageDirectory() + "\\" + file, file);
    program.environment["SSH_AUTH_SOCK"] = pipe;
    return program;
}

// Ed25519 keys made here and added through the pipe, as ssh-add would.
bool addKeys(const std::string &pipe, int count)
{
    agentcore::initCrypto();
    agenttest::Client client(pipe);
    for (int i = 0; client.connected() && i < count; ++i) {
        std::unique_ptr<agentcore::PrivateKey> key;
        if (!agentcore::generateKey(agentcore::KeyKind::Ed25519, 0, "benchmark key " + std::to_string(i), key))
            return false;
        agentcore::Bytes request(1, 17);
        agentcore::Bytes body = agentcore::encodePrivateKeyBody(*key, false);
        request.insert(request.end(), body.begin(), body.end());
        if (client.call(request) != agenttest::kSuccess)
            return false;
    }
    return client.connected();
}

// The agent holds its keys before the manager starts, so that the adds'
// own refreshes are not what is timed.
bool compareRealAgentRebuild(const Program &baseline)
{
    std::string name = "glimmerpad-benchmark-" + std::to_string(GetCurrentProcessId());
    std::string pipe = "\\\\.\\pipe\\" + name;
    Program product = realKeyManager(pipe);
    // The agent keeps its data and log in the sandbox.
    SetEnvironmentVariableA("APPDATA", product.sandbox.path().c_str());
    agenttest::AgentProcess agent;
    // The library trusts no agent but the program beside itself: the agent
    // runs from the sandbox's copy, not from the stage. The harness reads
    // the stage through the C runtime's copy of the environment.
    std::string stage = "GAGENT_STAGE=" + e2e::stageDirectory();
    std::string sandbox = "GAGENT_STAGE=" + product.sandbox.path();
    _putenv(sandbox.c_str());
    bool started = agent.start(name, product.sandbox.file("agent.log"));
    _putenv(stage.c_str());
    // The pipe exists only once the agent runs: its window first.
    bool met = started && agenttest::agentWindow(10000) &&
               WaitNamedPipeA(pipe.c_str(), e2e::timeoutMs(10000)) && addKeys(pipe, REAL_AGENT_KEYS);
    if (!met)
        std::printf("the agent did not take %d keys\n", REAL_AGENT_KEYS);
    if (met) {
        Run productRun(product);
        Run baselineRun(baseline);
        met = productRun.shown() != NULL && baselineRun.shown() != NULL;
        std::printf("list rebuild with the real agent and library, median of %d:\n", REBUILDS);
        met = met && timeRebuilds(productRun, baselineRun, REAL_AGENT_KEYS, "key manager, real agent, 1000 keys",
                                  REAL_AGENT_GOAL);
        int rows = met ? productRun.listRows() : 0;
        if (rows != REAL_AGENT_KEYS) {
            std::printf("  the list holds %d rows, not %d\n", rows, REAL_AGENT_KEYS);
            met = false;
        }
    }
    agent.stop();
    return met;
}

} // namespace

int main()
{
    Program product = keyManager();
    Program baseline = minimalDialog();
    bool startupMet = compareStartups(product, baseline);
    bool rebuildMet = compareRebuilds(product, baseline);
    bool realAgentMet = compareRealAgentRebuild(baseline);
    return startupMet && rebuildMet && realAgentMet ? 0 : 1;
}
