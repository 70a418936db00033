// Keys held for some destinations (ssh-add -h): the constraint as ssh-add
// sends it, refused whole when anything in it is wrong, and the agent's
// judgement of every connection by the session bindings it proved, with
// host keys, certificates and session signatures made here.
#include "TestAgent.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <thread>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace agentcore;
using namespace testkeys;

namespace {

std::unique_ptr<PrivateKey> newHostKey(const std::string& name) {
    initCrypto();
    std::unique_ptr<PrivateKey> key;
    EXPECT_TRUE(generateKey(KeyKind::Ed25519, 0, name, key));
    return key;
}

Bytes wrapped(const Bytes& b) {
    WireWriter w;
    w.string(b);
    return w.take();
}

// A hop as ssh-add writes it: user, host, reserved, then each key and
// whether it is an authority.
Bytes hop(const std::string& host, const std::vector<const PrivateKey*>& keys = {}, const std::string& user = "",
          bool authority = false, const Bytes& reserved = Bytes()) {
    WireWriter w;
    w.string(user), w.string(host), w.string(reserved);
    for (const PrivateKey* k : keys) w.string(k->pub.blob), w.boolean(authority);
    return wrapped(w.bytes());
}
Bytes hop(const std::string& host, const PrivateKey& key, const std::string& user = "") { return hop(host, {&key}, user); }
const Bytes kHere = hop("");

Bytes constraint(const Bytes& from, const Bytes& to, const Bytes& reserved = Bytes()) {
    WireWriter w;
    w.raw(from), w.raw(to), w.string(reserved);
    return wrapped(w.bytes());
}

Bytes restrictTo(const std::vector<Bytes>& constraints) {
    WireWriter list, w;
    for (const Bytes& c : constraints) list.raw(c);
    w.u8(SSH_AGENT_CONSTRAIN_EXTENSION), w.string(std::string(kRestrictDestination)), w.string(list.bytes());
    return w.take();
}

Bytes plus(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string typeOf(const Bytes& blob) {
    WireReader r(blob);
    std::string type;
    r.text(type);
    return type;
}

// What ssh signs to log in: the session, then SSH_MSG_USERAUTH_REQUEST.
Bytes loginWith(const Bytes& sessionId, const std::string& user, const std::string& algorithm, const Bytes& blob,
                const Bytes* hostKey) {
    WireWriter w;
    w.string(sessionId), w.u8(50), w.string(user), w.string(std::string("ssh-connection"));
    w.string(std::string(hostKey ? "publickey-hostbound-v00@openssh.com" : "publickey"));
    w.u8(1), w.string(algorithm), w.string(blob);
    if (hostKey) w.string(*hostKey);
    return w.take();
}
Bytes login(const Bytes& sessionId, const std::string& user, const std::string& key, const Bytes* hostKey) {
    Bytes blob = publicBlob(fixturePath(key + ".pub"));
    return loginWith(sessionId, user, typeOf(blob), blob, hostKey);
}

// A connection of its own, bound hop by hop as ssh binds it; every hop's
// host signs the session as in its key exchange.
struct Client {
    Agent& agent;
    Session session;
    std::vector<Bytes> ids;
    Bytes lastHostKey;

    explicit Client(Agent& a) : agent(a) { session.channel = Channel::Public; }
    Bytes bind(const PrivateKey& host, bool forwarding, const Bytes* hostKey = nullptr) {
        ids.push_back(Bytes(32, std::uint8_t(0x40 + ids.size())));
        Bytes signature;
        EXPECT_TRUE(signData(host, ids.back().data(), ids.back().size(), 0, signature));
        lastHostKey = hostKey ? *hostKey : host.pub.blob;
        WireWriter w;
        w.string(std::string("session-bind@openssh.com")), w.string(lastHostKey), w.string(ids.back());
        w.string(signature), w.boolean(forwarding);
        return call(SSH_AGENTC_EXTENSION, w.bytes());
    }
    Bytes call(std::uint8_t type, const Bytes& body) {
        std::swap(session, agent.session);
        Bytes reply = agent.call(type, body);
        std::swap(session, agent.session);
        return reply;
    }
    bool signs(const std::string& key, const Bytes& data) {
        WireWriter w;
        w.string(publicBlob(fixturePath(key + ".pub"))), w.string(data), w.u32(0);
        Bytes reply = call(SSH_AGENTC_SIGN_REQUEST, w.bytes());
        return !reply.empty() && reply[0] == SSH_AGENT_SIGN_RESPONSE;
    }
    // The login ssh makes on the last hop, naming its host key when asked.
    bool logsIn(const std::string& key, const std::string& user = "alice", bool hostBound = true) {
        return signs(key, login(ids.back(), user, key, hostBound ? &lastHostKey : nullptr));
    }
    std::vector<std::string> names() {
        std::swap(session, agent.session);
        std::vector<std::string> listed = agent.names();
        std::swap(session, agent.session);
        return listed;
    }
};

using Names = std::vector<std::string>;

struct Hosts {
    std::unique_ptr<PrivateKey> a = newHostKey("host-a"), b = newHostKey("host-b"), c = newHostKey("host-c");
};


// A certificate of an Ed25519 host key, signed here by its authority.
struct CertificateOrder {
    std::uint32_t type = 2;
    std::vector<std::string> principals{"web.example.com"};
    std::uint64_t validAfter = 0, validBefore = ~std::uint64_t(0);
    Bytes criticalOptions;
    std::uint32_t signFlags = SIGN_FLAG_RSA_SHA2_256;
};

Bytes certify(const PrivateKey& host, const PrivateKey& authority, const CertificateOrder& order) {
    WireWriter w, principals;
    for (const std::string& p : order.principals) principals.string(p);
    w.string(std::string("ssh-ed25519-cert-v01@openssh.com")), w.string(Bytes(32, 7)), w.string(host.pub.ed25519);
    w.u32(0), w.u32(1), w.u32(order.type), w.string(std::string("host")), w.string(principals.bytes());
    w.u32(std::uint32_t(order.validAfter >> 32)), w.u32(std::uint32_t(order.validAfter));
    w.u32(std::uint32_t(order.validBefore >> 32)), w.u32(std::uint32_t(order.validBefore));
    w.string(order.criticalOptions), w.string(Bytes()), w.string(Bytes()), w.string(authority.pub.blob);
    Bytes signature;
    EXPECT_TRUE(signData(authority, w.bytes().data(), w.bytes().size(), order.signFlags, signature));
    w.string(signature);
    return w.take();
}

}  // namespace

TEST(DestinationParsing, HopsWithUsersAndAnAuthorityAreHeldBesideLifetimeAndConfirmAndListedByName) {
    Agent a;
    Hosts h;
    auto ca = newHostKey("ca");
    Bytes several = restrictTo({constraint(kHere, hop("host-a", *h.a)),
                                constraint(hop("host-a", *h.a), hop("host-b", {h.b.get(), h.c.get()}, "b*")),
                                constraint(kHere, hop("*.example.com", {ca.get()}, "", true))});
    ASSERT_EQ(a.add("ed25519", plus(plus(lifetime(60), Bytes{SSH_AGENT_CONSTRAIN_CONFIRM}), several)), kOk);
    std::vector<Identity> held = a.store.list();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].secondsLeft, 60u);
    EXPECT_TRUE(held[0].confirm);
    ASSERT_EQ(held[0].destinations.size(), 3u);
    const DestinationHop& second = held[0].destinations[1];
    EXPECT_EQ(second.fromHost + ">" + second.toUser + "@" + second.toHost, "host-a>b*@host-b");
    EXPECT_EQ(held[0].destinations[2].toHost, "*.example.com");
    EXPECT_NE(a.lastEvent().outcome.find("only for 3 destinations"), std::string::npos);
}

// OpenSSH's ssh-add -h, through a socket served by this agent's framing,
// with host keys of this test's in the known_hosts it reads.
TEST(DestinationParsing, WhatSshAddSendsIsHeldAsItsUserMeantIt) {
    Agent a;
    Hosts h;
    auto ca = fixturePrivateKey("ca");
    char folder[] = "/tmp/agentcore-ssh-add-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    std::string dir = folder, socketPath = dir + "/agent";
    std::ofstream(dir + "/known_hosts") << "host-a " << publicKeyLine(h.a->pub, "") << "host-b "
                                        << publicKeyLine(h.b->pub, "") << "@cert-authority *.example.com "
                                        << publicKeyLine(ca->pub, "");
    std::ofstream(dir + "/id") << readText(fixturePath("ed25519"));
    chmod((dir + "/id").c_str(), 0600);
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    std::thread agent([&] {
        int client = accept(listener, nullptr, nullptr);
        agentcore::Connection connection(a.handler);
        std::uint8_t buffer[4096];
        Bytes out;
        for (ssize_t n; (n = read(client, buffer, sizeof buffer)) > 0;) {
            bool open = connection.receive(buffer, std::size_t(n), out);
            EXPECT_EQ(write(client, out.data(), out.size()), ssize_t(out.size()));
            out.clear();
            if (!open) break;
        }
        close(client);
    });
    std::string command = "SSH_AUTH_SOCK=" + socketPath + " ssh-add -q -t 60 -H " + dir +
                          "/known_hosts -h host-a -h 'host-a>bob@host-b' -h web.example.com " + dir + "/id";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    agent.join();
    close(listener);
    std::system(("rm -rf " + dir).c_str());

    std::vector<Identity> held = a.store.list();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].secondsLeft, 60u);
    std::string names;
    for (const DestinationHop& d : held[0].destinations) names += d.fromHost + ">" + d.toUser + "@" + d.toHost + " ";
    EXPECT_EQ(names, ">@host-a host-a>bob@host-b >@web.example.com ");
    Client toA(a), aToB(a), web(a);
    Bytes cert = certify(*h.c, *ca, CertificateOrder());
    ASSERT_EQ(toA.bind(*h.a, false), kOk);
    ASSERT_EQ(aToB.bind(*h.a, true), kOk);
    ASSERT_EQ(aToB.bind(*h.b, false), kOk);
    ASSERT_EQ(web.bind(*h.c, false, &cert), kOk);
    EXPECT_TRUE(toA.logsIn("ed25519") && aToB.logsIn("ed25519", "bob") && web.logsIn("ed25519"));
    EXPECT_FALSE(aToB.logsIn("ed25519", "alice"));
}

TEST(DestinationParsing, AConstraintWrongInAnyPartRefusesTheWholeAddAndChangesNothing) {
    Agent a;
    Hosts h;
    Bytes good = restrictTo({constraint(kHere, hop("host-a", *h.a))});
    ASSERT_EQ(a.add("ed25519", good), kOk);
    WireWriter unknownType, hugeRsa;
    unknownType.string(std::string("ssh-unknown")), unknownType.string(Bytes(32, 1));
    hugeRsa.string(std::string("ssh-rsa")), hugeRsa.mpint(Bytes{1, 0, 1}), hugeRsa.mpint(Bytes(2100, 0xff));
    PrivateKey unknownKey, hugeKey, certificate;
    unknownKey.pub.blob = unknownType.take(), hugeKey.pub.blob = hugeRsa.take();
    certificate.pub.blob = publicBlob(fixturePath("ed25519-cert.pub"));
    std::vector<const PrivateKey*> tooManyKeys(kMaxHopKeys + 1, h.a.get());
    std::vector<Bytes> tooMany(kMaxDestinationConstraints + 1, constraint(kHere, hop("host-a", *h.a)));
    Bytes cut = good;
    cut.pop_back();
    const std::pair<const char*, Bytes> refused[] = {
        {"an unknown key type", restrictTo({constraint(kHere, hop("host-a", unknownKey))})},
        {"a host key beyond the bounds", restrictTo({constraint(kHere, hop("host-a", hugeKey))})},
        {"a certificate as a host key", restrictTo({constraint(kHere, hop("host-a", certificate))})},
        {"too many keys in a hop", restrictTo({constraint(kHere, hop("host-a", tooManyKeys))})},
        {"too many constraints", restrictTo(tooMany)},
        {"a host name too long", restrictTo({constraint(kHere, hop(std::string(kMaxHopName + 1, 'h'), *h.a))})},
        {"a NUL in a name", restrictTo({constraint(kHere, hop(std::string("host-a\0x", 8), *h.a))})},
        {"no constraint", restrictTo({})},
        {"reserved data in a hop", restrictTo({constraint(kHere, hop("host-a", {h.a.get()}, "", false, Bytes{1}))})},
        {"reserved data in a constraint", restrictTo({constraint(kHere, hop("host-a", *h.a), Bytes{1})})},
        {"a user to start from", restrictTo({constraint(hop("host-a", *h.a, "bob"), hop("host-b", *h.b))})},
        {"a start with a host but no keys", restrictTo({constraint(hop("host-a"), hop("host-b", *h.b))})},
        {"a destination without keys", restrictTo({constraint(kHere, hop("host-a"))})},
        {"a destination without a host", restrictTo({constraint(kHere, hop("", *h.a))})},
        {"the constraint twice", plus(good, good)},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(a.add("ed25519", plus(lifetime(5), r.second)), kFail) << r.first;
        EXPECT_TRUE(a.open) << r.first;
    }
    // Cut short: the lengths lie, and the connection ends.
    EXPECT_EQ(a.add("ed25519", cut), kFail);
    EXPECT_FALSE(a.open);
    std::vector<Identity> held = a.store.list();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].secondsLeft, 0u) << "the key held as it was";
    EXPECT_EQ(held[0].destinations.size(), 1u);
}

TEST(DestinationParsing, TheKeyListsBoundCountsTheNamesOfEveryHop) {
    Agent a;
    Hosts h;
    auto keyListSize = [&] { return a.extension("key-list@glimmerpad").size(); };
    // Constraints whose names take exactly this many bytes of the key list:
    // 12 for each hop's three lengths, one each for the start and the user,
    // then the destination's name.
    const std::size_t most = 14 + kMaxHopName;
    auto listing = [&](std::size_t bytes) {
        std::size_t count = (bytes + most - 1) / most, names = bytes - 14 * count;
        std::vector<Bytes> hops;
        for (std::size_t i = 0; i < count; ++i, names -= std::min(names, kMaxHopName))
            hops.push_back(constraint(hop("f", *h.b), hop(std::string(std::min(names, kMaxHopName), 'n'), *h.a, "u")));
        return restrictTo(hops);
    };
    ASSERT_EQ(a.add("ed25519"), kOk);
    std::size_t unconstrained = keyListSize();
    ASSERT_EQ(a.add("ed25519", listing(100)), kOk);
    EXPECT_EQ(keyListSize(), unconstrained + 100);
    for (const char* key : {"ecdsa384", "ecdsa521", "rsa2048"})
        ASSERT_EQ(a.add(key, listing(kMaxDestinationConstraints * most)), kOk) << key;
    std::size_t room = kMaxMessage - keyListSize() + 100;
    EXPECT_EQ(a.add("ed25519", listing(room + 1)), kFail) << "one byte more";
    ASSERT_EQ(a.add("ed25519", listing(room)), kOk);
    EXPECT_EQ(keyListSize(), kMaxMessage);
    EXPECT_EQ(a.add("ecdsa256"), kFail) << "one key more";
    WireWriter rename;
    rename.string(publicBlob(fixturePath("ed25519.pub"))), rename.string(std::string("fixture ed25519+"));
    EXPECT_EQ(a.extension("rename-key@glimmerpad", rename.bytes()), kExtFail) << "a name one byte longer";
}

TEST(DestinationEnforcement, AKeyForHostALogsInThereOnlyAsTheUserItNamesAndNeverUnbound) {
    Agent a;
    Hosts h;
    std::vector<SignDestination> told;
    a.handler.setConfirmPrompt([&](const KeyInfo&, const SignDestination& where, std::uint64_t) {
        told.push_back(where);
        return true;
    });
    Bytes onlyA = restrictTo({constraint(kHere, hop("host-a", *h.a))});
    ASSERT_EQ(a.add("ed25519", plus(Bytes{SSH_AGENT_CONSTRAIN_CONFIRM}, onlyA)), kOk);
    ASSERT_EQ(a.add("ecdsa256", restrictTo({constraint(kHere, hop("host-a", *h.a, "b?b"))})), kOk);

    Client local(a);
    EXPECT_EQ(local.names(), (Names{"fixture ed25519", "fixture p256"})) << "listed where nothing is bound";
    EXPECT_FALSE(local.signs("ed25519", login(Bytes(32, 1), "alice", "ed25519", nullptr))) << "but never signing";

    Client toA(a);
    ASSERT_EQ(toA.bind(*h.a, false), kOk);
    EXPECT_TRUE(toA.logsIn("ed25519"));
    EXPECT_TRUE(toA.logsIn("ed25519", "alice", false)) << "a login without the host key";
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].host, "host-a");
    EXPECT_EQ(told[0].hostKeyFingerprint, fingerprintSha256(h.a->pub.blob));
    EXPECT_FALSE(toA.signs("ed25519", Bytes{'x'})) << "data that is no login";
    EXPECT_FALSE(toA.signs("ed25519", login(Bytes(32, 1), "alice", "ed25519", &h.a->pub.blob))) << "another session";
    EXPECT_FALSE(toA.signs("ed25519", login(toA.ids[0], "alice", "ed25519", &h.b->pub.blob))) << "another host key";
    Bytes ed25519 = publicBlob(fixturePath("ed25519.pub")), rsa = publicBlob(fixturePath("rsa2048.pub"));
    EXPECT_FALSE(toA.signs("ed25519", loginWith(toA.ids[0], "alice", "ssh-ed25519", h.b->pub.blob, nullptr)))
        << "another key's login";
    EXPECT_FALSE(toA.signs("ed25519", loginWith(toA.ids[0], "alice", "ssh-rsa", ed25519, nullptr)))
        << "an algorithm of another type";
    ASSERT_EQ(a.add("rsa2048", onlyA), kOk);
    EXPECT_TRUE(toA.signs("rsa2048", loginWith(toA.ids[0], "alice", "rsa-sha2-512", rsa, nullptr)));
    EXPECT_EQ(told.size(), 2u) << "refused before the user is asked";
    EXPECT_TRUE(toA.logsIn("ecdsa256", "bob"));
    EXPECT_FALSE(toA.logsIn("ecdsa256", "alice")) << "the wrong user";

    Client toB(a), failedBind(a);
    ASSERT_EQ(toB.bind(*h.b, false), kOk);
    EXPECT_FALSE(toB.logsIn("ed25519")) << "the wrong host";
    EXPECT_TRUE(toB.names().empty());
    Bytes forged = h.b->pub.blob;
    EXPECT_EQ(failedBind.bind(*h.a, false, &forged), kExtFail);
    EXPECT_TRUE(failedBind.names().empty()) << "a connection whose bind failed sees no constrained key";
}

TEST(DestinationEnforcement, AForwardedChainIsCheckedHopByHopAndListsOnlyWhatMayGoOn) {
    Agent a;
    Hosts h;
    ASSERT_EQ(a.add("rsa2048"), kOk);
    ASSERT_EQ(a.add("ed25519", restrictTo({constraint(kHere, hop("host-a", *h.a))})), kOk);
    ASSERT_EQ(a.add("ecdsa256", restrictTo({constraint(kHere, hop("host-a", *h.a)),
                                            constraint(hop("host-a", *h.a), hop("host-b", *h.b))})),
              kOk);
    ASSERT_EQ(a.add("ecdsa384", restrictTo({constraint(hop("host-a", *h.a), hop("host-b", *h.b))})), kOk);

    Client onA(a), aToB(a), aToC(a), viaB(a);
    ASSERT_EQ(onA.bind(*h.a, true), kOk);
    EXPECT_EQ(onA.names(), (Names{"fixture rsa-2048", "fixture p256"})) << "only the keys that go on from host-a";
    EXPECT_FALSE(onA.logsIn("ecdsa256")) << "no signature on a forwarding binding";

    ASSERT_EQ(aToB.bind(*h.a, true), kOk);
    ASSERT_EQ(aToB.bind(*h.b, false), kOk);
    EXPECT_EQ(aToB.names(), (Names{"fixture rsa-2048", "fixture p256"}));
    EXPECT_TRUE(aToB.logsIn("ecdsa256"));
    EXPECT_FALSE(aToB.logsIn("ecdsa256", "alice", false)) << "a forwarded login names its host key";
    EXPECT_FALSE(aToB.logsIn("ed25519")) << "a key for the first hop, on the second";
    EXPECT_FALSE(aToB.logsIn("ecdsa384")) << "host-a>host-b without host-a itself";

    ASSERT_EQ(aToC.bind(*h.a, true), kOk);
    ASSERT_EQ(aToC.bind(*h.c, false), kOk);
    EXPECT_FALSE(aToC.logsIn("ecdsa256"));
    EXPECT_EQ(aToC.names(), Names{"fixture rsa-2048"});

    ASSERT_EQ(viaB.bind(*h.b, true), kOk);
    ASSERT_EQ(viaB.bind(*h.a, false), kOk);
    EXPECT_FALSE(viaB.logsIn("ed25519")) << "host-a, reached through a host the key may not pass";

    // What a host may not see, it may neither replace nor remove.
    WireWriter remove;
    remove.string(publicBlob(fixturePath("ed25519.pub")));
    EXPECT_EQ(aToC.call(SSH_AGENTC_ADD_IDENTITY, addIdentityBody(fixturePath("ed25519"))), kFail);
    EXPECT_EQ(aToC.call(SSH_AGENTC_REMOVE_IDENTITY, remove.bytes()), kFail);
    EXPECT_EQ(a.store.size(), 4u);
    EXPECT_EQ(onA.call(SSH_AGENTC_REMOVE_IDENTITY, remove.bytes()), kFail);
}


TEST(DestinationEnforcement, AnAuthorityInAHopPermitsTheHostsItCertifiesForThatName) {
    Agent a;
    Hosts h;
    auto ca = fixturePrivateKey("ca"), rsaCa = fixturePrivateKey("rsa2048");
    ASSERT_EQ(a.add("ed25519", restrictTo({constraint(kHere, hop("web.example.com", {ca.get(), rsaCa.get()}, "", true))})),
              kOk);
    auto logsInWith = [&](const PrivateKey& authority, const CertificateOrder& order) {
        Client c(a);
        Bytes cert = certify(*h.a, authority, order);
        return c.bind(*h.a, false, &cert) == kOk && c.logsIn("ed25519");
    };
    CertificateOrder good, user, otherName, expired, notYet, critical, sha1, anyName;
    std::uint64_t now = std::uint64_t(std::time(nullptr));
    user.type = 1, otherName.principals = {"mail.example.com"}, expired.validBefore = now - 10;
    notYet.validAfter = now + 3600, critical.criticalOptions = Bytes{0, 0, 0, 1, 'x', 0, 0, 0, 0}, sha1.signFlags = 0;
    anyName.principals.clear();
    EXPECT_TRUE(logsInWith(*ca, good));
    EXPECT_TRUE(logsInWith(*rsaCa, good)) << "an RSA authority signing with SHA-2";
    EXPECT_TRUE(logsInWith(*ca, anyName)) << "no principals: any host";
    const std::pair<const char*, const CertificateOrder*> refused[] = {
        {"a user certificate", &user},   {"another host's name", &otherName}, {"expired", &expired},
        {"not valid yet", &notYet},      {"critical options", &critical},     {"signed with SHA-1", &sha1}};
    for (const auto& r : refused) EXPECT_FALSE(logsInWith(r.second == &sha1 ? *rsaCa : *ca, *r.second)) << r.first;
    EXPECT_FALSE(logsInWith(*h.b, good)) << "an authority the hop does not name";

    Client plainHost(a), forged(a);
    ASSERT_EQ(plainHost.bind(*ca, false), kOk);
    EXPECT_FALSE(plainHost.logsIn("ed25519")) << "the authority's own key is no host key";
    Bytes cert = certify(*h.a, *ca, good);
    cert[cert.size() - 1] ^= 1;
    EXPECT_EQ(forged.bind(*h.a, false, &cert), kExtFail) << "a certificate its authority did not sign";
}

TEST(DestinationEnforcement, PatternsMatchAsOpenSshsAndCostLittleHoweverManyStars) {
    const struct {
        const char* text;
        const char* pattern;
        bool matches;
    } cases[] = {{"bob", "b?b", true}, {"bob", "*o*", true}, {"bob", "b", false}, {"bob", "*c", false},
                 {"", "*", true},      {"", "?", false},     {"aXbYc", "a*b*c", true}, {"abcb", "a*b", true},
                 {"abc", "a*b*d", false}};
    for (const auto& c : cases) EXPECT_EQ(matchesPattern(c.text, c.pattern), c.matches) << c.text << " " << c.pattern;
    // Trying every split of the text at every star took seconds here.
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(matchesPattern(std::string(200, 'a'), "*a*a*a*a*b"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}
