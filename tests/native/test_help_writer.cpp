// The WinHelp writer, read back through a reader of our own: the context
// hash, the directory, the number map and the topics of the real English
// help, of a file too large for one block or one tree page, and of text in
// the double-byte Japanese code page.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "HelpFile.h"
#include "HelpReader.h"
#include "HelpSource.h"

using helpreader::HelpReader;
using helpreader::TopicSeen;

namespace {

std::string sourceFile(const std::string &relative)
{
    std::ifstream file(std::string(GAGENT_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

struct Built {
    bool written = false;
    hlp::HelpProject project;
    std::vector<std::uint8_t> file;
    std::vector<hlp::Diagnostic> problems;
    HelpReader reader;
    std::string readProblem;
};

// Writes the file and reads it back; `written` only when both worked.
void build(Built &built, const std::string &mapText, const std::string &sourceText)
{
    hlp::ContextMap map;
    bool mapRead = hlp::readContextMap(mapText, "contexts.txt", map, built.problems);
    bool sourceRead = hlp::readHelpSource(sourceText, "gagent.txt", map, built.project, built.problems);
    built.written = mapRead && sourceRead && hlp::writeHelpFile(built.project, built.file, built.problems) &&
                    built.reader.read(built.file, built.readProblem);
}

std::string problemsOf(const Built &built)
{
    std::string text = built.readProblem;
    for (const hlp::Diagnostic &problem : built.problems)
        text += "\n" + hlp::describe(problem);
    return text;
}

const hlp::Topic *writtenTopic(const Built &built, const std::string &context)
{
    for (const hlp::Topic &topic : built.project.topics) {
        if (topic.context == context)
            return &topic;
    }
    return nullptr;
}

std::string spansText(const hlp::Paragraph &paragraph)
{
    std::string text;
    for (const hlp::Span &span : paragraph.spans)
        text += span.text;
    return text;
}

TEST(ContextHash, GivesTheEnginesValuesWhateverTheCase)
{
    EXPECT_EQ(hlp::contextHash("a"), 0x00000011u);
    EXPECT_EQ(hlp::contextHash("ab"), 0x000002EDu);
    EXPECT_EQ(hlp::contextHash("IDH_DLG_MAIN"), 0x05822927u);
    EXPECT_EQ(hlp::contextHash("IDH_CTL_OK"), 0x2CD08092u);
    EXPECT_EQ(hlp::contextHash("idh_ctl_ok"), 0x2CD08092u);
    EXPECT_EQ(hlp::contextHash("HIDC_EDIT_NAME"), 0xFCFE8189u);
    // The characters outside the letters, and the last letter.
    EXPECT_EQ(hlp::contextHash("1"), 1u);
    EXPECT_EQ(hlp::contextHash("9"), 9u);
    EXPECT_EQ(hlp::contextHash("0"), 10u);
    EXPECT_EQ(hlp::contextHash("."), 12u);
    EXPECT_EQ(hlp::contextHash("_"), 13u);
    EXPECT_EQ(hlp::contextHash("z"), 42u);
}

class EnglishHelp : public ::testing::Test {
protected:
    void SetUp() override
    {
        build(built, sourceFile("resources/help/contexts.txt"), sourceFile("resources/help/1033/gagent.txt"));
        ASSERT_TRUE(built.written) << problemsOf(built);
    }
    Built built;
};

TEST_F(EnglishHelp, HoldsTheInternalFilesTheEngineReads)
{
    EXPECT_EQ(built.reader.internalFiles(),
              (std::vector<std::string>{"|CONTEXT", "|CTXOMAP", "|FONT", "|SYSTEM", "|TOPIC", "|TTLBTREE"}));
    EXPECT_EQ(built.reader.systemMinor, 33u);
    EXPECT_EQ(built.reader.systemRecords[1], (helpreader::Bytes{'G', 'l', 'i', 'm', 'm', 'e', 'r', 'p', 'a', 'd',
                                                                ' ', 'K', 'e', 'y', ' ', 'M', 'a', 'n', 'a', 'g',
                                                                'e', 'r', ' ', 'H', 'e', 'l', 'p', 0}));
    EXPECT_EQ(built.reader.systemRecords[11], (helpreader::Bytes{0, 0})) << "charset of code page 1252";
    EXPECT_EQ(built.reader.systemRecords[9], (helpreader::Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x09, 0x04}));
}

TEST_F(EnglishHelp, EveryContextNumberOfTheProgramResolvesToItsTopicByNumberAndByName)
{
    hlp::ContextMap map;
    std::vector<hlp::Diagnostic> ignored;
    ASSERT_TRUE(hlp::readContextMap(sourceFile("resources/help/contexts.txt"), "contexts.txt", map, ignored));
    std::set<std::uint32_t> numbers;
    for (const auto &entry : map) {
        const std::string &context = entry.first;
        numbers.insert(entry.second.number);
        std::uint32_t byNumber = 0, byName = 0;
        ASSERT_TRUE(built.reader.findNumber(entry.second.number, byNumber)) << context;
        ASSERT_TRUE(built.reader.findContext(hlp::contextHash(context), byName)) << context;
        EXPECT_EQ(byNumber, byName) << context;

        const TopicSeen *seen = built.reader.topicAt(byNumber);
        const hlp::Topic *written = writtenTopic(built, context);
        ASSERT_NE(seen, nullptr) << context << " maps to no topic's offset";
        ASSERT_NE(written, nullptr);
        EXPECT_EQ(seen->title, written->title) << context;
        // A topic shows its title as its first paragraph; a popup has none.
        size_t body = written->popup ? 0 : 1;
        ASSERT_EQ(seen->paragraphs.size(), written->paragraphs.size() + body) << context;
        EXPECT_EQ(seen->paragraphs[body].text, spansText(written->paragraphs[0])) << context;
    }
    std::set<std::uint32_t> wanted = {1000, 1001, 1002, 1003};
    for (std::uint32_t n = 2000; n <= 2017; ++n)
        wanted.insert(n);
    EXPECT_EQ(numbers, wanted);

    std::uint32_t contents = 0, keyManager = 0;
    ASSERT_EQ(built.reader.systemRecords[3].size(), 4u);
    std::memcpy(&contents, built.reader.systemRecords[3].data(), 4);
    ASSERT_TRUE(built.reader.findNumber(1000, keyManager));
    EXPECT_EQ(contents, keyManager) << "contents topic";
}

TEST_F(EnglishHelp, EveryLinkReachesATopicAndOpensPopupsAsPopups)
{
    size_t links = 0;
    for (const TopicSeen &topic : built.reader.topics) {
        for (const helpreader::ParagraphSeen &paragraph : topic.paragraphs) {
            for (const helpreader::Hotspot &hotspot : paragraph.hotspots) {
                ++links;
                std::uint32_t offset = 0;
                ASSERT_TRUE(built.reader.findContext(hotspot.hash, offset)) << hotspot.text;
                const TopicSeen *target = built.reader.topicAt(offset);
                ASSERT_NE(target, nullptr) << hotspot.text;
                // Popups are the topics without a title.
                EXPECT_EQ(hotspot.command, target->title.empty() ? 0xE2 : 0xE3) << hotspot.text;
                EXPECT_FALSE(hotspot.text.empty());
            }
        }
    }
    EXPECT_GT(links, 0u);
}

TEST(HelpMarkup, BoldAndLinksBecomeFontSwitchesAndHotspotsAroundTheirText)
{
    Built built;
    build(built, "IDH_T 1\nIDH_P 2\n",
          ".title T\n.language 1033\n.contents IDH_T\n"
          ".topic IDH_T Title\nPlain **bold** [pop](IDH_P) and\n[jump](IDH_T), \\*\\[x\\]\\\\.\n"
          ".popup IDH_P\nPopup text.\n");
    ASSERT_TRUE(built.written) << problemsOf(built);
    ASSERT_EQ(built.reader.topics.size(), 2u);
    const TopicSeen &topic = built.reader.topics[0];
    ASSERT_EQ(topic.paragraphs.size(), 2u);
    EXPECT_EQ(topic.paragraphs[0].text, "Title");
    EXPECT_EQ(topic.paragraphs[0].fonts, std::vector<unsigned>{2}) << "heading font";
    const helpreader::ParagraphSeen &text = topic.paragraphs[1];
    EXPECT_EQ(text.text, "Plain bold pop and jump, *[x]\\.");
    EXPECT_EQ(text.fonts, (std::vector<unsigned>{0, 1, 0}));
    ASSERT_EQ(text.hotspots.size(), 2u);
    EXPECT_EQ(text.hotspots[0].command, 0xE2);
    EXPECT_EQ(text.hotspots[0].hash, hlp::contextHash("IDH_P"));
    EXPECT_EQ(text.hotspots[0].text, "pop");
    EXPECT_EQ(text.hotspots[1].command, 0xE3);
    EXPECT_EQ(text.hotspots[1].text, "jump");
    EXPECT_EQ(built.reader.topics[1].title, "");
    EXPECT_EQ(built.reader.topics[1].paragraphs.at(0).text, "Popup text.");
}

// 300 topics fill many blocks and more than one page of the context tree,
// so offsets are counted per block and searches go through index pages.
TEST(LargeHelp, TopicsOverManyBlocksAndTwoLevelTreesStillResolve)
{
    std::string map, source = ".title Large\n.language 1033\n.contents T0\n";
    std::string filler;
    for (int i = 0; i < 30; ++i)
        filler += "word" + std::to_string(i) + " ";
    const int COUNT = 300;
    for (int i = 0; i < COUNT; ++i) {
        map += "T" + std::to_string(i) + " " + std::to_string(5000 + i) + "\n";
        source += ".topic T" + std::to_string(i) + " Topic " + std::to_string(i) + "\n" + filler + "\n\n" + filler +
                  "[next](T" + std::to_string((i + 1) % COUNT) + ")\n";
    }
    Built built;
    build(built, map, source);
    ASSERT_TRUE(built.written) << problemsOf(built);
    EXPECT_GT(built.reader.topicBlocks, 20u);
    EXPECT_EQ(built.reader.contextTree.levels, 2u);
    EXPECT_EQ(built.reader.contextTree.leafEntries.size(), static_cast<size_t>(COUNT));
    ASSERT_EQ(built.reader.topics.size(), static_cast<size_t>(COUNT));
    for (int i = 0; i < COUNT; ++i) {
        std::uint32_t byNumber = 0, byName = 0;
        ASSERT_TRUE(built.reader.findNumber(5000 + i, byNumber)) << i;
        ASSERT_TRUE(built.reader.findContext(hlp::contextHash("T" + std::to_string(i)), byName)) << i;
        EXPECT_EQ(byNumber, byName) << i;
        const TopicSeen *seen = built.reader.topicAt(byNumber);
        ASSERT_NE(seen, nullptr) << i;
        EXPECT_EQ(seen->title, "Topic " + std::to_string(i));
        EXPECT_EQ(seen->number, static_cast<std::uint32_t>(i));
    }
}

TEST(CodePages, JapaneseTextIsWrittenInCodePage932AndEnglishRefusesIt)
{
    // "Key" and two characters whose second byte is a backslash in cp932.
    const std::string japanese = "\xE9\x8D\xB5\xE3\x82\xBD\xE8\xA1\xA8";
    Built built;
    build(built, "IDH_T 1\n", ".title T\n.language 1041\n.contents IDH_T\n.topic IDH_T " + japanese + "\n" +
                                  japanese + "\n");
    ASSERT_TRUE(built.written) << problemsOf(built);
    const std::string cp932 = "\x8C\xAE\x83\x5C\x95\x5C";
    EXPECT_EQ(built.reader.topics.at(0).title, cp932);
    EXPECT_EQ(built.reader.topics.at(0).paragraphs.at(1).text, cp932);
    EXPECT_EQ(built.reader.systemRecords[11].at(0), 128) << "charset SHIFTJIS";

    Built english;
    build(english, "IDH_T 1\n", ".title T\n.language 1033\n.contents IDH_T\n.topic IDH_T Title\nFine.\n\n" +
                                    japanese + "\n");
    ASSERT_FALSE(english.written);
    ASSERT_EQ(english.problems.size(), 1u);
    EXPECT_EQ(hlp::describe(english.problems[0]),
              "gagent.txt:7: '\xE9\x8D\xB5' (U+9375) has no character in code page 1252");
}

TEST(LineBreaks, JoinJapaneseWithoutASpaceAndEverythingElseWithOne)
{
    // Lines: 鍵, ソ, OpenSSH, 表, a, →, → (an arrow is no Japanese character).
    Built built;
    build(built, "IDH_T 1\n",
          ".title T\n.language 1041\n.contents IDH_T\n.topic IDH_T T\n"
          "\xE9\x8D\xB5\n\xE3\x82\xBD\nOpenSSH\n\xE8\xA1\xA8\na\n\xE2\x86\x92\n\xE2\x86\x92\n");
    ASSERT_TRUE(built.written) << problemsOf(built);
    EXPECT_EQ(built.reader.topics.at(0).paragraphs.at(1).text, "\x8C\xAE\x83\x5C OpenSSH \x95\x5C a \x81\xA8 \x81\xA8");
}

// Markup at either side of a break is not text: a line that starts with a
// link or bold after 、 is joined as the characters say. Around Japanese
// punctuation there is never a space, even next to a Latin word.
TEST(LineBreaks, AreDecidedByTheCharactersOnBothSidesNotByTheMarkup)
{
    // Lines: 鍵、 [ソ](IDH_T) **表** 鍵。 OpenSSH 「鍵」 \[a\] b [c](IDH_T)
    Built built;
    build(built, "IDH_T 1\n",
          ".title T\n.language 1041\n.contents IDH_T\n.topic IDH_T T\n"
          "\xE9\x8D\xB5\xE3\x80\x81\n[\xE3\x82\xBD](IDH_T)\n**\xE8\xA1\xA8**\n\xE9\x8D\xB5\xE3\x80\x82\nOpenSSH\n"
          "\xE3\x80\x8C\xE9\x8D\xB5\xE3\x80\x8D\n\\[a\\]\nb\n[c](IDH_T)\n");
    ASSERT_TRUE(built.written) << problemsOf(built);
    EXPECT_EQ(built.reader.topics.at(0).paragraphs.at(1).text,
              "\x8C\xAE\x81\x41\x83\x5C\x95\x5C\x8C\xAE\x81\x42OpenSSH\x81\x75\x8C\xAE\x81\x76[a] b c");
}

} // namespace
