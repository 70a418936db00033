// Keys the staged agent generates into files: what it writes is read back
// by the core's own reader, the files are the user's alone, nothing is
// ever overwritten or left half made, and a caller cut off in the middle
// leaves neither a file nor a key.
#include "KeyAgentHarness.h"

#include "KeyFile.h"

#include <sddl.h>

#include <algorithm>
#include <functional>

using namespace agenttest;

namespace {

Bytes generateRequest(const std::string& path, std::uint32_t type, std::uint32_t bits,
                      DWORD thread = GetCurrentThreadId()) {
    WireWriter w;
    w.u8(27);
    w.string(std::string("generate-key@glimmerpad"));
    w.string(path);
    w.u32(type);
    w.u32(bits);
    w.u32(thread);
    return w.take();
}

// The new key's blob; empty for a refusal (or a malformed answer).
Bytes generated(const Bytes& answer) {
    WireReader r(answer);
    std::uint8_t type = 0;
    Bytes blob;
    if (!r.u8(type) || type != 6 || !r.string(blob) || !r.atEnd()) return Bytes();
    return blob;
}

std::vector<std::string> filesIn(const std::string& folder, const char* pattern = "*") {
    std::vector<std::string> out;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return out;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..") out.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return out;
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// The comments of the keys the agent holds, in its order.
std::vector<std::string> heldNames(Client& c) {
    Bytes answer = c.call(Bytes{11});
    WireReader r(answer);
    std::uint8_t type;
    std::uint32_t n = 0;
    r.u8(type), r.u32(n);
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < n; ++i) {
        Bytes blob;
        std::string name;
        if (r.string(blob) && r.text(name)) names.push_back(name);
    }
    return names;
}

// Who the file's DACL lets in, as SID texts.
std::vector<std::string> grantees(const std::string& path) {
    std::vector<std::string> out;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &sd) != ERROR_SUCCESS)
        return out;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        char* sid = nullptr;
        if (GetAce(dacl, i, &ace) && ConvertSidToStringSidA(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &sid)) {
            out.push_back(sid);
            LocalFree(sid);
        }
    }
    LocalFree(sd);
    return out;
}

std::string currentUserSid() {
    HANDLE token;
    char buffer[256];
    DWORD size;
    char* sid = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
    bool ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
              ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid);
    CloseHandle(token);
    std::string text = ok ? sid : "";
    LocalFree(sid);
    return text;
}

// The user, and nobody else. Wine keeps no DACL of a file: it shows one
// made from the Unix mode, always with SYSTEM, and Everyone for a file
// that others may read; on Windows the DACL is the user's entry alone.
void expectUserOnlyFile(const std::string& path) {
    const std::string user = currentUserSid(), system = "S-1-5-18";
    std::vector<std::string> who = grantees(path);
    EXPECT_NE(std::find(who.begin(), who.end(), user), who.end()) << path;
    for (const std::string& sid : who) EXPECT_TRUE(sid == user || sid == system) << path << " lets " << sid << " in";
}

bool waitFor(const std::function<bool()>& condition, DWORD ms) {
    for (DWORD end = GetTickCount() + ms; !condition(); Sleep(20))
        if (GetTickCount() > end) return false;
    return true;
}

DWORD WINAPI endAtOnce(void*) { return 0; }

// The outcome the log gives for the key file named, once it is there.
std::string outcomeFor(const std::string& log, const std::string& name) {
    std::size_t at = log.rfind("key \"" + name + "\"");
    if (at == std::string::npos) return std::string();
    std::size_t end = log.find('\n', at);
    return log.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The line of a generation under way.
bool begun(const std::string& line) {
    const std::string started = ": started";
    return line.size() >= started.size() && line.compare(line.size() - started.size(), started.size(), started) == 0;
}

class KeyGeneration : public KeyAgent {
protected:
    void SetUp() override {
        KeyAgent::SetUp();
        keys_ = home_ + "\\keys";
        CreateDirectoryA(keys_.c_str(), nullptr);
    }
    // The log's word that the agent has begun to make the key.
    bool agentIsGenerating(const std::string& name) {
        return waitFor([&] { return begun(outcomeFor(readFile(log_), name)); }, scaled(10000));
    }
    std::string keys_;
};

// A caller that sends the request from a thread of its own and waits for
// the answer, as the library does; the test may terminate it meanwhile.
struct CutOffCaller {
    std::string pipe, path;
    HANDLE thread = nullptr;

    static DWORD WINAPI run(void* param) {
        auto* self = static_cast<CutOffCaller*>(param);
        auto* c = new Client(self->pipe);  // left open when the thread is cut off, as in the manager
        if (c->send(generateRequest(self->path, 1, 4096))) c->receive(scaled(600000));
        delete c;
        return 0;
    }
};

}  // namespace

TEST_F(KeyGeneration, EachTypeIsWrittenAsAFilePairTheCoreReadsBackReadableByTheUserAloneAndHeld) {
    struct Case {
        std::uint32_t type, bits;
        const char* name;
        const char* typeName;
    } cases[] = {
        {0, 12345, "id_ed25519", "ssh-ed25519"},
        {1, 1024, "id_rsa", "ssh-rsa"},
        {2, 257, "id_ecdsa", "ecdsa-sha2-nistp384"},  // the nearest curve at least as large
    };
    HWND listener = makeWindow();
    Client c(pipe_);
    ASSERT_EQ(c.call(attachRequest(listener)), kSuccess);
    for (const Case& k : cases) {
        const std::string path = keys_ + "\\" + k.name;
        Bytes blob = generated(c.call(generateRequest(path, k.type, k.bits)));
        ASSERT_FALSE(blob.empty()) << k.name;
        EXPECT_GE(refreshesWithin(listener, scaled(5000)), 1) << "the manager is told";

        Bytes contents;
        ASSERT_TRUE(agentcore::readFileContents(path, contents));
        std::unique_ptr<agentcore::PrivateKey> key;
        ASSERT_EQ(agentcore::readPrivateKeyFile(contents, nullptr, key), agentcore::KeyFileResult::Ok) << k.name;
        EXPECT_EQ(key->pub.blob, blob);
        EXPECT_EQ(key->pub.typeName, k.typeName);
        EXPECT_EQ(key->comment, k.name) << "named by its file";
        EXPECT_EQ(readFile(path + ".pub"), agentcore::publicKeyLine(key->pub, k.name));
        expectUserOnlyFile(path);
        expectUserOnlyFile(path + ".pub");
    }
    // A file written the ordinary way shows Everyone: the check above can see it.
    writeText(keys_ + "\\plain", "not a key");
    std::vector<std::string> plain = grantees(keys_ + "\\plain");
    EXPECT_NE(std::find(plain.begin(), plain.end(), "S-1-1-0"), plain.end());
    DeleteFileA((keys_ + "\\plain").c_str());
    EXPECT_EQ(heldNames(c), (std::vector<std::string>{"id_ed25519", "id_rsa", "id_ecdsa"}));
    EXPECT_EQ(filesIn(keys_).size(), 6u) << "no temporary file left";
    std::string log = readFile(log_);
    EXPECT_NE(log.find("generate ed25519 key \"id_ed25519\" SHA256:"), std::string::npos) << log;
    EXPECT_NE(log.find("generate rsa 1024 key \"id_rsa\" SHA256:"), std::string::npos);
    DestroyWindow(listener);
}

TEST_F(KeyGeneration, ExistingFilesBadSizesAndUnwritablePlacesAreRefusedAndNothingIsLeftOrChanged) {
    Client c(pipe_);
    const Bytes kRefused{28};
    const std::string taken = keys_ + "\\id_taken", pubTaken = keys_ + "\\id_pub_taken";
    writeText(taken, "precious private key");
    writeText(pubTaken + ".pub", "precious public key");
    CreateDirectoryA((keys_ + "\\id_folder").c_str(), nullptr);
    EXPECT_EQ(c.call(generateRequest(taken, 0, 0)), kRefused) << "the key file exists";
    EXPECT_EQ(c.call(generateRequest(pubTaken, 0, 0)), kRefused) << "its .pub exists";
    EXPECT_EQ(c.call(generateRequest(keys_ + "\\id_folder", 0, 0)), kRefused) << "a folder of that name";
    EXPECT_EQ(readFile(taken), "precious private key");
    EXPECT_EQ(readFile(pubTaken + ".pub"), "precious public key");

    const std::string fresh = keys_ + "\\id_new";
    struct {
        std::uint32_t type, bits;
    } sizes[] = {{1, 1023}, {1, 16385}, {2, 0}, {2, 522}, {3, 256}};
    for (const auto& s : sizes) EXPECT_EQ(c.call(generateRequest(fresh, s.type, s.bits)), kRefused) << s.type << " " << s.bits;
    EXPECT_EQ(c.call(generateRequest(keys_ + "\\missing\\id_new", 0, 0)), kRefused) << "a folder that does not exist";
    EXPECT_EQ(c.call(generateRequest("id_new", 0, 0)), kRefused) << "a relative path";
    EXPECT_EQ(c.call(generateRequest(keys_ + "\\id_new:stream", 0, 0)), kRefused) << "a stream of another file";
    EXPECT_EQ(c.call(generateRequest(keys_ + "\\", 0, 0)), kRefused) << "no file name";
    EXPECT_EQ(c.call(generateRequest("\\\\?\\" + fresh, 0, 0)), kRefused) << "a device path";
    EXPECT_EQ(c.call(generateRequest("\\\\localhost\\C$" + fresh.substr(2), 0, 0)), kRefused) << "a share";
    std::string log = readFile(log_);
    EXPECT_NE(log.find("): refused, a device path"), std::string::npos) << log;
    EXPECT_NE(log.find("): refused, a path of another computer"), std::string::npos);

    // A thread of no process, and one that has ended.
    EXPECT_EQ(c.call(generateRequest(fresh, 0, 0, 0)), kRefused);
    DWORD endedId = 0;
    HANDLE ended = CreateThread(nullptr, 0, endAtOnce, nullptr, 0, &endedId);
    ASSERT_NE(ended, nullptr);
    WaitForSingleObject(ended, scaled(5000));
    CloseHandle(ended);
    EXPECT_EQ(c.call(generateRequest(fresh, 0, 0, endedId)), kRefused);

    ASSERT_EQ(c.call(Bytes{22, 0, 0, 0, 1, 'p'}), kSuccess);
    EXPECT_EQ(c.call(generateRequest(fresh, 0, 0)), kRefused) << "locked";
    ASSERT_EQ(c.call(Bytes{23, 0, 0, 0, 1, 'p'}), kSuccess);
    AttachedWindow manager(pipe_);
    ASSERT_EQ(SendMessageA(window_, WM_AGENT_SET_ALLOW_ADD, 0, 0), 1);
    EXPECT_EQ(c.call(generateRequest(fresh, 0, 0)), kRefused) << "AllowAdd off";
    SendMessageA(window_, WM_AGENT_SET_ALLOW_ADD, 0, 1);

    std::vector<std::string> left = filesIn(keys_);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"id_folder", "id_pub_taken.pub", "id_taken"}));
    EXPECT_TRUE(heldNames(c).empty());
    EXPECT_FALSE(generated(c.call(generateRequest(fresh, 0, 0))).empty()) << "the connection goes on and works";
}

TEST_F(KeyGeneration, ACallerThreadTerminatedWhileTheAgentGeneratesLeavesNoFileAndNoKey) {
    HWND listener = makeWindow();
    Client c(pipe_);
    ASSERT_EQ(c.call(attachRequest(listener)), kSuccess);
    // As the manager does on Cancel: the thread goes, the pipe handle stays open.
    CutOffCaller caller{pipe_, keys_ + "\\id_cut", nullptr};
    caller.thread = CreateThread(nullptr, 0, CutOffCaller::run, &caller, 0, nullptr);
    ASSERT_NE(caller.thread, nullptr);
    ASSERT_TRUE(agentIsGenerating("id_cut")) << "the agent has begun";
    ASSERT_TRUE(TerminateThread(caller.thread, 1));
    WaitForSingleObject(caller.thread, scaled(5000));
    CloseHandle(caller.thread);
    std::string outcome;
    EXPECT_TRUE(waitFor([&] { return !(outcome = outcomeFor(readFile(log_), "id_cut")).empty() && !begun(outcome); }, scaled(45000)));
    EXPECT_NE(outcome.find("discarded"), std::string::npos) << outcome;
    EXPECT_TRUE(filesIn(keys_).empty()) << "neither the files nor a temporary one";
    EXPECT_TRUE(heldNames(c).empty());
    EXPECT_EQ(refreshesWithin(listener, 200), 0) << "no change to announce";
    EXPECT_EQ(c.call(Bytes{11}), (Bytes{12, 0, 0, 0, 0})) << "the agent still answers";
    DestroyWindow(listener);
}

TEST_F(KeyGeneration, AConnectionClosedWhileTheAgentGeneratesLeavesNoFileAndNoKey) {
    {
        Client gone(pipe_);
            ASSERT_TRUE(gone.send(generateRequest(keys_ + "\\id_closed", 1, 3072)));
        ASSERT_TRUE(agentIsGenerating("id_closed"));
    }
    std::string outcome;
    EXPECT_TRUE(waitFor([&] { return !(outcome = outcomeFor(readFile(log_), "id_closed")).empty() && !begun(outcome); }, scaled(45000)));
    EXPECT_NE(outcome.find("discarded"), std::string::npos) << outcome;
    EXPECT_TRUE(filesIn(keys_).empty());
    Client c(pipe_);
    EXPECT_TRUE(heldNames(c).empty());
}
