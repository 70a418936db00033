#include "HelpFile.h"

#include <algorithm>
#include <map>
#include <string>

namespace hlp {

namespace {

typedef std::vector<std::uint8_t> Bytes;

const std::uint32_t NONE = 0xFFFFFFFF;

// Topic blocks: a 12-byte header and 4084 bytes of records, never
// compressed. A record stays inside one block.
const size_t BLOCK_SIZE = 4096;
const size_t BLOCK_HEADER = 12;
const size_t BLOCK_DATA = BLOCK_SIZE - BLOCK_HEADER;
// Record positions count 16 KB per block, as if every block were the
// decompressed size of a compressed one; character offsets 32 KB.
const std::uint32_t POSITION_BLOCK = 0x4000;
const std::uint32_t OFFSET_BLOCK = 0x8000;

const size_t RECORD_HEADER = 21;
const size_t TOPIC_HEADER_DATA = 28;
const std::uint8_t RECORD_TOPIC_HEADER = 0x02;
const std::uint8_t RECORD_PARAGRAPH = 0x20;

enum Font { FONT_BODY = 0, FONT_BOLD = 1, FONT_HEADING = 2 };
const std::uint16_t PARAGRAPH_SPACE_BELOW = 0x0004;
const int SPACE_BELOW = 12;

const std::uint8_t COMMAND_FONT = 0x80;
const std::uint8_t COMMAND_END_PARAGRAPH = 0x82;
const std::uint8_t COMMAND_END_HOTSPOT = 0x89;
const std::uint8_t COMMAND_POPUP = 0xE2;
const std::uint8_t COMMAND_JUMP = 0xE3;
const std::uint8_t COMMAND_END = 0xFF;

void put8(Bytes &bytes, unsigned value)
{
    bytes.push_back(static_cast<std::uint8_t>(value));
}

void put16(Bytes &bytes, unsigned value)
{
    put8(bytes, value & 0xFF);
    put8(bytes, (value >> 8) & 0xFF);
}

void put32(Bytes &bytes, std::uint32_t value)
{
    put16(bytes, value & 0xFFFF);
    put16(bytes, value >> 16);
}

void set32(Bytes &bytes, size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void putText(Bytes &bytes, const std::string &text)
{
    bytes.insert(bytes.end(), text.begin(), text.end());
}

void putBytes(Bytes &bytes, const Bytes &more)
{
    bytes.insert(bytes.end(), more.begin(), more.end());
}

// The compressed integers of paragraph records: the lowest bit of the first
// byte tells the reader whether the short or the long form follows.
void putCompressedUnsignedShort(Bytes &bytes, unsigned value)
{
    if (value < 0x80)
        put8(bytes, value * 2);
    else
        put16(bytes, value * 2 + 1);
}

void putCompressedSignedShort(Bytes &bytes, int value)
{
    if (value >= -0x40 && value < 0x40)
        putCompressedUnsignedShort(bytes, static_cast<unsigned>(value + 0x40));
    else
        putCompressedUnsignedShort(bytes, static_cast<unsigned>(value + 0x4000));
}

void putCompressedUnsignedLong(Bytes &bytes, std::uint32_t value)
{
    if (value < 0x8000)
        put16(bytes, value * 2);
    else
        put32(bytes, value * 2 + 1);
}

void putCompressedSignedLong(Bytes &bytes, std::int32_t value)
{
    if (value >= -0x4000 && value < 0x4000)
        putCompressedUnsignedLong(bytes, static_cast<std::uint32_t>(value + 0x4000));
    else
        putCompressedUnsignedLong(bytes, static_cast<std::uint32_t>(value + 0x40000000));
}

struct Record {
    std::uint8_t type = RECORD_PARAGRAPH;
    Bytes linkData1;
    Bytes linkData2;
    SourcePlace place; // for the message when it is too long
    std::uint32_t position = 0;     // TOPICPOS
    size_t block = 0;

    size_t size() const { return RECORD_HEADER + linkData1.size() + linkData2.size(); }
};

// The text of one paragraph record: strings and formatting commands take
// turns, beginning with a string, so each command carries the text before it.
class ParagraphBuilder {
public:
    ParagraphBuilder(Font plain, Font bold) : plainFont(plain), boldFont(bold) {}

    void add(const Span &span, const std::map<std::string, bool> &popups)
    {
        selectFont(span.bold ? boldFont : plainFont);
        if (span.link.empty()) {
            pending += span.text;
            return;
        }
        Bytes hotspot;
        put8(hotspot, popups.at(span.link) ? COMMAND_POPUP : COMMAND_JUMP);
        put32(hotspot, contextHash(span.link));
        command(hotspot);
        pending = span.text;
        command(Bytes{COMMAND_END_HOTSPOT});
    }

    Record finish()
    {
        command(Bytes{COMMAND_END_PARAGRAPH});
        command(Bytes{COMMAND_END});

        Bytes rest;
        put8(rest, 0x00);
        put8(rest, 0x80);
        put16(rest, 0); // paragraph id
        put16(rest, PARAGRAPH_SPACE_BELOW);
        putCompressedSignedShort(rest, SPACE_BELOW);
        putBytes(rest, commands);

        Record record;
        record.type = RECORD_PARAGRAPH;
        putCompressedSignedLong(record.linkData1, static_cast<std::int32_t>(rest.size()));
        putCompressedUnsignedShort(record.linkData1, static_cast<unsigned>(strings.size()));
        putBytes(record.linkData1, rest);
        record.linkData2 = strings;
        return record;
    }

private:
    void selectFont(Font font)
    {
        if (font == currentFont)
            return;
        Bytes change;
        put8(change, COMMAND_FONT);
        put16(change, font);
        command(change);
        currentFont = font;
    }

    void command(const Bytes &bytes)
    {
        putText(strings, pending);
        put8(strings, 0);
        pending.clear();
        putBytes(commands, bytes);
    }

    Font plainFont;
    Font boldFont;
    int currentFont = -1;
    std::string pending;
    Bytes strings;
    Bytes commands;
};

Record topicHeaderRecord(const std::string &title)
{
    Record record;
    record.type = RECORD_TOPIC_HEADER;
    record.linkData1.assign(TOPIC_HEADER_DATA, 0); // filled in once laid out
    putText(record.linkData2, title);
    return record;
}

Bytes recordBytes(const Record &record, std::uint32_t previous, std::uint32_t next)
{
    Bytes bytes;
    put32(bytes, static_cast<std::uint32_t>(record.size()));
    put32(bytes, static_cast<std::uint32_t>(record.linkData2.size())); // stored as it reads: no phrases
    put32(bytes, previous);
    put32(bytes, next);
    put32(bytes, static_cast<std::uint32_t>(RECORD_HEADER + record.linkData1.size()));
    put8(bytes, record.type);
    putBytes(bytes, record.linkData1);
    putBytes(bytes, record.linkData2);
    return bytes;
}

struct TopicLayout {
    Bytes topicFile;
    std::vector<std::uint32_t> offsets; // TOPICOFFSET of each topic, in project order
};

class TopicWriter {
public:
    TopicWriter(const HelpProject &helpProject, std::vector<Diagnostic> &found)
        : project(helpProject), problems(found)
    {
        for (const Topic &topic : project.topics)
            popups[topic.context] = topic.popup;
    }

    bool write(TopicLayout &layout)
    {
        buildRecords();
        size_t before = problems.size();
        for (const Record &record : records) {
            if (record.size() > BLOCK_DATA)
                problems.push_back(Diagnostic{record.place,
                                              "the paragraph takes " + std::to_string(record.size()) +
                                                  " bytes, more than the " + std::to_string(BLOCK_DATA) +
                                                  " of a topic block: split it"});
        }
        if (problems.size() != before)
            return false;
        place(layout.offsets);
        fillTopicHeaders();
        layout.topicFile = blocks();
        return true;
    }

private:
    void buildRecords()
    {
        for (size_t t = 0; t < project.topics.size(); ++t) {
            const Topic &topic = project.topics[t];
            headerRecords.push_back(records.size());
            records.push_back(topicHeaderRecord(topic.title));
            if (!topic.popup) {
                ParagraphBuilder heading(FONT_HEADING, FONT_HEADING);
                Span title;
                title.text = topic.title;
                heading.add(title, popups);
                records.push_back(heading.finish());
                records.back().place = topic.place;
            }
            for (const Paragraph &paragraph : topic.paragraphs) {
                ParagraphBuilder builder(FONT_BODY, FONT_BOLD);
                for (const Span &span : paragraph.spans)
                    builder.add(span, popups);
                records.push_back(builder.finish());
                records.back().place = paragraph.place;
            }
        }
        // The closing record of every real file: a topic header with no text.
        headerRecords.push_back(records.size());
        records.push_back(topicHeaderRecord(std::string()));
    }

    void place(std::vector<std::uint32_t> &offsets)
    {
        size_t block = 0;
        size_t used = 0;
        std::uint32_t characters = 0;
        for (Record &record : records) {
            if (used + record.size() > BLOCK_DATA) {
                ++block;
                used = 0;
                characters = 0;
            }
            record.block = block;
            record.position = static_cast<std::uint32_t>(block * POSITION_BLOCK + BLOCK_HEADER + used);
            used += record.size();
            if (record.type == RECORD_TOPIC_HEADER)
                offsets.push_back(static_cast<std::uint32_t>(block * OFFSET_BLOCK + characters));
            else
                characters += static_cast<std::uint32_t>(record.linkData2.size());
        }
        offsets.pop_back(); // the closing record is no topic
        blockCount = block + 1;
    }

    void fillTopicHeaders()
    {
        for (size_t h = 0; h < headerRecords.size(); ++h) {
            size_t first = headerRecords[h] + 1;
            size_t end = h + 1 < headerRecords.size() ? headerRecords[h + 1] : records.size();
            std::uint32_t size = 0;
            for (size_t r = first; r < end; ++r)
                size += static_cast<std::uint32_t>(records[r].size());
            Bytes data;
            put32(data, size);
            put32(data, NONE); // browse back
            put32(data, NONE); // browse forward
            put32(data, static_cast<std::uint32_t>(h));
            put32(data, NONE); // no non-scrolling region
            put32(data, first < end ? records[first].position : NONE);
            put32(data, h + 1 < headerRecords.size() ? records[headerRecords[h + 1]].position : NONE);
            records[headerRecords[h]].linkData1 = data;
        }
    }

    Bytes blocks()
    {
        Bytes file(blockCount * BLOCK_SIZE, 0);
        std::uint32_t lastRecord = NONE;
        std::uint32_t lastHeader = 0;
        size_t r = 0;
        for (size_t block = 0; block < blockCount; ++block) {
            Bytes header;
            put32(header, lastRecord);
            put32(header, records[r].position);
            put32(header, lastHeader);
            std::copy(header.begin(), header.end(), file.begin() + block * BLOCK_SIZE);
            for (; r < records.size() && records[r].block == block; ++r) {
                const Record &record = records[r];
                Bytes bytes = recordBytes(record, r > 0 ? records[r - 1].position : NONE,
                                          r + 1 < records.size() ? records[r + 1].position : NONE);
                size_t at = block * BLOCK_SIZE + (record.position - block * POSITION_BLOCK);
                std::copy(bytes.begin(), bytes.end(), file.begin() + at);
                lastRecord = record.position;
                if (record.type == RECORD_TOPIC_HEADER)
                    lastHeader = record.position;
            }
        }
        return file;
    }

    const HelpProject &project;
    std::vector<Diagnostic> &problems;
    std::map<std::string, bool> popups;
    std::vector<Record> records;
    std::vector<size_t> headerRecords;
    size_t blockCount = 0;
};

struct TreeEntry {
    Bytes key;   // what index pages compare
    Bytes entry; // the whole leaf entry
};

struct PageRef {
    Bytes firstKey;
    std::uint16_t number;
};

// A B+ tree file: leaves in key order, chained both ways, then index
// levels up to a single root page. An index page names its first child in
// its header and every further child after that child's first key.
Bytes bTree(const std::vector<TreeEntry> &entries, std::uint16_t flags, std::uint16_t pageSize,
            const char *structure)
{
    std::vector<Bytes> leafBodies(1);
    std::vector<std::uint16_t> leafCounts(1, 0);
    std::vector<PageRef> level;
    for (const TreeEntry &entry : entries) {
        if (8 + leafBodies.back().size() + entry.entry.size() > pageSize) {
            leafBodies.emplace_back();
            leafCounts.push_back(0);
        }
        if (leafBodies.back().empty())
            level.push_back(PageRef{entry.key, static_cast<std::uint16_t>(leafBodies.size() - 1)});
        putBytes(leafBodies.back(), entry.entry);
        ++leafCounts.back();
    }
    std::vector<Bytes> pages;
    for (size_t n = 0; n < leafBodies.size(); ++n) {
        Bytes page;
        put16(page, static_cast<unsigned>(pageSize - 8 - leafBodies[n].size()));
        put16(page, leafCounts[n]);
        put16(page, n == 0 ? 0xFFFF : static_cast<unsigned>(n - 1));
        put16(page, n + 1 == leafBodies.size() ? 0xFFFF : static_cast<unsigned>(n + 1));
        putBytes(page, leafBodies[n]);
        page.resize(pageSize, 0);
        pages.push_back(page);
    }

    unsigned levels = 1;
    while (level.size() > 1) {
        std::vector<PageRef> above;
        Bytes body;
        unsigned count = 0;
        std::uint16_t firstChild = 0;
        auto close = [&] {
            Bytes page;
            put16(page, static_cast<unsigned>(pageSize - 6 - body.size()));
            put16(page, count);
            put16(page, firstChild);
            putBytes(page, body);
            page.resize(pageSize, 0);
            pages.push_back(page);
        };
        for (size_t c = 0; c < level.size(); ++c) {
            const PageRef &child = level[c];
            bool opening = c == 0 || 6 + body.size() + child.firstKey.size() + 2 > pageSize;
            if (opening) {
                if (c != 0)
                    close();
                above.push_back(PageRef{child.firstKey, static_cast<std::uint16_t>(pages.size())});
                body.clear();
                count = 0;
                firstChild = child.number;
                continue;
            }
            putBytes(body, child.firstKey);
            put16(body, child.number);
            ++count;
        }
        close();
        level = above;
        ++levels;
    }

    Bytes tree;
    put16(tree, 0x293B);
    put16(tree, flags);
    put16(tree, pageSize);
    char name[16] = {0};
    std::copy(structure, structure + std::char_traits<char>::length(structure), name);
    tree.insert(tree.end(), name, name + sizeof name);
    put16(tree, 0);
    put16(tree, static_cast<unsigned>(pages.size() - levels)); // page splits
    put16(tree, static_cast<unsigned>(pages.size() - 1));      // the root is written last
    put16(tree, 0xFFFF);
    put16(tree, static_cast<unsigned>(pages.size()));
    put16(tree, levels);
    put32(tree, static_cast<std::uint32_t>(entries.size()));
    for (const Bytes &page : pages)
        putBytes(tree, page);
    return tree;
}

void systemRecord(Bytes &system, unsigned type, const Bytes &data)
{
    put16(system, type);
    put16(system, static_cast<unsigned>(data.size()));
    putBytes(system, data);
}

Bytes systemFile(const HelpProject &project, std::uint32_t contentsOffset)
{
    Bytes system;
    put16(system, 0x036C);
    put16(system, 33); // the minor version of the 4.0 compiler
    put16(system, 1);
    put32(system, 0); // generation time: none, so that a build is repeatable
    put16(system, 0); // no compression, 4 KB topic blocks

    Bytes title;
    putText(title, project.title);
    put8(title, 0);
    systemRecord(system, 1, title);
    Bytes contents;
    put32(contents, contentsOffset);
    systemRecord(system, 3, contents);
    Bytes locale(8, 0);
    put16(locale, project.lcid);
    systemRecord(system, 9, locale);
    Bytes charset;
    put16(charset, project.charset);
    systemRecord(system, 11, charset);
    return system;
}

Bytes fontFile(const HelpProject &project)
{
    const size_t FACE_SLOT = 32;
    Bytes font;
    put16(font, 1); // face names
    put16(font, 3); // descriptors: body, bold, heading
    put16(font, 8);
    put16(font, static_cast<unsigned>(8 + FACE_SLOT));
    Bytes face(FACE_SLOT, 0);
    std::copy(project.fontFace.begin(), project.fontFace.begin() + std::min(project.fontFace.size(), FACE_SLOT - 1),
              face.begin());
    putBytes(font, face);
    const struct {
        unsigned attributes;
        unsigned halfPoints;
    } descriptors[] = {{0, 20}, {1, 20}, {1, 24}};
    for (const auto &descriptor : descriptors) {
        put8(font, descriptor.attributes);
        put8(font, descriptor.halfPoints);
        put8(font, 3); // swiss
        put16(font, 0);
        put8(font, 0); // black text
        put8(font, 0);
        put8(font, 0);
        put8(font, 0); // background
        put8(font, 0);
        put8(font, 0);
    }
    return font;
}

Bytes contextFile(const HelpProject &project, const std::vector<std::uint32_t> &offsets)
{
    std::vector<std::pair<std::int32_t, std::uint32_t>> sorted;
    for (size_t t = 0; t < project.topics.size(); ++t)
        sorted.push_back(std::make_pair(static_cast<std::int32_t>(contextHash(project.topics[t].context)), offsets[t]));
    std::sort(sorted.begin(), sorted.end()); // by the hash read as signed, as the engine compares
    std::vector<TreeEntry> entries;
    for (const auto &item : sorted) {
        TreeEntry entry;
        put32(entry.key, static_cast<std::uint32_t>(item.first));
        entry.entry = entry.key;
        put32(entry.entry, item.second);
        entries.push_back(entry);
    }
    return bTree(entries, 0x0002, 0x0800, "L4");
}

Bytes numberMapFile(const HelpProject &project, const std::vector<std::uint32_t> &offsets)
{
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sorted;
    for (size_t t = 0; t < project.topics.size(); ++t)
        sorted.push_back(std::make_pair(project.topics[t].number, offsets[t]));
    std::sort(sorted.begin(), sorted.end());
    Bytes map;
    put16(map, static_cast<unsigned>(sorted.size()));
    for (const auto &item : sorted) {
        put32(map, item.first);
        put32(map, item.second);
    }
    return map;
}

Bytes titleFile(const HelpProject &project, const std::vector<std::uint32_t> &offsets)
{
    std::vector<TreeEntry> entries;
    for (size_t t = 0; t < project.topics.size(); ++t) {
        if (project.topics[t].title.empty())
            continue;
        TreeEntry entry;
        put32(entry.key, offsets[t]);
        entry.entry = entry.key;
        putText(entry.entry, project.topics[t].title);
        put8(entry.entry, 0);
        entries.push_back(entry);
    }
    return bTree(entries, 0x0002, 0x0800, "Lz");
}

void putInternalFile(Bytes &file, const Bytes &payload)
{
    // The engine takes the reserved size as the end of the file's data,
    // so nothing is reserved beyond it.
    put32(file, static_cast<std::uint32_t>(payload.size() + 9));
    put32(file, static_cast<std::uint32_t>(payload.size()));
    put8(file, 4);
    putBytes(file, payload);
}

} // namespace

bool writeHelpFile(const HelpProject &project, std::vector<std::uint8_t> &file, std::vector<Diagnostic> &problems)
{
    TopicLayout layout;
    TopicWriter topics(project, problems);
    if (!topics.write(layout))
        return false;

    std::uint32_t contentsOffset = 0;
    for (size_t t = 0; t < project.topics.size(); ++t) {
        if (project.topics[t].context == project.contents)
            contentsOffset = layout.offsets[t];
    }

    // Names in byte order, which is the order of the directory's leaf.
    std::map<std::string, Bytes> internalFiles;
    internalFiles["|CONTEXT"] = contextFile(project, layout.offsets);
    internalFiles["|CTXOMAP"] = numberMapFile(project, layout.offsets);
    internalFiles["|FONT"] = fontFile(project);
    internalFiles["|SYSTEM"] = systemFile(project, contentsOffset);
    internalFiles["|TOPIC"] = layout.topicFile;
    internalFiles["|TTLBTREE"] = titleFile(project, layout.offsets);

    file.assign(16, 0);
    std::vector<TreeEntry> directory;
    for (const auto &internal : internalFiles) {
        TreeEntry entry;
        putText(entry.key, internal.first);
        put8(entry.key, 0);
        entry.entry = entry.key;
        put32(entry.entry, static_cast<std::uint32_t>(file.size()));
        directory.push_back(entry);
        putInternalFile(file, internal.second);
    }
    std::uint32_t directoryOffset = static_cast<std::uint32_t>(file.size());
    putInternalFile(file, bTree(directory, 0x0402, 0x0400, "z4"));

    set32(file, 0, 0x00035F3F);
    set32(file, 4, directoryOffset);
    set32(file, 8, NONE); // no free blocks
    set32(file, 12, static_cast<std::uint32_t>(file.size()));
    return true;
}

} // namespace hlp
