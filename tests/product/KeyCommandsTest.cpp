// The key commands of the manager against the real agent: what the list
// shows, what ssh-add sees and whether a real ssh login goes through.
#include "AppFixture.h"
#include "ProductApp.h"
#include "resource.h"

#include <fstream>

using namespace e2e;

namespace {

UINT typeStringOf(const std::string &keyName)
{
    if (keyName.compare(0, 7, "ed25519") == 0)
        return IDS_KEY_TYPE_ED25519;
    return keyName.compare(0, 3, "rsa") == 0 ? IDS_KEY_TYPE_RSA : IDS_KEY_TYPE_ECDSA;
}

// Keys in OpenSSH's own format keep their comment; the others are named
// after their file.
std::string shownNameOf(const std::string &keyName)
{
    return keyName.find("-openssh") != std::string::npos ? "product " + keyName : keyName;
}

std::string firstLineOf(const std::string &path)
{
    std::vector<std::string> lines = readLines(path);
    return lines.empty() ? "" : lines[0];
}

class Startup : public ProductApp {};
class KeyFiles : public ProductApp {
protected:
    // The row of a key that ssh-keygen made, checked against its files.
    void expectRowOf(const std::string &keyName)
    {
        int row = rowWithFingerprint(fingerprintOf(keyName));
        ASSERT_GE(row, 0) << "no row shows " << fingerprintOf(keyName);
        KeyRow shown = rows()[row];
        EXPECT_EQ(shown.name, shownNameOf(keyName));
        EXPECT_EQ(shown.type, englishString(typeStringOf(keyName)));
    }

    void exportKey(int row, bool rfc4716, const std::string &path)
    {
        select(row);
        HWND format = dialogOf(IDM_EXPORT_KEY, "Export Public Key");
        ASSERT_NE(format, (HWND)NULL);
        if (rfc4716)
            SendDlgItemMessageA(format, IDC_EXPORT_RFC4716, BM_CLICK, 0, 0);
        ASSERT_TRUE(closeWith(format, IDOK));
        chooseFile(englishString(IDS_EXPORT_TITLE), path);
        ASSERT_TRUE(waitUntil(10000, [&] { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }))
            << "nothing written to " << path;
    }

    HWND keySettings(int row, const std::string &name, const std::string &lifetime)
    {
        select(row);
        HWND dialog = dialogOf(IDC_KEY_TEXT, "Key Settings");
        if (dialog != NULL) {
            setField(dialog, IDC_KEY_NAME, name);
            setField(dialog, IDC_KEY_LIFETIME, lifetime);
            PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        }
        return dialog;
    }
};

TEST_F(Startup, TheLibraryStartsTheAgentAndTheListFollowsSshAdd)
{
    start();
    // The agent serves its pipe before its window is made: emulated, the
    // window comes noticeably later.
    EXPECT_TRUE(e2e::waitUntil(10000, [] { return agentWindow() != NULL; })) << "no agent was started";
    EXPECT_TRUE(rows().empty());
    EXPECT_TRUE(menuEnabled(IDM_ADD_KEY));
    EXPECT_TRUE(enabled(IDC_LOCK_AGENT));
    EXPECT_FALSE(enabled(IDC_UNLOCK_AGENT));
    EXPECT_EQ(peer("list").output, "The agent has no identities.");
    // The agent took the manager's environment: its log is in the folder
    // that LogDir names through APPDATA.
    EXPECT_NE(GetFileAttributesA((appData + "\\gAgentLog.txt").c_str()), INVALID_FILE_ATTRIBUTES);

    for (const char *key : {"ed25519-openssh", "ecdsa384-openssh"})
        ASSERT_EQ(peer("add", "keys/" + std::string(key)).status, 0) << key;
    ASSERT_TRUE(waitForRowCount(2)) << "the list did not follow ssh-add";
    KeyRow first = rows()[0];
    EXPECT_EQ(first.name, "product ed25519-openssh");
    EXPECT_EQ(first.type, englishString(IDS_KEY_TYPE_ED25519));
    EXPECT_EQ(first.detail, fingerprintOf("ed25519-openssh") + ", 256 bits");
    EXPECT_EQ(fingerprintIn(rows()[1].detail), fingerprintOf("ecdsa384-openssh"));

    ASSERT_EQ(peer("remove", "keys/ed25519-openssh").status, 0);
    ASSERT_TRUE(waitForRowCount(1)) << "the list did not follow ssh-add -d";
    EXPECT_EQ(rows()[0].name, "product ecdsa384-openssh");
    select(0);
    clickBelowRows();
    EXPECT_TRUE(waitUntil(3000, [&] { return !enabled(IDC_REMOVE_KEY); }));
}

// ssh-add -h: the detail says where the key may go, in ssh-add's words,
// and the key still logs in to the host it is held to.
TEST_F(Startup, AKeyHeldToDestinationsShowsThemAndLogsInThere)
{
    start();
    PeerAnswer added = peer("add-destined", "keys/ed25519-openssh product-a product-a>git@product-b");
    ASSERT_EQ(added.status, 0) << added.output;
    ASSERT_TRUE(waitForRowCount(1)) << "the list did not follow ssh-add -h";
    EXPECT_EQ(rows()[0].detail,
              fingerprintOf("ed25519-openssh") + ", 256 bits, only for product-a, product-a>git@product-b");
    PeerAnswer login = peer("login", "keys/ed25519-openssh.pub");
    EXPECT_EQ(login.status, 0) << login.output;
}

TEST_F(KeyFiles, EveryKindAddedThroughTheManagerLogsInThroughTheAgent)
{
    const char *const kinds[] = {"ed25519-openssh",    "ed25519-openssh-enc", "rsa-openssh-enc",
                                 "rsa-PEM",            "rsa-PEM-enc",         "rsa-PKCS8",
                                 "rsa-PKCS8-enc",      "ecdsa256-openssh",    "ecdsa384-PEM-enc",
                                 "ecdsa521-PEM",       "ecdsa256-PKCS8-enc",  "ecdsa384-PKCS8"};
    start();
    size_t added = 0;
    for (const char *kind : kinds) {
        SCOPED_TRACE(kind);
        addKeyFile(keyFile(kind));
        if (std::string(kind).find("-enc") != std::string::npos) {
            ASSERT_TRUE(answerKeyPassphrase(passphrase)) << "no passphrase prompt";
        }
        ASSERT_TRUE(waitForRowCount(++added));
        expectRowOf(kind);
    }
    EXPECT_FALSE(app->hasOtherTopLevelWindow()) << "a box after the adds";
    for (const char *kind : kinds) {
        PeerAnswer login = peer("login", "keys/" + std::string(kind) + ".pub");
        EXPECT_EQ(login.status, 0) << kind << ": " << login.output;
    }
}

TEST_F(KeyFiles, AWrongPassphraseIsAskedAgainAndACancelOrThreeWrongAddNothing)
{
    start();
    addKeyFile(keyFile("ed25519-openssh-enc"));
    std::string retry;
    ASSERT_TRUE(answerKeyPassphrase("not the words"));
    ASSERT_TRUE(answerKeyPassphrase(passphrase, false, &retry));
    EXPECT_NE(retry.find("Tries left: 2"), std::string::npos) << retry;
    ASSERT_TRUE(waitForRowCount(1));
    expectRowOf("ed25519-openssh-enc");

    addKeyFile(keyFile("rsa-PKCS8-enc"));
    ASSERT_TRUE(answerKeyPassphrase("", true));
    EXPECT_EQ(closeBoxOwnedBy(window), englishString(IDS_ADD_KEY_FILE_FAILED));
    addKeyFile(keyFile("ecdsa256-PEM-enc"));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(answerKeyPassphrase("wrong " + std::to_string(i))) << "prompt " << i;
    EXPECT_EQ(closeBoxOwnedBy(window), englishString(IDS_ADD_KEY_FILE_FAILED));
    EXPECT_EQ(rows().size(), 1u);

    EXPECT_EQ(peer("login", "keys/ed25519-openssh-enc.pub").status, 0);
    EXPECT_NE(peer("login", "keys/rsa-PKCS8-enc.pub").status, 0) << "a login with a key the agent must not hold";
}

TEST_F(KeyFiles, RemoveExportAndKeySettingsChangeTheAgent)
{
    start();
    for (const char *key : {"ed25519-openssh", "rsa-openssh"})
        ASSERT_EQ(peer("add", "keys/" + std::string(key)).status, 0) << key;
    ASSERT_TRUE(waitForRowCount(2));
    int ed = rowWithFingerprint(fingerprintOf("ed25519-openssh"));
    int rsa = rowWithFingerprint(fingerprintOf("rsa-openssh"));
    ASSERT_TRUE(ed >= 0 && rsa >= 0);

    std::string out = sandbox->file("out\\");
    createFolders(out);
    exportKey(ed, false, out + "ed25519.pub");
    EXPECT_EQ(firstLineOf(out + "ed25519.pub"), firstLineOf(keyFile("ed25519-openssh.pub")));
    checkLater("openssh", out + "ed25519.pub", fingerprintOf("ed25519-openssh"));
    exportKey(rsa, true, out + "rsa-rfc4716.pub");
    EXPECT_EQ(firstLineOf(out + "rsa-rfc4716.pub"), "---- BEGIN SSH2 PUBLIC KEY ----");
    checkLater("rfc4716", out + "rsa-rfc4716.pub", fingerprintOf("rsa-openssh"));

    // A name and a lifetime: both reach the agent, which ssh-add shows.
    HWND dialog = keySettings(rsa, "renamed rsa", "30m");
    ASSERT_NE(dialog, (HWND)NULL);
    ASSERT_TRUE(waitUntil(10000, [&] { return !IsWindow(dialog); }));
    ASSERT_TRUE(waitUntil(10000, [&] { return rows()[rsa].name == "renamed rsa"; })) << rows()[rsa].name;
    // Shown rounded down to minutes and seconds, counted from the agent's
    // clock: 29 min 59 s if a second has passed.
    std::string detail = rows()[rsa].detail;
    EXPECT_TRUE(detail == fingerprintOf("rsa-openssh") + ", 2048 bits, expires in 30 min" ||
                detail.find(", 2048 bits, expires in 29 min 5") != std::string::npos)
        << detail;
    EXPECT_NE(peer("list").output.find(" renamed rsa"), std::string::npos);

    // A lifetime the library cannot read changes nothing, not even the name.
    std::vector<KeyRow> before = rows();
    dialog = keySettings(ed, "never shown", "soon");
    ASSERT_NE(dialog, (HWND)NULL);
    ASSERT_TRUE(waitUntil(10000, [&] { return !IsWindow(dialog); }));
    std::string caption;
    std::string box = closeBoxOwnedBy(window, &caption);
    EXPECT_EQ(caption, "Glimmerpad Key Agent");
    EXPECT_NE(box.find("\"soon\""), std::string::npos) << box;
    settle(500);
    EXPECT_EQ(rows()[ed].name, before[ed].name);
    EXPECT_EQ(peer("list").output.find("never shown"), std::string::npos);

    select(ed);
    command(IDC_REMOVE_KEY);
    ASSERT_TRUE(waitForRowCount(1));
    EXPECT_EQ(rows()[0].name, "renamed rsa");
    EXPECT_NE(peer("login", "keys/ed25519-openssh.pub").status, 0) << "the removed key still signs";
    EXPECT_EQ(peer("login", "keys/rsa-openssh.pub").status, 0);
}

} // namespace
