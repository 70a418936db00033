#include "HelpSource.h"

#include <memory>

#include "CodePage.h"

namespace hlp {

namespace {

struct Language {
    int id;
    int codePage;
    std::uint8_t charset;
    std::uint16_t lcid;
    const char *defaultFont;
};

// The languages of the product; the charset byte tells the help engine
// how to read the text bytes.
const Language LANGUAGES[] = {
    {1033, 1252, 0, 0x0409, "Arial"},
    {1031, 1252, 0, 0x0407, "Arial"},
    {1036, 1252, 0, 0x040C, "Arial"},
    {1041, 932, 128, 0x0411, "MS UI Gothic"},
};

// The engine keeps a title in a fixed buffer of this size, and copies no
// more than this of a font's face name.
const size_t LONGEST_TITLE = 255;
const size_t LONGEST_FACE = 31;

std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

// Japanese puts no space between words, so a line break between two wide
// characters (kana, kanji, full-width punctuation: every character from
// U+2E80 on, which in UTF-8 begins with a byte from 0xE2 0xBA on) joins
// the lines without one; everywhere else a line break is a space.
bool isWideLead(const std::string &text, size_t at)
{
    unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead >= 0xE3 && lead <= 0xEF)
        return true;
    return lead == 0xE2 && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) >= 0xBA;
}

// Ideographic punctuation (U+3000 to U+303F: 、。「」 and the like) and the
// full-width forms of ASCII punctuation (U+FF01 to U+FF0F): Japanese puts
// no space before or after them, whatever the other side is.
bool isWidePunctuation(const std::string &text, size_t at)
{
    if (at + 2 >= text.size())
        return false;
    unsigned char a = static_cast<unsigned char>(text[at]), b = static_cast<unsigned char>(text[at + 1]),
                  c = static_cast<unsigned char>(text[at + 2]);
    return (a == 0xE3 && b == 0x80) || (a == 0xEF && b == 0xBC && c >= 0x81 && c <= 0x8F);
}

size_t lastCharacterAt(const std::string &text)
{
    size_t at = text.size() - 1;
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80)
        --at;
    return at;
}

bool escapedAt(const std::string &text, size_t at)
{
    size_t backslashes = 0;
    while (at > backslashes && text[at - backslashes - 1] == '\\')
        ++backslashes;
    return backslashes % 2 == 1;
}

// What the reader sees of a line's end and of the next line's start: bold
// marks and a link's brackets and target are markup, not text, and must not
// decide whether the break is a space.
std::string withoutClosingMarkup(std::string text)
{
    for (;;) {
        size_t size = text.size();
        if (size >= 2 && text.compare(size - 2, 2, "**") == 0 && !escapedAt(text, size - 2)) {
            text.resize(size - 2);
            continue;
        }
        size_t target = text.rfind("](");
        if (size && text.back() == ')' && target != std::string::npos && !escapedAt(text, target) &&
            text.find_first_of(" )", target + 2) == size - 1) {
            text.resize(target);
            continue;
        }
        return text;
    }
}

std::string withoutOpeningMarkup(const std::string &text)
{
    size_t at = 0;
    for (;;) {
        if (text.compare(at, 2, "**") == 0)
            at += 2;
        else if (at < text.size() && text[at] == '[')
            ++at;
        else
            break;
    }
    // An escaped character is itself.
    if (at + 1 < text.size() && text[at] == '\\')
        ++at;
    return text.substr(at);
}

bool spaceBetween(const std::string &before, const std::string &after)
{
    std::string end = withoutClosingMarkup(before), start = withoutOpeningMarkup(after);
    if (end.empty() || start.empty())
        return true;
    size_t last = lastCharacterAt(end);
    if (isWidePunctuation(end, last) || isWidePunctuation(start, 0))
        return false;
    return !(isWideLead(end, last) && isWideLead(start, 0));
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string trim(const std::string &text)
{
    size_t first = 0;
    while (first < text.size() && isBlank(text[first]))
        ++first;
    size_t last = text.size();
    while (last > first && isBlank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

// The first word of `text` and the trimmed rest.
void splitWord(const std::string &text, std::string &word, std::string &rest)
{
    size_t end = 0;
    while (end < text.size() && !isBlank(text[end]))
        ++end;
    word = text.substr(0, end);
    rest = trim(text.substr(end));
}

// A tab inside a line is a space, so that indented source reads the same.
std::string tabsToSpaces(std::string text)
{
    for (char &c : text) {
        if (c == '\t')
            c = ' ';
    }
    return text;
}

struct Setting {
    std::string value;
    int line = 0; // 0: not given
};

struct RawLine {
    std::string text;
    int line;
};

struct RawTopic {
    std::string context;
    bool popup = false;
    std::string title;
    int line = 0;
    std::vector<std::vector<RawLine>> paragraphs;
};

// A paragraph's text once its lines are joined, and where each line began.
struct JoinedText {
    std::string text;
    std::vector<std::pair<size_t, int>> lineStarts;

    int lineAt(size_t offset) const
    {
        int line = lineStarts.front().second;
        for (const auto &start : lineStarts) {
            if (start.first <= offset)
                line = start.second;
        }
        return line;
    }
};

struct RawSpan {
    std::string text; // UTF-8
    bool bold = false;
    std::string link;
    int line = 0;
};

class SourceReader {
public:
    SourceReader(const std::string &file, const ContextMap &contexts, HelpProject &result,
                 std::vector<Diagnostic> &found)
        : fileName(file), map(contexts), project(result), problems(found)
    {
    }

    void read(const std::string &text)
    {
        std::vector<std::string> lines = splitLines(text);
        for (size_t i = 0; i < lines.size(); ++i)
            readLine(lines[i], static_cast<int>(i) + 1);
        endParagraph();
        finish();
    }

private:
    void fail(int line, const std::string &message) { problems.push_back(Diagnostic{{fileName, line}, message}); }

    void readLine(const std::string &raw, int line)
    {
        std::string text = trim(raw);
        if (!text.empty() && text[0] == '#')
            return;
        if (text.empty()) {
            endParagraph();
            return;
        }
        if (raw[0] == '.') {
            endParagraph();
            readDirective(text, line);
            return;
        }
        if (topics.empty()) {
            fail(line, "text outside a topic or popup: start one with .topic or .popup");
            return;
        }
        std::vector<std::vector<RawLine>> &paragraphs = topics.back().paragraphs;
        if (!inParagraph)
            paragraphs.emplace_back();
        inParagraph = true;
        paragraphs.back().push_back(RawLine{tabsToSpaces(text), line});
    }

    void endParagraph() { inParagraph = false; }

    void readDirective(const std::string &text, int line)
    {
        std::string word, rest;
        splitWord(text, word, rest);
        if (word == ".title")
            readSetting(title, word, rest, line);
        else if (word == ".language")
            readSetting(language, word, rest, line);
        else if (word == ".font")
            readSetting(font, word, rest, line);
        else if (word == ".contents")
            readSetting(contents, word, rest, line);
        else if (word == ".topic" || word == ".popup")
            readTopicLine(word == ".popup", rest, line);
        else
            fail(line, "unknown line '" + word + "': a line beginning with '.' is one of .title, .language, "
                       ".font, .contents, .topic or .popup (write \\. for a text that begins with a dot)");
    }

    void readSetting(Setting &setting, const std::string &word, const std::string &value, int line)
    {
        if (!topics.empty()) {
            fail(line, word + " belongs above the first topic");
            return;
        }
        if (setting.line != 0) {
            fail(line, word + " is given twice (first on line " + std::to_string(setting.line) + ")");
            return;
        }
        if (value.empty()) {
            fail(line, word + " needs a value");
            return;
        }
        setting.value = value;
        setting.line = line;
    }

    void readTopicLine(bool popup, const std::string &rest, int line)
    {
        RawTopic topic;
        topic.popup = popup;
        topic.line = line;
        splitWord(rest, topic.context, topic.title);
        if (topic.context.empty()) {
            fail(line, std::string(popup ? ".popup" : ".topic") + " needs a context string");
        } else if (!isContextString(topic.context)) {
            fail(line, "'" + topic.context + "' is no context string: use letters, digits, '.' and '_' only");
        } else if (popup && !topic.title.empty()) {
            fail(line, "a popup has no title: write its text on the lines below");
        } else if (!popup && topic.title.empty()) {
            fail(line, "a topic needs a title after its context string");
        }
        // Kept even when wrong, so that its text is not reported as outside a topic.
        topics.push_back(topic);
    }

    void requireSetting(const Setting &setting, const char *word)
    {
        if (setting.line == 0)
            fail(1, std::string("the source gives no ") + word);
    }

    bool encode(const std::string &text, int line, std::string &encoded)
    {
        std::string problem;
        if (encoder->encode(text, encoded, problem))
            return true;
        fail(line, problem);
        return false;
    }

    const Language *findLanguage()
    {
        for (const Language &known : LANGUAGES) {
            if (language.value == std::to_string(known.id))
                return &known;
        }
        fail(language.line, "unknown language '" + language.value + "': use 1033, 1031, 1036 or 1041");
        return NULL;
    }

    void finish()
    {
        requireSetting(title, ".title");
        requireSetting(language, ".language");
        requireSetting(contents, ".contents");
        if (language.line == 0)
            return;
        const Language *chosen = findLanguage();
        if (chosen == NULL)
            return;
        encoder.reset(new CodePageEncoder(chosen->codePage));
        if (!encoder->usable()) {
            fail(language.line, "this system has no converter to code page " + std::to_string(chosen->codePage));
            return;
        }
        project.lcid = chosen->lcid;
        project.charset = chosen->charset;
        if (title.line != 0)
            encode(title.value, title.line, project.title);
        if (font.line != 0) {
            if (encode(font.value, font.line, project.fontFace) && project.fontFace.size() > LONGEST_FACE)
                fail(font.line, "the face name is longer than " + std::to_string(LONGEST_FACE) + " bytes");
        } else
            project.fontFace = chosen->defaultFont;
        project.contents = contents.value;

        std::map<std::string, int> defined;
        for (const RawTopic &raw : topics)
            finishTopic(raw, defined);
        checkContents(defined);
        checkLinks(defined);
        for (const auto &entry : map) {
            if (defined.count(entry.first) == 0)
                problems.push_back(Diagnostic{entry.second.place,
                                              entry.first + " has no topic or popup in " + fileName});
        }
    }

    void finishTopic(const RawTopic &raw, std::map<std::string, int> &defined)
    {
        if (!isContextString(raw.context))
            return;
        if (defined.count(raw.context) != 0) {
            fail(raw.line, raw.context + " is defined twice (first on line " +
                               std::to_string(defined[raw.context]) + ")");
            return;
        }
        defined[raw.context] = raw.line;
        ContextMap::const_iterator mapped = map.find(raw.context);
        if (mapped == map.end()) {
            fail(raw.line, "unknown context " + raw.context + ": the context map does not list it");
            return;
        }
        Topic topic;
        topic.context = raw.context;
        topic.number = mapped->second.number;
        topic.popup = raw.popup;
        topic.place = SourcePlace{fileName, raw.line};
        if (encode(raw.title, raw.line, topic.title) && topic.title.size() > LONGEST_TITLE)
            fail(raw.line, "the title is longer than " + std::to_string(LONGEST_TITLE) + " bytes");
        if (raw.popup && raw.paragraphs.empty())
            fail(raw.line, "popup " + raw.context + " has no text");
        for (const std::vector<RawLine> &lines : raw.paragraphs) {
            Paragraph paragraph;
            if (readParagraph(lines, paragraph))
                topic.paragraphs.push_back(paragraph);
        }
        kinds[topic.context] = raw.popup;
        project.topics.push_back(topic);
    }

    bool readParagraph(const std::vector<RawLine> &lines, Paragraph &paragraph)
    {
        JoinedText joined;
        bool fits = true;
        for (const RawLine &line : lines) {
            std::string ignored;
            fits = encode(line.text, line.line, ignored) && fits;
            if (!joined.text.empty() && spaceBetween(joined.text, line.text))
                joined.text += ' ';
            joined.lineStarts.push_back(std::make_pair(joined.text.size(), line.line));
            joined.text += line.text;
        }
        std::vector<RawSpan> spans;
        if (!fits || !readMarkup(joined, spans))
            return false;
        paragraph.place = SourcePlace{fileName, lines.front().line};
        for (const RawSpan &raw : spans) {
            Span span;
            span.bold = raw.bold;
            span.link = raw.link;
            if (!encode(raw.text, raw.line, span.text))
                return false;
            paragraph.spans.push_back(span);
            if (!raw.link.empty())
                links.push_back(std::make_pair(raw.link, raw.line));
        }
        return true;
    }

    // Splits a paragraph into runs of plain, bold and link text.
    bool readMarkup(const JoinedText &joined, std::vector<RawSpan> &spans)
    {
        const std::string &text = joined.text;
        RawSpan current;
        bool bold = false;
        bool inLink = false;
        size_t linkStart = 0;
        auto flush = [&](size_t at) {
            if (!current.text.empty()) {
                current.bold = bold;
                current.line = joined.lineAt(at);
                spans.push_back(current);
            }
            current = RawSpan();
        };
        for (size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            if (c == '\\') {
                if (i + 1 == text.size()) {
                    fail(joined.lineAt(i), "a backslash at the end of a paragraph escapes nothing");
                    return false;
                }
                current.text += text[++i];
            } else if (c == '*' && i + 1 < text.size() && text[i + 1] == '*') {
                if (inLink) {
                    fail(joined.lineAt(i), "bold text cannot begin or end inside a link");
                    return false;
                }
                flush(i);
                bold = !bold;
                ++i;
            } else if (c == '[') {
                if (inLink) {
                    fail(joined.lineAt(i), "a link inside a link");
                    return false;
                }
                flush(i);
                inLink = true;
                linkStart = i;
            } else if (c == ']') {
                if (!inLink) {
                    fail(joined.lineAt(i), "']' without '[' (write \\] for the character itself)");
                    return false;
                }
                size_t close = text.find(')', i);
                if (i + 1 >= text.size() || text[i + 1] != '(' || close == std::string::npos) {
                    fail(joined.lineAt(i), "a link needs its target in parentheses: [text](IDH_NAME)");
                    return false;
                }
                std::string target = text.substr(i + 2, close - i - 2);
                if (!isContextString(target)) {
                    fail(joined.lineAt(i), "'" + target + "' is no context string");
                    return false;
                }
                if (current.text.empty()) {
                    fail(joined.lineAt(i), "a link needs some text to click on");
                    return false;
                }
                current.link = target;
                current.bold = bold;
                current.line = joined.lineAt(linkStart);
                spans.push_back(current);
                current = RawSpan();
                inLink = false;
                i = close;
            } else {
                current.text += c;
            }
        }
        if (inLink) {
            fail(joined.lineAt(linkStart), "the link is not closed with ](IDH_NAME)");
            return false;
        }
        if (bold) {
            fail(joined.lineAt(text.size() - 1), "bold text is not closed with **");
            return false;
        }
        flush(text.size() - 1);
        return true;
    }

    void checkContents(const std::map<std::string, int> &defined)
    {
        if (contents.line == 0)
            return;
        if (defined.count(contents.value) == 0)
            fail(contents.line, "the contents topic " + contents.value + " is not defined");
        else if (kinds.count(contents.value) != 0 && kinds[contents.value])
            fail(contents.line, "the contents must be a topic, and " + contents.value + " is a popup");
    }

    void checkLinks(const std::map<std::string, int> &defined)
    {
        for (const auto &link : links) {
            if (defined.count(link.first) == 0)
                fail(link.second, "link to " + link.first + ", which no topic or popup of this file defines");
        }
    }

    const std::string &fileName;
    const ContextMap &map;
    HelpProject &project;
    std::vector<Diagnostic> &problems;

    Setting title, language, font, contents;
    std::vector<RawTopic> topics;
    bool inParagraph = false;
    std::unique_ptr<CodePageEncoder> encoder;
    std::map<std::string, bool> kinds; // context string: popup or not
    std::vector<std::pair<std::string, int>> links;
};

bool readNumber(const std::string &text, std::uint32_t &number)
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 0x7FFFFFFF)
        return false;
    number = static_cast<std::uint32_t>(value);
    return true;
}

} // namespace

bool readContextMap(const std::string &text, const std::string &fileName, ContextMap &map,
                    std::vector<Diagnostic> &problems)
{
    size_t before = problems.size();
    std::map<std::uint32_t, std::string> byNumber;
    std::map<std::uint32_t, std::string> byHash;
    std::vector<std::string> lines = splitLines(text);
    for (size_t i = 0; i < lines.size(); ++i) {
        SourcePlace place{fileName, static_cast<int>(i) + 1};
        auto fail = [&](const std::string &message) { problems.push_back(Diagnostic{place, message}); };
        std::string line = trim(lines[i]);
        if (line.empty() || line[0] == '#')
            continue;
        std::string name, rest, numberText, extra;
        splitWord(line, name, rest);
        splitWord(rest, numberText, extra);
        MapEntry entry;
        entry.place = place;
        if (!isContextString(name)) {
            fail("'" + name + "' is no context string: use letters, digits, '.' and '_' only");
        } else if (!readNumber(numberText, entry.number) || !extra.empty()) {
            fail("write a context string and its map number, 1 to 2147483647: IDH_NAME 1000");
        } else if (map.count(name) != 0) {
            fail(name + " is listed twice (first on line " + std::to_string(map[name].place.line) + ")");
        } else if (byNumber.count(entry.number) != 0) {
            fail("duplicate context number " + std::to_string(entry.number) + ": " + byNumber[entry.number] +
                 " has it already");
        } else if (contextHash(name) == 0) {
            fail(name + " hashes to 0, which the help engine takes for the contents: rename it");
        } else if (byHash.count(contextHash(name)) != 0) {
            fail(name + " and " + byHash[contextHash(name)] + " have the same hash: rename one of them");
        } else {
            map[name] = entry;
            byNumber[entry.number] = name;
            byHash[contextHash(name)] = name;
        }
    }
    return problems.size() == before;
}

bool readHelpSource(const std::string &text, const std::string &fileName, const ContextMap &map,
                    HelpProject &project, std::vector<Diagnostic> &problems)
{
    size_t before = problems.size();
    SourceReader reader(fileName, map, project, problems);
    reader.read(text);
    return problems.size() == before;
}

} // namespace hlp
