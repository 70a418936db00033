#include "CodePage.h"

#include <iconv.h>

#include <cstdint>
#include <cstdio>

namespace hlp {

namespace {

iconv_t asIconv(void *converter)
{
    return static_cast<iconv_t>(converter);
}

// Length of the UTF-8 sequence at `at` and its code point; 0 when the bytes
// there are no valid, shortest-form sequence.
size_t decodeUtf8(const std::string &text, size_t at, std::uint32_t &codePoint)
{
    unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length;
    std::uint32_t smallest;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        codePoint = lead & 0x1F;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        codePoint = lead & 0x0F;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        codePoint = lead & 0x07;
        smallest = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < smallest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

std::string namedCodePoint(std::uint32_t codePoint)
{
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(codePoint));
    return name;
}

// Answers the problem with the text at `at`, or an empty text when the
// characters from there on are all valid and printable.
std::string firstUnfitCharacter(const std::string &text, size_t &at)
{
    for (; at < text.size();) {
        std::uint32_t codePoint = 0;
        size_t length = decodeUtf8(text, at, codePoint);
        if (length == 0)
            return "the text is not valid UTF-8";
        if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F))
            return "control character " + namedCodePoint(codePoint) + " in the text";
        at += length;
    }
    return std::string();
}

} // namespace

CodePageEncoder::CodePageEncoder(int page) : codePage(page), converter(reinterpret_cast<void *>(-1))
{
    std::string name = "CP" + std::to_string(page);
    converter = iconv_open(name.c_str(), "UTF-8");
}

CodePageEncoder::~CodePageEncoder()
{
    if (usable())
        iconv_close(asIconv(converter));
}

bool CodePageEncoder::usable() const
{
    return converter != reinterpret_cast<void *>(-1);
}

bool CodePageEncoder::encode(const std::string &utf8, std::string &encoded, std::string &problem) const
{
    encoded.clear();
    size_t checked = 0;
    problem = firstUnfitCharacter(utf8, checked);
    if (!problem.empty())
        return false;

    // One character at a time, so that a failure names its character, and
    // one that the converter could only approximate counts as a failure too.
    for (size_t at = 0; at < utf8.size();) {
        std::uint32_t codePoint = 0;
        size_t length = decodeUtf8(utf8, at, codePoint);
        std::string character = utf8.substr(at, length);
        char *in = &character[0];
        size_t inLeft = character.size();
        char buffer[8];
        char *out = buffer;
        size_t outLeft = sizeof buffer;
        iconv(asIconv(converter), NULL, NULL, NULL, NULL);
        size_t result = iconv(asIconv(converter), &in, &inLeft, &out, &outLeft);
        if (result != 0 || inLeft != 0) {
            problem = "'" + character + "' (" + namedCodePoint(codePoint) + ") has no character in code page " +
                      std::to_string(codePage);
            return false;
        }
        encoded.append(buffer, static_cast<size_t>(out - buffer));
        at += length;
    }
    return true;
}

} // namespace hlp
