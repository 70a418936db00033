// The agent library's view of the agent's keys: names the manager can hand
// back to pick one key, type codes, the detail column and lifetimes.
#include "KeyListText.h"

#include "Encoding.h"
#include "TestKeys.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace keylist;

namespace {

std::string fakeFingerprint(const Bytes& blob) { return "SHA256:len" + std::to_string(blob.size()); }

std::vector<std::string> none(std::size_t n) { return std::vector<std::string>(n, "fallback"); }

// A string of the library's resource script of one language, as the user
// sees it (UTF-8 here, the ANSI code page there: the rules work on bytes).
std::string libraryText(const std::string& language, const std::string& id) {
    std::ifstream script(std::string(LIBRARY_LANGUAGES) + "/" + language + ".rc");
    std::string line;
    while (std::getline(script, line)) {
        std::istringstream fields(line);
        std::string name;
        fields >> name;
        std::size_t open = line.find('"');
        if (name != id || open == std::string::npos) continue;
        std::string text;
        for (std::size_t i = open + 1; i < line.size(); ++i) {
            if (line[i] == '"' && (i + 1 == line.size() || line[i + 1] != '"')) return text;
            if (line[i] == '"') ++i;
            text += line[i];
        }
    }
    ADD_FAILURE() << id << " not in " << language;
    return std::string();
}

DetailTexts detailTextsOf(const std::string& language) {
    DetailTexts t;
    t.days = libraryText(language, "IDS_UNIT_DAYS");
    t.hours = libraryText(language, "IDS_UNIT_HOURS");
    t.minutes = libraryText(language, "IDS_UNIT_MINUTES");
    t.seconds = libraryText(language, "IDS_UNIT_SECONDS");
    t.partSeparator = libraryText(language, "IDS_DETAIL_SEPARATOR");
    return t;
}

LifetimeUnits unitsOf(const std::string& language) { return lifetimeUnitsFrom(libraryText(language, "IDS_LIFETIME_UNITS")); }

const char* const kLanguages[] = {"1033", "1031", "1036", "1041"};

}  // namespace

TEST(KeyListNames, ClashingAndOverlongNamesGetAnEndThatKeepsThemApartWithinTheCut) {
    std::string longName(200, 'x');
    std::vector<std::string> comments = {"work", "work", "work (2)", longName, longName + "y", "tab\there", ""};
    std::vector<std::string> fallbacks = none(comments.size());
    fallbacks[6] = "SHA256:abc";
    std::vector<std::string> names = uniqueNames(comments, fallbacks);
    // "work (2)" is a real comment, so the second "work" does not take it.
    EXPECT_EQ(names[0], "work");
    EXPECT_EQ(names[1], "work (3)");
    EXPECT_EQ(names[2], "work (2)");
    EXPECT_EQ(names[3], std::string(123, 'x') + " (1)");
    EXPECT_EQ(names[4], std::string(123, 'x') + " (2)");
    EXPECT_EQ(names[5], "tab here");
    EXPECT_EQ(names[6], "SHA256:abc");
    for (const std::string& n : names) EXPECT_LE(n.size(), kMaxName);
}

TEST(KeyListNames, AnOverlongNameIsNeverCutInsideAUtf8Character) {
    std::string name;
    for (int i = 0; i < 70; ++i) name += "\xc3\xa9";  // é, two bytes each
    std::string shown = uniqueNames({name}, none(1))[0];
    ASSERT_LE(shown.size(), kMaxName);
    std::string stem = shown.substr(0, shown.size() - 4);
    EXPECT_EQ(stem.size() % 2, 0u) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 4), " (1)");
}

TEST(KeyListTypes, TypeNamesGiveTheManagersCodes) {
    EXPECT_EQ(typeCodeOf("ssh-ed25519"), 0);
    EXPECT_EQ(typeCodeOf("ssh-rsa"), 1);
    EXPECT_EQ(typeCodeOf("ecdsa-sha2-nistp384"), 2);
    EXPECT_EQ(typeCodeOf("ssh-dss"), 3);
    EXPECT_EQ(typeCodeOf("ssh-rsa-cert-v01@openssh.com"), 4);
    EXPECT_EQ(typeCodeOf("sk-ssh-ed25519@openssh.com"), 6);
    EXPECT_EQ(typeCodeOf("x25519-unknown"), 5);
    EXPECT_EQ(typeCodeOf(""), 5);
}

TEST(KeyListDetail, TheDetailHoldsSizeFingerprintAndConstraints) {
    HeldKey rsa;
    rsa.blob = testkeys::publicBlob(testkeys::fixturePath("rsa2048.pub"));
    rsa.comment = "r";
    rsa.secondsLeft = 5400;
    rsa.confirm = true;
    HeldKey junk;
    junk.blob = Bytes{0, 0, 0, 1, 'x'};
    std::vector<ShownKey> shown = showKeys({rsa, junk}, DetailTexts(), fakeFingerprint);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].detail, fakeFingerprint(rsa.blob) + ", 2048 bits, expires in 1 h 30 min, confirms each use");
    EXPECT_EQ(shown[0].typeCode, 1);
    // A blob the library cannot read still gets a row: no size, code 5,
    // named by its fingerprint.
    EXPECT_EQ(shown[1].detail, fakeFingerprint(junk.blob));
    EXPECT_EQ(shown[1].typeCode, 5);
    EXPECT_EQ(shown[1].name, fakeFingerprint(junk.blob));
}

// A key no size can be read of: its detail is the fingerprint, 11 bytes
// here, then the destinations.
HeldKey destinedKey(const std::vector<Destination>& hops) {
    HeldKey key;
    key.blob = Bytes{0, 0, 0, 1, 'x'};
    key.destinations = hops;
    return key;
}

std::string detailOf(const HeldKey& key, const DetailTexts& texts = DetailTexts()) {
    return showKeys({key}, texts, fakeFingerprint)[0].detail;
}

TEST(KeyListDestinations, EachHopIsNamedAsSshAddTakesItInTheUsersWords) {
    HeldKey key = destinedKey({{"", "", "host-a"}, {"host-a", "", "host-b"}, {"", "git", "github.com"},
                               {"jump", "deploy", "10.0.0.7"}, {"", "", "evil\nhost\tname"}});
    key.blob = testkeys::publicBlob(testkeys::fixturePath("ed25519.pub"));
    key.confirm = true;
    EXPECT_EQ(detailOf(key), fakeFingerprint(key.blob) +
                                 ", 256 bits, confirms each use, only for host-a, host-a>host-b, git@github.com, "
                                 "jump>deploy@10.0.0.7, evil host name");
    DetailTexts german;
    german.destinations = "nur f\xc3\xbcr %s";
    german.hopSeparator = "; ";
    EXPECT_EQ(detailOf(destinedKey({{"", "", "a"}, {"a", "", "b"}}), german),
              fakeFingerprint(Bytes{0, 0, 0, 1, 'x'}) + ", nur f\xc3\xbcr a; a>b");
    EXPECT_EQ(detailOf(destinedKey({})), fakeFingerprint(Bytes{0, 0, 0, 1, 'x'})) << "no destinations, no words";
}

// 22 bytes of the detail are the fingerprint and "only for ": a list of
// 237 bytes fills the column exactly.
TEST(KeyListDestinations, AListThatFillsTheColumnIsWholeAndOneByteMoreEndsInHowManyMore) {
    std::string first(100, 'a');
    std::string exact = detailOf(destinedKey({{"", "", first}, {"", "", std::string(135, 'b')}}));
    EXPECT_EQ(exact.size(), kMaxDetail);
    EXPECT_EQ(exact.substr(exact.size() - 4), "bbbb");
    std::string over = detailOf(destinedKey({{"", "", first}, {"", "", std::string(136, 'b')}}));
    EXPECT_EQ(over, fakeFingerprint(Bytes{0, 0, 0, 1, 'x'}) + ", only for " + first + " and 1 more");
    std::string two = detailOf(destinedKey({{"", "", first}, {"", "", std::string(136, 'b')}, {"", "", "c"}}));
    EXPECT_EQ(two.substr(two.size() - 11), " and 2 more");
}

TEST(KeyListDestinations, ManyHopsShowWhatFitsAndCountTheRest) {
    std::vector<Destination> hops;
    for (int i = 0; i < 1000; ++i) hops.push_back({"bastion", "", "server-" + std::to_string(i) + ".example.com"});
    DetailTexts texts;
    texts.more = "%s (+%u)";
    std::string detail = detailOf(destinedKey(hops), texts);
    ASSERT_LE(detail.size(), kMaxDetail);
    std::size_t shown = 0;
    for (std::size_t at = 0; (at = detail.find("bastion>", at)) != std::string::npos; ++at) ++shown;
    std::size_t open = detail.rfind("(+");
    ASSERT_NE(open, std::string::npos) << detail;
    EXPECT_EQ(shown + std::stoul(detail.substr(open + 2)), hops.size()) << detail;
    std::string next = ", bastion>server-" + std::to_string(shown) + ".example.com";
    EXPECT_LT(kMaxDetail - detail.size(), next.size()) << "a hop that would fit was left out: " << detail;
}

TEST(KeyListDestinations, AHopTooLongForTheColumnIsCutBetweenCharactersAndMarked) {
    std::string wide;
    for (int i = 0; i < 200; ++i) wide += "\xe6\x97\xa5";  // three bytes each
    for (std::size_t more : {0u, 1u, 12u}) {
        std::vector<Destination> hops(1, Destination{"", "", wide});
        hops.resize(1 + more, Destination{"", "", "other"});
        std::string detail = detailOf(destinedKey(hops));
        ASSERT_LE(detail.size(), kMaxDetail) << more;
        std::string end = more == 0 ? "..." : more == 1 ? "... and 1 more" : "... and 12 more";
        ASSERT_EQ(detail.substr(detail.size() - end.size()), end) << more;
        std::string kept = detail.substr(22, detail.size() - 22 - end.size());
        EXPECT_EQ(kept.size() % 3, 0u) << "cut inside a character: " << more;
        EXPECT_EQ(kept, wide.substr(0, kept.size())) << more;
        EXPECT_GT(kept.size() + end.size() + 3, kMaxDetail - 22) << "cut shorter than the column needs: " << more;
    }
}

TEST(KeyListLifetime, LifetimesAreReadAsTheKeySettingsDialogExplainsThem) {
    struct Case {
        const char* text;
        bool ok;
        std::uint32_t seconds;
    } cases[] = {{"90", true, 90},          {"30m", true, 1800},      {" 8h ", true, 28800},   {"2d", true, 172800},
                 {"0", true, 0},            {"15S", true, 15},        {"", false, 0},          {"m", false, 0},
                 {"-5", false, 0},          {"1.5h", false, 0},       {"3w", false, 0},        {"4294967295", true, 4294967295u},
                 {"4294967296", false, 0},  {"49711d", false, 0},     {"8 h", true, 28800},    {"1 h 30 min", true, 5400},
                 {"1h30", true, 3630},      {"2 days", true, 172800}, {"30 mins", false, 0},   {"2dx", false, 0},
                 {"1 h 30", true, 3630},    {"30 1h", false, 0},      {"1 h min", false, 0},   {"49710d 1d", false, 0}};
    LifetimeUnits english = unitsOf("1033");
    for (const Case& c : cases) {
        std::uint32_t seconds = 12345;
        EXPECT_EQ(parseLifetime(c.text, english, seconds), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(seconds, c.seconds) << c.text;
        }
    }
    std::uint32_t unused = 0;
    EXPECT_FALSE(parseLifetime(nullptr, english, unused));
}

// A lifetime the key list shows can be typed back as it stands, in every
// language, and OpenSSH's letters work in all of them.
TEST(KeyListLifetime, EachLanguageReadsTheUnitsItsKeyListShows) {
    const std::uint32_t durations[] = {59, 90, 1800, 3600, 5400, 28800, 86400, 2 * 86400 + 3 * 3600};
    for (const char* language : kLanguages) {
        DetailTexts texts = detailTextsOf(language);
        LifetimeUnits units = unitsOf(language);
        for (std::uint32_t d : durations) {
            std::string shown = durationText(d, texts);
            std::uint32_t seconds = 0;
            EXPECT_TRUE(parseLifetime(shown.c_str(), units, seconds) && seconds == d) << language << ": " << shown;
        }
        std::uint32_t seconds = 0;
        EXPECT_TRUE(parseLifetime("1d 2h 3m 4s", units, seconds) && seconds == 93784) << language;
    }
    struct Own {
        const char* language;
        const char* text;
        std::uint32_t seconds;
    } own[] = {{"1031", "2 Tg.", 172800}, {"1031", "2T", 172800},   {"1031", "8 std", 28800}, {"1031", "30 Minuten", 1800},
               {"1036", "2 j", 172800},   {"1036", "2 jours", 172800}, {"1036", "8 heures", 28800},
               {"1041", "2\xe6\x97\xa5", 172800}, {"1041", "1 \xe6\x99\x82\xe9\x96\x93 30 \xe5\x88\x86", 5400}};
    for (const Own& o : own) {
        std::uint32_t seconds = 0;
        EXPECT_TRUE(parseLifetime(o.text, unitsOf(o.language), seconds) && seconds == o.seconds) << o.language << ": " << o.text;
    }
    std::uint32_t seconds = 0;
    EXPECT_FALSE(parseLifetime("2 Tg.", unitsOf("1033"), seconds)) << "German units in English";
}

// In a double-byte code page the second byte of a character may be an ASCII
// letter: the character with that letter in another case is another one.
TEST(KeyListLifetime, DoubleByteUnitsMatchOnlyByteForByte) {
    LifetimeUnits units = lifetimeUnitsFrom("s,\x95\x62|m|h|d");  // CP932 for the seconds sign
    std::uint32_t seconds = 0;
    EXPECT_TRUE(parseLifetime("5\x95\x62", units, seconds) && seconds == 5);
    EXPECT_FALSE(parseLifetime("5\x95\x42", units, seconds));
}

TEST(KeyListLifetime, DurationsShowTheTwoLargestUnits) {
    DetailTexts t;
    EXPECT_EQ(durationText(59, t), "59 s");
    EXPECT_EQ(durationText(3600, t), "1 h");
    EXPECT_EQ(durationText(3661, t), "1 h 1 min");
    EXPECT_EQ(durationText(2 * 86400 + 5, t), "2 d");
    EXPECT_EQ(durationText(0, t), "0 s");
}

TEST(KeyListDetail, JapaneseSeparatesTheDetailsPartsWithItsOwnComma) {
    DetailTexts t = detailTextsOf("1041");
    HeldKey key;
    key.blob = testkeys::publicBlob(testkeys::fixturePath("ed25519.pub"));
    key.secondsLeft = 60;
    key.confirm = true;
    std::string detail = showKeys({key}, t, fakeFingerprint)[0].detail;
    EXPECT_EQ(detail.find(", "), std::string::npos) << detail;
    std::size_t parts = 0;
    for (std::size_t at = 0; (at = detail.find(t.partSeparator, at)) != std::string::npos; at += t.partSeparator.size()) ++parts;
    EXPECT_EQ(parts, 3u) << detail;
}
