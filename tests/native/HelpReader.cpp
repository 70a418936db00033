#include "HelpReader.h"

#include <cstring>

namespace helpreader {

namespace {

// Reads little-endian values and strings; any read past the end marks the
// cursor as failed and answers zeros.
class Cursor {
public:
    Cursor(const Bytes &bytes, size_t start = 0, size_t end = SIZE_MAX)
        : data(bytes), at(start), limit(end < bytes.size() ? end : bytes.size())
    {
    }

    bool ok() const { return good; }
    size_t position() const { return at; }
    size_t left() const { return at <= limit ? limit - at : 0; }
    bool atEnd() const { return at >= limit; }

    unsigned u8()
    {
        if (at + 1 > limit) {
            good = false;
            return 0;
        }
        return data[at++];
    }
    unsigned u16()
    {
        unsigned low = u8();
        return low | (u8() << 8);
    }
    std::uint32_t u32()
    {
        std::uint32_t low = u16();
        return low | (static_cast<std::uint32_t>(u16()) << 16);
    }
    std::string text() // up to a NUL, which is read too
    {
        std::string value;
        for (;;) {
            if (at >= limit) {
                good = false;
                return value;
            }
            char c = static_cast<char>(data[at++]);
            if (c == '\0')
                return value;
            value += c;
        }
    }
    Bytes bytes(size_t count)
    {
        if (count > left()) {
            good = false;
            return Bytes();
        }
        Bytes value(data.begin() + at, data.begin() + at + count);
        at += count;
        return value;
    }

    // The compressed integers of paragraph records.
    unsigned compressedUnsignedShort()
    {
        if (at < limit && (data[at] & 1))
            return u16() >> 1;
        return u8() >> 1;
    }
    int compressedSignedShort()
    {
        if (at < limit && (data[at] & 1))
            return static_cast<int>(u16() >> 1) - 0x4000;
        return static_cast<int>(u8() >> 1) - 0x40;
    }
    long compressedSignedLong()
    {
        if (at < limit && (data[at] & 1))
            return static_cast<long>(u32() >> 1) - 0x40000000L;
        return static_cast<long>(u16() >> 1) - 0x4000L;
    }

private:
    const Bytes &data;
    size_t at;
    size_t limit;
    bool good = true;
};

std::uint32_t le32(const Bytes &bytes, size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | bytes.at(at + i);
    return value;
}

struct TreeHeader {
    unsigned flags, pageSize, root, pages, levels;
    std::uint32_t entries;
    std::string structure;
};

bool readTreeHeader(const Bytes &tree, TreeHeader &header, std::string &problem)
{
    Cursor cursor(tree);
    if (cursor.u16() != 0x293B) {
        problem = "B+ tree magic";
        return false;
    }
    header.flags = cursor.u16();
    header.pageSize = cursor.u16();
    Bytes name = cursor.bytes(16);
    header.structure = std::string(name.begin(), name.end()).c_str();
    cursor.u16();
    cursor.u16();
    header.root = cursor.u16();
    if (cursor.u16() != 0xFFFF) {
        problem = "B+ tree: the field after the root is not -1";
        return false;
    }
    header.pages = cursor.u16();
    header.levels = cursor.u16();
    header.entries = cursor.u32();
    if (!cursor.ok() || 38 + static_cast<size_t>(header.pages) * header.pageSize != tree.size()) {
        problem = "B+ tree of " + header.structure + ": its pages do not fill the file";
        return false;
    }
    return true;
}

// Length of the text at `at` with its NUL; past the end when there is none.
size_t textLength(const Bytes &bytes, size_t at)
{
    if (at >= bytes.size())
        return bytes.size();
    const void *end = std::memchr(&bytes[at], 0, bytes.size() - at);
    return end == NULL ? bytes.size() : static_cast<const std::uint8_t *>(end) - &bytes[at] + 1;
}

// Length of a leaf entry, by the tree's structure.
size_t entryLength(const std::string &structure, const Bytes &tree, size_t at)
{
    if (structure == "z4")
        return textLength(tree, at) + 4;
    if (structure == "Lz")
        return 4 + textLength(tree, at + 4);
    return 8;
}

size_t pageStart(const TreeHeader &header, unsigned page)
{
    return 38 + static_cast<size_t>(page) * header.pageSize;
}

bool readTree(const Bytes &tree, TreeSeen &seen, std::string &problem)
{
    TreeHeader header;
    if (!readTreeHeader(tree, header, problem))
        return false;
    seen.levels = header.levels;
    seen.pages = header.pages;
    // Down the first children to the first leaf, then along the chain.
    unsigned page = header.root;
    for (unsigned level = header.levels; level > 1; --level) {
        if (page >= header.pages) {
            problem = "B+ tree: index page out of range";
            return false;
        }
        page = Cursor(tree, pageStart(header, page) + 4).u16();
    }
    int previous = -1;
    while (page != 0xFFFF) {
        if (page >= header.pages) {
            problem = "B+ tree: leaf page out of range";
            return false;
        }
        size_t start = pageStart(header, page);
        Cursor cursor(tree, start, start + header.pageSize);
        unsigned unused = cursor.u16();
        unsigned count = cursor.u16();
        int back = static_cast<std::int16_t>(cursor.u16());
        unsigned next = cursor.u16();
        if (back != previous) {
            problem = "B+ tree: a leaf's previous page is not the one before it";
            return false;
        }
        for (unsigned i = 0; i < count; ++i)
            seen.leafEntries.push_back(cursor.bytes(entryLength(header.structure, tree, cursor.position())));
        if (!cursor.ok() || cursor.left() != unused) {
            problem = "B+ tree: a leaf's unused bytes do not match its entries";
            return false;
        }
        previous = static_cast<int>(page);
        page = next;
    }
    if (seen.leafEntries.size() != header.entries) {
        problem = "B+ tree: the header counts other entries than the leaves hold";
        return false;
    }
    return true;
}

} // namespace

bool HelpReader::read(const Bytes &bytes, std::string &problem)
{
    file = bytes;
    Cursor header(file);
    if (header.u32() != 0x00035F3F) {
        problem = "file magic";
        return false;
    }
    std::uint32_t directoryOffset = header.u32();
    header.u32();
    if (header.u32() != file.size()) {
        problem = "the header's file size is not the file's";
        return false;
    }
    offsets["(directory)"] = directoryOffset;
    return readDirectory(problem) && readSystem(problem) && readNumberMap(problem) && readTopics(problem) &&
           readTree(payloads["|CONTEXT"], contextTree, problem);
}

bool HelpReader::readDirectory(std::string &problem)
{
    auto payloadAt = [&](std::uint32_t offset, Bytes &payload) {
        Cursor cursor(file, offset);
        std::uint32_t reserved = cursor.u32();
        std::uint32_t used = cursor.u32();
        cursor.u8();
        // The engine ends an internal file where its reserved room ends.
        if (!cursor.ok() || reserved != used + 9 || offset + static_cast<size_t>(reserved) > file.size()) {
            problem = "internal file at " + std::to_string(offset) + ": reserved room is not used + 9";
            return false;
        }
        payload = cursor.bytes(used);
        return cursor.ok();
    };
    Bytes tree;
    if (!payloadAt(offsets["(directory)"], tree) || !readTree(tree, directory, problem))
        return false;
    offsets.erase("(directory)");
    std::string last;
    for (const Bytes &entry : directory.leafEntries) {
        std::string name(reinterpret_cast<const char *>(entry.data()));
        if (name <= last) {
            problem = "directory names out of order at " + name;
            return false;
        }
        last = name;
        offsets[name] = le32(entry, name.size() + 1);
        if (!payloadAt(offsets[name], payloads[name]))
            return false;
    }
    return true;
}

std::vector<std::string> HelpReader::internalFiles() const
{
    std::vector<std::string> names;
    for (const auto &entry : offsets)
        names.push_back(entry.first);
    return names;
}

bool HelpReader::readSystem(std::string &problem)
{
    Cursor cursor(payloads["|SYSTEM"]);
    if (cursor.u16() != 0x036C) {
        problem = "|SYSTEM magic";
        return false;
    }
    systemMinor = cursor.u16();
    if (cursor.u16() != 1) {
        problem = "|SYSTEM major version";
        return false;
    }
    cursor.u32();
    if (cursor.u16() != 0) {
        problem = "|SYSTEM says the topics are compressed";
        return false;
    }
    while (!cursor.atEnd()) {
        unsigned type = cursor.u16();
        unsigned size = cursor.u16();
        systemRecords[type] = cursor.bytes(size);
    }
    if (!cursor.ok())
        problem = "|SYSTEM records run past its end";
    return cursor.ok();
}

bool HelpReader::readNumberMap(std::string &problem)
{
    Cursor cursor(payloads["|CTXOMAP"]);
    unsigned count = cursor.u16();
    for (unsigned i = 0; i < count; ++i) {
        std::uint32_t number = cursor.u32();
        numberMap.push_back(std::make_pair(number, cursor.u32()));
    }
    if (!cursor.ok() || !cursor.atEnd())
        problem = "|CTXOMAP holds other than its count of entries";
    return cursor.ok() && cursor.atEnd();
}

bool HelpReader::readTopics(std::string &problem)
{
    const Bytes &topic = payloads["|TOPIC"];
    if (topic.empty() || topic.size() % 4096 != 0) {
        problem = "|TOPIC is not made of whole 4 KB blocks";
        return false;
    }
    topicBlocks = topic.size() / 4096;
    std::uint32_t position = 12;
    std::uint32_t previous = 0xFFFFFFFF;
    size_t block = 0;
    std::uint32_t characters = 0;
    while (position != 0xFFFFFFFF) {
        size_t recordBlock = (position - 12) / 0x4000;
        size_t inBlock = position - recordBlock * 0x4000 - 12;
        if (recordBlock >= topicBlocks || inBlock >= 4084) {
            problem = "a record position points outside the topic blocks";
            return false;
        }
        if (recordBlock != block)
            characters = 0;
        block = recordBlock;
        size_t start = recordBlock * 4096 + 12 + inBlock;
        Cursor cursor(topic, start, recordBlock * 4096 + 4096);
        std::uint32_t size = cursor.u32();
        std::uint32_t length2 = cursor.u32();
        std::uint32_t back = cursor.u32();
        std::uint32_t next = cursor.u32();
        std::uint32_t length1 = cursor.u32();
        unsigned type = cursor.u8();
        if (!cursor.ok() || back != previous || length1 < 21 || size < length1 || length2 != size - length1 ||
            size - 21 > cursor.left()) {
            problem = "record at " + std::to_string(position) + ": sizes or chain do not add up";
            return false;
        }
        Bytes data1 = cursor.bytes(length1 - 21);
        Bytes data2 = cursor.bytes(length2);
        if (type == 0x02) {
            if (data1.size() != 28) {
                problem = "topic header of other than 28 bytes";
                return false;
            }
            TopicSeen seen;
            seen.position = position;
            seen.offset = static_cast<std::uint32_t>(block * 0x8000 + characters);
            seen.number = le32(data1, 12);
            seen.title.assign(data2.begin(), data2.end());
            if (next == 0xFFFFFFFF)
                break; // the closing record
            topics.push_back(seen);
        } else if (type == 0x20) {
            if (topics.empty()) {
                problem = "a paragraph before the first topic header";
                return false;
            }
            Cursor layout(data1);
            long topicSize = layout.compressedSignedLong();
            unsigned topicLength = layout.compressedUnsignedShort();
            size_t sizedFrom = layout.position();
            layout.bytes(4);
            unsigned flags = layout.u16();
            for (unsigned bit = 0x0002; bit <= 0x0040; bit <<= 1) {
                if (flags & bit)
                    layout.compressedSignedShort();
            }
            if (topicLength != data2.size() || topicSize != static_cast<long>(data1.size() - sizedFrom) ||
                (flags & ~0x007Eu) != 0) {
                problem = "paragraph at " + std::to_string(position) + ": its layout fields do not add up";
                return false;
            }
            characters += topicLength;
            Cursor strings(data2);
            ParagraphSeen paragraph;
            int open = -1; // the hotspot whose text is being read
            for (bool ended = false; !ended;) {
                std::string text = strings.text();
                paragraph.text += text;
                if (open >= 0)
                    paragraph.hotspots[open].text += text;
                unsigned command = layout.u8();
                switch (command) {
                case 0x80:
                    paragraph.fonts.push_back(layout.u16());
                    break;
                case 0x82:
                    break;
                case 0x89:
                    open = -1;
                    break;
                case 0xE2:
                case 0xE3: {
                    std::uint32_t hash = layout.u32();
                    paragraph.hotspots.push_back(Hotspot{static_cast<std::uint8_t>(command), hash, std::string()});
                    open = static_cast<int>(paragraph.hotspots.size()) - 1;
                    break;
                }
                case 0xFF:
                    ended = true;
                    break;
                default:
                    problem = "unknown formatting command " + std::to_string(command);
                    return false;
                }
                if (!layout.ok() || !strings.ok()) {
                    problem = "paragraph at " + std::to_string(position) + ": commands and strings run out";
                    return false;
                }
            }
            if (!strings.atEnd() || !layout.atEnd() || open >= 0) {
                problem = "paragraph at " + std::to_string(position) + ": strings and commands do not pair up";
                return false;
            }
            topics.back().paragraphs.push_back(paragraph);
        } else {
            problem = "record of unknown type " + std::to_string(type);
            return false;
        }
        previous = position;
        position = next;
    }
    return true;
}

bool HelpReader::findContext(std::uint32_t hash, std::uint32_t &offset) const
{
    const Bytes &tree = payloads.at("|CONTEXT");
    TreeHeader header;
    std::string problem;
    if (!readTreeHeader(tree, header, problem))
        return false;
    std::int32_t wanted = static_cast<std::int32_t>(hash);
    unsigned page = header.root;
    // An index page names its first child in its header; every entry after
    // it is a child's first key, and the search goes down before the first
    // key that is greater than the one looked for.
    for (unsigned level = header.levels; level > 1; --level) {
        Cursor cursor(tree, pageStart(header, page), pageStart(header, page) + header.pageSize);
        cursor.u16();
        unsigned count = cursor.u16();
        page = cursor.u16();
        for (unsigned i = 0; i < count; ++i) {
            std::int32_t key = static_cast<std::int32_t>(cursor.u32());
            unsigned child = cursor.u16();
            if (key > wanted)
                break;
            page = child;
        }
        if (!cursor.ok())
            return false;
    }
    Cursor cursor(tree, pageStart(header, page), pageStart(header, page) + header.pageSize);
    cursor.u16();
    unsigned count = cursor.u16();
    cursor.u32();
    for (unsigned i = 0; i < count; ++i) {
        std::uint32_t key = cursor.u32();
        std::uint32_t value = cursor.u32();
        if (key == hash) {
            offset = value;
            return cursor.ok();
        }
    }
    return false;
}

bool HelpReader::findNumber(std::uint32_t number, std::uint32_t &offset) const
{
    for (const auto &entry : numberMap) {
        if (entry.first == number) {
            offset = entry.second;
            return true;
        }
    }
    return false;
}

const TopicSeen *HelpReader::topicAt(std::uint32_t offset) const
{
    for (const TopicSeen &topic : topics) {
        if (topic.offset == offset)
            return &topic;
    }
    return NULL;
}

} // namespace helpreader
