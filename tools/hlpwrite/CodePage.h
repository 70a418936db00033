// UTF-8 source text to the single- or double-byte code page of a help file.
#ifndef HLPWRITE_CODEPAGE_H
#define HLPWRITE_CODEPAGE_H

#include <string>

namespace hlp {

class CodePageEncoder {
public:
    explicit CodePageEncoder(int codePage); // 1252 or 932
    ~CodePageEncoder();
    CodePageEncoder(const CodePageEncoder &) = delete;
    CodePageEncoder &operator=(const CodePageEncoder &) = delete;

    // False when the system offers no converter for the code page.
    bool usable() const;

    // `utf8` in the code page, or false with `problem` naming the first
    // character that is not valid UTF-8, is a control character, or has no
    // place in the code page.
    bool encode(const std::string &utf8, std::string &encoded, std::string &problem) const;

private:
    int codePage;
    void *converter; // an iconv_t, kept out of this header
};

} // namespace hlp

#endif
