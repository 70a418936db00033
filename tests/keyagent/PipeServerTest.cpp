// The agent's pipe server in this process, over a store of the test's: how
// many clients each pipe takes, and a request that throws. The servers
// live as long as the process, as in the agent.
#include "KeyAgentHarness.h"

#include "PipeServer.h"

#include <new>

using namespace agenttest;
using namespace agentcore;

namespace {

struct InProcessAgent {
    KeyStore store;
    RequestHandler handler{store};
    UserSecurity security;
    AgentContext* context = nullptr;

    InProcessAgent() {
        initCrypto();
        EXPECT_TRUE(security.build());
        context = new AgentContext(store, handler, LanguageResources(), AgentOptions(), security);
        handler.addExtension(
            "throw@test", [](WireReader&, Session&, WireWriter&) -> bool { throw std::bad_alloc(); },
            RequestHandler::Reach::AnyClient);
    }
};

// Started servers are never destroyed: their workers go on waiting.
InProcessAgent& agent() {
    static InProcessAgent* agent = new InProcessAgent;
    return *agent;
}

std::string serve(const std::string& suffix, Channel channel, PipeLimits limits) {
    std::string name = "\\\\.\\pipe\\glimmerpad-server-test-" + std::to_string(GetCurrentProcessId()) + "-" + suffix;
    auto* server = new PipeServer(*agent().context, PipeEndpoint{name, channel}, limits);
    EXPECT_TRUE(server->claim() && server->start()) << name;
    return name;
}

bool served(Client& c) { return c.call(Bytes{11}) == (Bytes{12, 0, 0, 0, 0}); }

// Whether a client gets through within the time, without the harness's
// Client and its patient retries.
bool connects(const std::string& pipe, DWORD ms) {
    HANDLE h = CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY && WaitNamedPipeA(pipe.c_str(), ms))
        h = CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

}  // namespace

TEST(PipeServer, EachPipeTakesItsOwnNumberOfClientsAndAFullOneLeavesTheOtherReachable) {
    const std::string open = serve("public", Channel::Public, {4, 2});
    const std::string manager = serve("manager", Channel::Manager, {4, 2});
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back(new Client(open));
        ASSERT_TRUE(served(*clients.back())) << i;
    }
    EXPECT_FALSE(connects(open, 300)) << "a fifth client waits";
    Client other(manager);
    EXPECT_TRUE(served(other)) << "the other pipe is not full";
    clients.erase(clients.begin());
    EXPECT_TRUE(connects(open, scaled(3000))) << "a place came free";
    for (auto& c : clients) EXPECT_TRUE(served(*c)) << "the others stay served";
}

TEST(PipeServer, ARequestThatThrowsEndsItsOwnConnectionAndNoOther) {
    const std::string pipe = serve("throwing", Channel::Public, {8, 2});
    Client before(pipe), thrower(pipe);
    ASSERT_TRUE(served(before));
    WireWriter request;
    request.u8(27);
    request.string(std::string("throw@test"));
    ASSERT_TRUE(thrower.send(request.bytes()));
    bool timedOut = false;
    EXPECT_TRUE(thrower.receive(scaled(5000), &timedOut).empty());
    EXPECT_FALSE(timedOut) << "the connection ends, the client does not wait";
    EXPECT_TRUE(served(before));
    Client after(pipe);
    EXPECT_TRUE(served(after));
}
