// The agent's safeguards as every client meets them through the request
// handler: constraints and lifetimes on a clock of the test's, locking and
// its delays, the three policies, the agent passphrase and its verifier,
// and the log events they leave.
#include "TestAgent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace agentcore;
using namespace testkeys;

TEST(Constraints, ALifetimeEndsOnTheClockAndTheExpiredKeyIsReportedAndAnnounced) {
    Agent a;
    ASSERT_EQ(a.add("ed25519", lifetime(2)), kOk);
    ASSERT_EQ(a.add("ecdsa256"), kOk);
    EXPECT_EQ(a.store.untilNextExpiry(), 2000u);
    a.clock += 1999;
    EXPECT_EQ(a.listed(), 2u);
    EXPECT_TRUE(a.signs("ed25519"));
    int before = a.changes;
    a.clock += 1;
    EXPECT_EQ(a.store.expire(), 1u);
    EXPECT_EQ(a.changes, before + 1) << "windows are told";
    EXPECT_EQ(a.lastEvent().operation, "expire");
    EXPECT_EQ(a.lastEvent().fingerprint, fingerprintSha256(publicBlob(fixturePath("ed25519.pub"))));
    EXPECT_FALSE(a.signs("ed25519"));
    EXPECT_EQ(a.listed(), 1u);
    EXPECT_EQ(a.store.untilNextExpiry(), KeyStore::kNever);

    // Due keys go at the next request even before the timer has run.
    ASSERT_EQ(a.add("rsa2048", lifetime(1)), kOk);
    a.clock += 5000;
    EXPECT_FALSE(a.signs("rsa2048"));
    EXPECT_EQ(a.listed(), 1u);
}

TEST(Constraints, SetLifetimeStartsAndStopsTheClockOfAHeldKey) {
    Agent a;
    ASSERT_EQ(a.add("ed25519"), kOk);
    WireWriter set;
    set.string(publicBlob(fixturePath("ed25519.pub")));
    set.u32(60);
    EXPECT_EQ(a.extension("set-lifetime@glimmerpad", set.bytes()), kOk);
    EXPECT_EQ(a.store.untilNextExpiry(), 60000u);
    WireWriter clear;
    clear.string(publicBlob(fixturePath("ed25519.pub")));
    clear.u32(0);
    EXPECT_EQ(a.extension("set-lifetime@glimmerpad", clear.bytes()), kOk);
    a.clock += 120000;
    EXPECT_EQ(a.listed(), 1u) << "no lifetime any more";
    WireWriter unknown;
    unknown.string(publicBlob(fixturePath("rsa2048.pub")));
    unknown.u32(5);
    EXPECT_EQ(a.extension("set-lifetime@glimmerpad", unknown.bytes()), kExtFail);
}

TEST(Constraints, UnknownDuplicateOrEmptyConstraintsRefuseTheAddAndTruncatedOnesClose) {
    Agent a;
    const Bytes refused[] = {
        Bytes{3, 0, 0, 0, 9},                           // a signature count this agent does not keep
        Bytes{255, 0, 0, 0, 3, 'x', '@', 'y'},          // an extension constraint
        Bytes{2, 2},                                    // confirm twice
        lifetime(0),                                    // a lifetime of nothing
    };
    for (const Bytes& c : refused) {
        EXPECT_EQ(a.add("ed25519", c), kFail);
        EXPECT_TRUE(a.open);
    }
    Bytes twoLifetimes = lifetime(5);
    Bytes second = lifetime(6);
    twoLifetimes.insert(twoLifetimes.end(), second.begin(), second.end());
    EXPECT_EQ(a.add("ed25519", twoLifetimes), kFail);
    EXPECT_EQ(a.listed(), 0u) << "nothing was held with less than asked";
    EXPECT_EQ(a.add("ed25519", Bytes{SSH_AGENT_CONSTRAIN_LIFETIME, 0, 0}), kFail);
    EXPECT_FALSE(a.open);
}

TEST(Confirmation, TheConfirmConstraintAsksForEverySignatureOfThatKeyOnly) {
    Agent a;
    ASSERT_EQ(a.add("ed25519", Bytes{SSH_AGENT_CONSTRAIN_CONFIRM}), kOk);
    ASSERT_EQ(a.add("ecdsa256"), kOk);
    EXPECT_TRUE(a.signs("ed25519"));
    EXPECT_TRUE(a.signs("ecdsa256"));
    ASSERT_EQ(a.asked.size(), 1u);
    EXPECT_EQ(a.asked[0].name, "fixture ed25519");
    EXPECT_EQ(a.asked[0].fingerprint, fingerprintSha256(publicBlob(fixturePath("ed25519.pub"))));
    a.answer = false;
    EXPECT_FALSE(a.signs("ed25519"));
    EXPECT_TRUE(a.open);
    EXPECT_EQ(a.lastEvent().outcome, "refused, not confirmed by the user");
    EXPECT_EQ(a.lastEvent().clientProcess, 4321u);
    // Without a way to ask, a key that needs asking does not sign.
    a.handler.setConfirmPrompt(nullptr);
    EXPECT_FALSE(a.signs("ed25519"));
    EXPECT_TRUE(a.signs("ecdsa256"));
}

TEST(Confirmation, ConfirmKeyOpAsksForEveryKey) {
    Agent a;
    ASSERT_EQ(a.add("ed25519"), kOk);
    ASSERT_EQ(a.add("rsa2048"), kOk);
    a.store.setPolicies(Policies{true, true, true});
    a.answer = false;
    EXPECT_FALSE(a.signs("ed25519"));
    EXPECT_FALSE(a.signs("rsa2048"));
    EXPECT_EQ(a.asked.size(), 2u);
    a.store.setPolicies(Policies{});
    EXPECT_TRUE(a.signs("rsa2048"));
    EXPECT_EQ(a.asked.size(), 2u);
}

// The notification area's notice is for signatures nobody was asked about:
// told after the signature exists, never for one asked, refused or failed.
TEST(Confirmation, OnlySignaturesMadeUnaskedAreNoticed) {
    Agent a;
    std::vector<std::string> noticed;
    a.handler.setSignNotice([&](const KeyInfo& key, const SignDestination&, std::uint64_t client) {
        EXPECT_EQ(client, 4321u);
        noticed.push_back(key.name);
    });
    ASSERT_EQ(a.add("ed25519", Bytes{SSH_AGENT_CONSTRAIN_CONFIRM}), kOk);
    ASSERT_EQ(a.add("ecdsa256"), kOk);
    EXPECT_TRUE(a.signs("ecdsa256"));
    EXPECT_EQ(noticed, std::vector<std::string>{"fixture p256"});
    EXPECT_TRUE(a.signs("ed25519")) << "confirmed";
    a.answer = false;
    EXPECT_FALSE(a.signs("ed25519"));
    a.store.setPolicies(Policies{true, true, true});
    EXPECT_FALSE(a.signs("ecdsa256"));
    // Asked, and the policy switched off while the user answered: still a
    // signature the user saw.
    a.handler.setConfirmPrompt([&](const KeyInfo&, const SignDestination&, std::uint64_t) {
        a.store.setPolicies(Policies{});
        return true;
    });
    EXPECT_TRUE(a.signs("ecdsa256"));
    ASSERT_EQ(a.store.lock(reinterpret_cast<const std::uint8_t*>("pw"), 2), StoreResult::Ok);
    EXPECT_FALSE(a.signs("ecdsa256"));
    EXPECT_EQ(noticed.size(), 1u);
}

TEST(Policies, AllowAddAndAllowDeleteOffRefuseEveryAddAndRemoveAndResetStillClears) {
    Agent a;
    ASSERT_EQ(a.add("ed25519"), kOk);
    a.store.setPolicies(Policies{false, false, false});
    EXPECT_EQ(a.add("rsa2048"), kFail);
    EXPECT_EQ(a.add("rsa2048", Bytes{SSH_AGENT_CONSTRAIN_CONFIRM}), kFail);
    EXPECT_EQ(a.lastEvent().outcome, "refused by the agent's policy");
    EXPECT_EQ(a.remove("ed25519"), kFail);
    EXPECT_EQ(a.call(SSH_AGENTC_REMOVE_ALL_IDENTITIES), kFail);
    EXPECT_TRUE(a.open);
    EXPECT_EQ(a.listed(), 1u);
    EXPECT_TRUE(a.signs("ed25519")) << "signing is not a change";
    a.store.reset();
    EXPECT_EQ(a.store.size(), 0u);
    a.store.setPolicies(Policies{});
    EXPECT_EQ(a.add("rsa2048"), kOk);
    EXPECT_EQ(a.remove("rsa2048"), kOk);
}

TEST(Locking, ALockedAgentListsNothingAndRefusesSigningAddingAndRemoving) {
    Agent a;
    ASSERT_EQ(a.add("ed25519"), kOk);
    int before = a.changes;
    ASSERT_EQ(a.lock("open sesame"), kOk);
    EXPECT_GT(a.changes, before) << "windows are told of the lock";
    EXPECT_TRUE(a.lockState());
    EXPECT_EQ(a.listed(), 0u);
    EXPECT_FALSE(a.signs("ed25519"));
    EXPECT_EQ(a.add("rsa2048"), kFail);
    EXPECT_EQ(a.remove("ed25519"), kFail);
    EXPECT_EQ(a.call(SSH_AGENTC_REMOVE_ALL_IDENTITIES), kFail);
    WireWriter rename;
    rename.string(publicBlob(fixturePath("ed25519.pub")));
    rename.string(std::string("renamed"));
    EXPECT_EQ(a.extension("rename-key@glimmerpad", rename.bytes()), kExtFail);
    EXPECT_EQ(a.lock("another"), kFail) << "locked once";
    EXPECT_EQ(a.unlock("open sesame"), kOk);
    EXPECT_FALSE(a.lockState());
    EXPECT_EQ(a.names(), std::vector<std::string>{"fixture ed25519"}) << "the keys come back as they were";
    EXPECT_EQ(a.unlock("open sesame"), kFail) << "not locked";
}

TEST(Locking, EachGuessAfterAWrongOneWaitsLongerAndTheRightOneStartsAgain) {
    Agent a;
    ASSERT_EQ(a.lock("hunter2-right"), kOk);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(a.unlock("guess-x9"), kFail);
    EXPECT_EQ(a.unlock(""), kFail);
    EXPECT_EQ(a.delays, (std::vector<std::uint32_t>{250, 500, 1000})) << "the first guess waits for nothing";
    EXPECT_EQ(a.lastEvent().outcome, "refused, wrong passphrase (4 in a row)");
    EXPECT_EQ(a.unlock("hunter2-right"), kOk);
    EXPECT_EQ(a.delays.back(), 2000u) << "the right one waits its turn too";
    ASSERT_EQ(a.lock("hunter2-right"), kOk);
    EXPECT_EQ(a.unlock("guess-x9"), kFail);
    EXPECT_EQ(a.unlock("guess-x9"), kFail);
    EXPECT_EQ(a.delays, (std::vector<std::uint32_t>{250, 500, 1000, 2000, 250}));
    EXPECT_EQ(GuessBrake::waitAfter(40), 16000u) << "the wait has a ceiling";
    for (const AgentEvent& e : a.events) {
        EXPECT_EQ(e.outcome.find("hunter2-right"), std::string::npos);
        EXPECT_EQ(e.outcome.find("guess-x9"), std::string::npos) << "no passphrase in the log";
    }
}

TEST(AgentPassphrase, ChangedOnlyByWhoKnowsItAndLocksAndUnlocksTheAgent) {
    Agent a;
    EXPECT_EQ(a.extension("lock-with-agent-passphrase@glimmerpad"), kExtFail) << "none set";
    EXPECT_FALSE(a.store.changeAgentPassphrase(toBytes("guess"), toBytes("mine"))) << "only the empty text matches none";
    EXPECT_TRUE(a.store.changeAgentPassphrase(toBytes(""), toBytes("first")));
    EXPECT_FALSE(a.store.changeAgentPassphrase(toBytes(""), toBytes("second")));
    EXPECT_FALSE(a.store.changeAgentPassphrase(toBytes("First"), toBytes("second")));
    EXPECT_TRUE(a.store.changeAgentPassphrase(toBytes("first"), toBytes("second")));

    ASSERT_EQ(a.add("ed25519"), kOk);
    EXPECT_EQ(a.extension("lock-with-agent-passphrase@glimmerpad"), kOk);
    EXPECT_TRUE(a.lockState());
    EXPECT_EQ(a.extension("lock-with-agent-passphrase@glimmerpad"), kExtFail) << "already locked";
    EXPECT_EQ(a.unlock("first"), kFail);
    EXPECT_EQ(a.unlock("second"), kOk);
    EXPECT_EQ(a.listed(), 1u);

    // A restart: a new store given only the stored verifier.
    std::string stored = formatVerifier(a.store.agentPassphrase());
    EXPECT_EQ(stored.find("second"), std::string::npos);
    Agent restarted;
    Verifier v;
    ASSERT_TRUE(parseVerifier(stored, v));
    restarted.store.restoreAgentPassphrase(v);
    EXPECT_EQ(restarted.extension("lock-with-agent-passphrase@glimmerpad"), kOk);
    EXPECT_EQ(restarted.unlock("second"), kOk);

    EXPECT_TRUE(a.store.changeAgentPassphrase(toBytes("second"), toBytes("")));
    EXPECT_TRUE(a.store.agentPassphrase().empty()) << "an empty new passphrase clears it";
    EXPECT_TRUE(a.store.changeAgentPassphrase(toBytes(""), toBytes("third")));
    ASSERT_EQ(a.lock("client's own"), kOk);
    a.store.reset();
    EXPECT_FALSE(a.store.locked());
    EXPECT_TRUE(a.store.agentPassphrase().empty());
    EXPECT_EQ(a.store.size(), 0u);
}

TEST(Verifier, SaltedMatchesOnlyItsPassphraseAndRefusesDamagedText) {
    initCrypto();
    const std::string p = "correct horse";
    auto data = reinterpret_cast<const std::uint8_t*>(p.data());
    Verifier one, two;
    ASSERT_TRUE(makeVerifier(data, p.size(), kMinVerifierCost, one));
    ASSERT_TRUE(makeVerifier(data, p.size(), kMinVerifierCost, two));
    EXPECT_NE(one.salt, two.salt);
    EXPECT_NE(one.hash, two.hash);
    EXPECT_TRUE(matchesVerifier(one, data, p.size()));
    EXPECT_FALSE(matchesVerifier(one, data, p.size() - 1));
    EXPECT_FALSE(matchesVerifier(Verifier(), data, 0)) << "an empty verifier matches nothing";
    EXPECT_FALSE(makeVerifier(data, p.size(), kMaxVerifierCost * 2, one));
    EXPECT_FALSE(makeVerifier(data, p.size(), 3000, one)) << "N must be a power of two";

    ASSERT_TRUE(makeVerifier(data, p.size(), kMinVerifierCost, one));
    std::string text = formatVerifier(one);
    Verifier back;
    ASSERT_TRUE(parseVerifier(text, back));
    EXPECT_TRUE(matchesVerifier(back, data, p.size()));
    std::string cost = std::to_string(kMinVerifierCost);
    const std::string damaged[] = {
        "",
        text.substr(0, text.size() - 3),                                          // hash cut short
        "pbkdf2" + text.substr(6),                                                // another scheme
        text.substr(0, text.size() - 1) + " extra\n",                             // trailing token
        "scrypt 4294967296" + text.substr(7 + cost.size()),                       // cost beyond range
        "scrypt 512" + text.substr(7 + cost.size()),                              // cost below range
        "scrypt " + cost + " " + std::string(32, 'g') + text.substr(8 + cost.size() + 32),  // not hex
    };
    for (const std::string& d : damaged) {
        EXPECT_FALSE(parseVerifier(d, back)) << d;
        EXPECT_TRUE(back.empty());
    }
}

TEST(Extensions, RenameChangesTheListedNameAndRefusesEmptyOrUnknown) {
    Agent a;
    ASSERT_EQ(a.add("ed25519"), kOk);
    auto rename = [&](const std::string& key, const std::string& name) {
        WireWriter w;
        w.string(publicBlob(fixturePath(key + ".pub")));
        w.string(name);
        return a.extension("rename-key@glimmerpad", w.bytes());
    };
    int before = a.changes;
    EXPECT_EQ(rename("ed25519", "work laptop"), kOk);
    EXPECT_GT(a.changes, before);
    EXPECT_EQ(a.names(), std::vector<std::string>{"work laptop"});
    EXPECT_EQ(rename("ed25519", ""), kExtFail);
    EXPECT_EQ(rename("ed25519", std::string(1025, 'n')), kExtFail);
    EXPECT_EQ(rename("rsa2048", "nobody"), kExtFail);
    EXPECT_EQ(a.names(), std::vector<std::string>{"work laptop"});
    EXPECT_EQ(a.extension("rename-key@glimmerpad", Bytes{0, 0}), kExtFail);
    EXPECT_FALSE(a.open) << "a malformed body closes";
}

TEST(Keys, ADsaKeyWithAGroupLibgcryptCannotWorkInIsRefusedInsteadOfEndingTheAgent) {
    // Found by the request fuzzer: an add whose q is no prime made the
    // trial signature's check abort inside libgcrypt.
    std::string input = readText(std::string(AGENTCORE_FIXTURES) + "/../../fuzz/corpus-agent-requests/dsa-group-not-prime");
    ASSERT_GT(input.size(), 2u);
    Agent a;
    Connection connection(a.handler);
    Bytes out;
    Bytes stream(input.begin() + 2, input.end());
    connection.receive(stream.data(), stream.size(), out);
    EXPECT_EQ(a.store.size(), 0u);
    EXPECT_EQ(a.listed(), 0u) << "the agent is still there to answer";
}

namespace {

struct Listed {
    Bytes blob;
    std::string name;
    std::uint32_t secondsLeft;
    bool confirm;
    std::uint32_t destinations;
};

// The whole answer must be read: a field too many or too few is a fault.
std::vector<Listed> keyList(Agent& a) {
    Bytes reply = a.extension("key-list@glimmerpad");
    WireReader r(reply);
    std::uint8_t type = 0;
    std::uint32_t n = 0;
    EXPECT_TRUE(r.u8(type) && r.u32(n));
    EXPECT_EQ(type, SSH_AGENT_SUCCESS);
    std::vector<Listed> out(n);
    for (Listed& l : out) r.string(l.blob), r.text(l.name), r.u32(l.secondsLeft), r.boolean(l.confirm), r.u32(l.destinations);
    EXPECT_TRUE(r.atEnd());
    return out;
}

}  // namespace

TEST(Extensions, KeyListGivesEachKeyItsNameLifetimeLeftAndConfirmInTheIdentitiesOrder) {
    Agent a;
    Bytes lifetimeAndConfirm = lifetime(90);
    lifetimeAndConfirm.push_back(SSH_AGENT_CONSTRAIN_CONFIRM);
    ASSERT_EQ(a.add("ed25519", lifetimeAndConfirm), kOk);
    ASSERT_EQ(a.add("rsa2048", Bytes{SSH_AGENT_CONSTRAIN_CONFIRM}), kOk);
    ASSERT_EQ(a.call(SSH_AGENTC_ADD_IDENTITY, addCertificateBody(fixturePath("ecdsa256"), fixturePath("ecdsa256-cert.pub"))),
              kOk);
    WireWriter rename;
    rename.string(publicBlob(fixturePath("rsa2048.pub")));
    rename.string(std::string("build server"));
    ASSERT_EQ(a.extension("rename-key@glimmerpad", rename.bytes()), kOk);

    std::vector<Listed> keys = keyList(a);
    ASSERT_EQ(keys.size(), 3u);
    Bytes identities = a.call(SSH_AGENTC_REQUEST_IDENTITIES);
    WireReader ids(identities);
    std::uint8_t type;
    std::uint32_t n;
    ASSERT_TRUE(ids.u8(type) && ids.u32(n));
    for (const Listed& k : keys) {
        Bytes blob;
        std::string name;
        ASSERT_TRUE(ids.string(blob) && ids.text(name));
        EXPECT_EQ(k.blob, blob);
        EXPECT_EQ(k.name, name);
    }
    EXPECT_EQ(keys[0].name, "fixture ed25519");
    EXPECT_EQ(keys[0].secondsLeft, 90u);
    EXPECT_TRUE(keys[0].confirm);
    EXPECT_EQ(keys[1].name, "build server") << "the current name, not the one it was added with";
    EXPECT_EQ(keys[1].secondsLeft, 0u);
    EXPECT_TRUE(keys[1].confirm);
    EXPECT_EQ(keys[2].blob, publicBlob(fixturePath("ecdsa256-cert.pub"))) << "a certificate is listed as one";
    EXPECT_FALSE(keys[2].confirm);

    // Rounded to the nearest second, but never to the 0 of "no lifetime".
    a.clock += 88400;
    EXPECT_EQ(keyList(a)[0].secondsLeft, 2u);
    a.clock += 200;
    EXPECT_EQ(keyList(a)[0].secondsLeft, 1u);
    a.clock += 1399;
    EXPECT_EQ(keyList(a)[0].secondsLeft, 1u) << "one millisecond left";
    a.clock += 1;
    keys = keyList(a);
    ASSERT_EQ(keys.size(), 2u) << "an expired key is not listed";
    EXPECT_EQ(keys[0].name, "build server");
}

TEST(Extensions, KeyListIsEmptyWhileLockedAndAMalformedRequestCloses) {
    Agent a;
    ASSERT_EQ(a.add("ed25519"), kOk);
    ASSERT_EQ(a.lock("key-list secret"), kOk);
    EXPECT_EQ(a.extension("key-list@glimmerpad"), (Bytes{SSH_AGENT_SUCCESS, 0, 0, 0, 0}));
    ASSERT_EQ(a.unlock("key-list secret"), kOk);
    EXPECT_EQ(keyList(a).size(), 1u);
    EXPECT_EQ(a.extension("key-list@glimmerpad", Bytes{0}), kExtFail);
    EXPECT_FALSE(a.open);
}
