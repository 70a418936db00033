// What a help file holds before it is laid out: its topics and popups in
// the help file's code page, each with its context string and map number.
#ifndef HLPWRITE_HELPPROJECT_H
#define HLPWRITE_HELPPROJECT_H

#include <cstdint>
#include <string>
#include <vector>

namespace hlp {

// Where something was written, for messages that name file and line.
struct SourcePlace {
    std::string file;
    int line = 0;
};

struct Diagnostic {
    SourcePlace place;
    std::string message;
};

// "file:line: message"
std::string describe(const Diagnostic &diagnostic);

struct Span {
    std::string text; // bytes in the help file's code page, never empty
    bool bold = false;
    std::string link; // context string of the topic or popup it opens; empty for none
};

struct Paragraph {
    std::vector<Span> spans;
    SourcePlace place;
};

struct Topic {
    std::string context; // [A-Za-z0-9._]+
    std::uint32_t number = 0;
    bool popup = false;
    std::string title; // code page bytes; empty for popups
    std::vector<Paragraph> paragraphs;
    SourcePlace place;
};

struct HelpProject {
    std::string title; // code page bytes
    std::uint16_t lcid = 0;
    std::uint8_t charset = 0;
    std::string fontFace; // code page bytes
    std::string contents; // context string of the contents topic
    std::vector<Topic> topics;
};

// The help engine's hash of a context string (case does not count).
std::uint32_t contextHash(const std::string &context);

// Whether `context` is made of the characters the hash gives values to.
bool isContextString(const std::string &context);

} // namespace hlp

#endif
