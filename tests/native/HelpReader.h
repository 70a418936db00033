// Reads a WinHelp file back the way the help engine finds its way through
// one: file header, directory tree, the context hash tree searched from its
// root, the number map, and the topic records followed along their chain.
// Written apart from the writer, so that a mistake there is not mirrored.
#ifndef GAGENT_TEST_HELPREADER_H
#define GAGENT_TEST_HELPREADER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace helpreader {

typedef std::vector<std::uint8_t> Bytes;

struct Hotspot {
    std::uint8_t command; // 0xE2 popup, 0xE3 jump
    std::uint32_t hash;
    std::string text;
};

struct ParagraphSeen {
    std::string text;                // every string of the record, in order
    std::vector<unsigned> fonts;     // each font switch
    std::vector<Hotspot> hotspots;
};

struct TopicSeen {
    std::uint32_t position = 0; // TOPICPOS of its header record
    std::uint32_t offset = 0;   // TOPICOFFSET, counted as the engine counts it
    std::uint32_t number = 0;   // the header's topic number
    std::string title;
    std::vector<ParagraphSeen> paragraphs;
};

struct TreeSeen {
    unsigned levels = 0;
    unsigned pages = 0;
    std::vector<Bytes> leafEntries; // in leaf chain order
};

class HelpReader {
public:
    // False, with `problem` saying where, when anything does not add up.
    bool read(const Bytes &file, std::string &problem);

    std::vector<std::string> internalFiles() const;
    TreeSeen directory;
    TreeSeen contextTree;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> numberMap; // number, offset
    std::map<unsigned, Bytes> systemRecords;
    unsigned systemMinor = 0;
    size_t topicBlocks = 0;
    std::vector<TopicSeen> topics; // the closing record left out

    // The TOPICOFFSET that |CONTEXT gives `hash`, descending from the root
    // page by page; false when the tree does not hold it.
    bool findContext(std::uint32_t hash, std::uint32_t &offset) const;
    // Through |CTXOMAP, first match wins.
    bool findNumber(std::uint32_t number, std::uint32_t &offset) const;
    const TopicSeen *topicAt(std::uint32_t offset) const;

private:
    bool readDirectory(std::string &problem);
    bool readSystem(std::string &problem);
    bool readNumberMap(std::string &problem);
    bool readTopics(std::string &problem);

    Bytes file;
    std::map<std::string, std::uint32_t> offsets; // internal file: its header's offset
    std::map<std::string, Bytes> payloads;
};

} // namespace helpreader

#endif
