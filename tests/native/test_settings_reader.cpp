#include <gtest/gtest.h>

#include <string>

#include "SettingsReader.h"
#include "SettingsWriter.h"

#include <string.h>

namespace {

struct Flags {
    int32_t confirmKeyOp = 0;
    int32_t allowAdd = 1;
    int32_t allowDelete = 1;
    bool operator==(const Flags &other) const
    {
        return confirmKeyOp == other.confirmKeyOp && allowAdd == other.allowAdd && allowDelete == other.allowDelete;
    }
};

std::ostream &operator<<(std::ostream &out, const Flags &f)
{
    return out << "{confirm " << f.confirmKeyOp << ", add " << f.allowAdd << ", delete " << f.allowDelete << "}";
}

struct Text {
    const std::string *text;
    size_t at;
};

int nextCharacter(void *context)
{
    Text *source = static_cast<Text *>(context);
    if (source->at >= source->text->size())
        return -1;
    return static_cast<unsigned char>((*source->text)[source->at++]);
}

// As the key manager reads the file: the three policies only.
Flags read(const std::string &file)
{
    Flags flags;
    Text text = {&file, 0};
    applyAgentSettings(CharacterSource{nextCharacter, &text},
                       AgentPolicyFlags{&flags.confirmKeyOp, &flags.allowAdd, &flags.allowDelete, nullptr});
    return flags;
}

// As the agent reads it: its notice setting too.
int32_t readNotice(const std::string &file)
{
    Flags flags;
    int32_t notice = 0;
    Text text = {&file, 0};
    applyAgentSettings(CharacterSource{nextCharacter, &text},
                       AgentPolicyFlags{&flags.confirmKeyOp, &flags.allowAdd, &flags.allowDelete, &notice});
    return notice;
}

const Flags DEFAULTS = {0, 1, 1};
const Flags ALL_CHANGED = {1, 0, 0};

TEST(SettingsReader, ChangesEachFlagFromItsPositionOnly)
{
    EXPECT_EQ(read("# agent settings\nConfirmKeyOp yes\nAllowAdd no\nAllowDelete no\n"), ALL_CHANGED);
    EXPECT_EQ(read("header\nCONFIRMKEYOP YES\nallowadd NO\nAllowDELETE nO\n"), ALL_CHANGED);
    // Out of order: each position expects its own name.
    EXPECT_EQ(read("header\nAllowAdd no\nConfirmKeyOp yes\nAllowDelete no\n"), (Flags{0, 1, 0}));
    EXPECT_EQ(read("header\nConfirmKeyOp true\nAllowAdd 0\nAllowDelete off\n"), DEFAULTS);
}

TEST(SettingsReader, LinesOnlySeparateTokens)
{
    EXPECT_EQ(read("header\nConfirmKeyOp\nyes AllowAdd\t\tno\r\n\r\n   AllowDelete\nno"), ALL_CHANGED);
    EXPECT_EQ(read("header\r\nConfirmKeyOp yes AllowAdd no AllowDelete no"), ALL_CHANGED);
}

TEST(SettingsReader, AFileEndingEarlyChangesOnlyCompletePairs)
{
    EXPECT_EQ(read(""), DEFAULTS);
    EXPECT_EQ(read("ConfirmKeyOp yes AllowAdd no AllowDelete no"), DEFAULTS); // all of it is the first line
    EXPECT_EQ(read("header\nConfirmKeyOp yes"), (Flags{1, 1, 1}));
    EXPECT_EQ(read("header\nConfirmKeyOp yes\nAllowAdd"), (Flags{1, 1, 1}));
    EXPECT_EQ(read("header\nConfirmKeyOp"), DEFAULTS);
}

TEST(SettingsReader, SkipsAtMost259CharactersOfTheFirstLine)
{
    // Character 260 on starts the first pair.
    std::string first(259, 'x');
    EXPECT_EQ(read(first + "ConfirmKeyOp yes AllowAdd no AllowDelete no\n"), ALL_CHANGED);
    EXPECT_EQ(read(first + "\nConfirmKeyOp yes AllowAdd no AllowDelete no\n"), ALL_CHANGED);
    EXPECT_EQ(read(std::string(258, 'x') + "\nConfirmKeyOp yes AllowAdd no AllowDelete no\n"), ALL_CHANGED);
    EXPECT_EQ(read(std::string(260, 'x') + " ConfirmKeyOp yes AllowAdd no AllowDelete no\n"), (Flags{0, 1, 1}));
}

TEST(SettingsReader, OverlongTokensMatchNothingAndKeepTheirPlace)
{
    std::string longName(300, 'N');
    std::string longValue(40, 'v');
    EXPECT_EQ(read("h\n" + longName + " yes AllowAdd no AllowDelete no"), (Flags{0, 0, 0}));
    EXPECT_EQ(read("h\nConfirmKeyOp " + longValue + " AllowAdd no AllowDelete no"), (Flags{0, 0, 0}));
    // Tokens exactly filling their room (AddressSanitizer watches the edges).
    EXPECT_EQ(read("h\nConfirmKeyOp yes AllowAdd no " + std::string(259, 'A') + " " + std::string(31, 'n')),
              (Flags{1, 0, 1}));
    // A value that merely starts like the expected one does not count.
    EXPECT_EQ(read("h\nConfirmKeyOp yesyes AllowAdd no" + std::string(31, 'o') + " AllowDelete nope"), DEFAULTS);
}

TEST(SettingsReader, TheNoticeCountsOnlyAsTheFourthPairAndOnlyForTheAgent)
{
    EXPECT_EQ(readNotice("h\nConfirmKeyOp no AllowAdd yes AllowDelete yes NotifyKeyUse yes\n"), 1);
    EXPECT_EQ(readNotice("h\nConfirmKeyOp no AllowAdd yes AllowDelete yes NotifyKeyUse no\n"), 0);
    EXPECT_EQ(readNotice("h\nNotifyKeyUse yes AllowAdd yes AllowDelete yes\n"), 0);
    EXPECT_EQ(readNotice("h\nConfirmKeyOp no AllowAdd yes AllowDelete yes\n"), 0);
    EXPECT_EQ(readNotice("h\nConfirmKeyOp no AllowAdd yes AllowDelete yes NotifyKeyUse"), 0);
    // The key manager's reader takes the same file as before the fourth pair.
    EXPECT_EQ(read("h\nConfirmKeyOp yes AllowAdd no AllowDelete no NotifyKeyUse yes\n"), ALL_CHANGED);
}

TEST(SettingsReader, ComparesOnlyAsciiLettersWithoutCase)
{
    EXPECT_TRUE(equalsIgnoringAsciiCase("AllowAdd", "aLLOWaDD"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("AllowAdd", "AllowAd"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("no", "no "));
    // Bytes above 0x7F are not letters to fold: 0xC0 is not 0xE0.
    EXPECT_FALSE(equalsIgnoringAsciiCase("\xC0", "\xE0"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("[", "{"));
}

} // namespace

// Both readers: the key manager's sees its policies whatever the notice.
TEST(SettingsWriter, EveryCombinationOfSettingsReadsBackAsWritten)
{
    for (int bits = 0; bits < 16; ++bits) {
        Flags written;
        written.confirmKeyOp = bits & 1;
        written.allowAdd = (bits >> 1) & 1;
        written.allowDelete = (bits >> 2) & 1;
        int32_t notice = (bits >> 3) & 1;
        char text[256];
        size_t length = formatAgentSettings(written.confirmKeyOp, written.allowAdd, written.allowDelete, notice, text,
                                            sizeof text);
        ASSERT_GT(length, 0u);
        EXPECT_EQ(length, strlen(text));
        EXPECT_EQ(read(text), written) << text;
        EXPECT_EQ(readNotice(text), notice) << text;
    }
}

TEST(SettingsWriter, ABufferTooSmallGetsNothingRatherThanHalfAFile)
{
    char text[40];
    EXPECT_EQ(formatAgentSettings(1, 0, 0, 1, text, sizeof text), 0u);
    EXPECT_STREQ(text, "");
}
