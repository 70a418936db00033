#include "SettingsReader.h"

#include <stddef.h>

namespace {

const size_t FIRST_LINE_LIMIT = 259; // what one fgets into 260 bytes takes
const size_t NAME_ROOM = 260;        // 259 characters
const size_t VALUE_ROOM = 32;        // 31 characters

bool isSeparator(int c)
{
    // The characters that "%s" skips between tokens.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

class Reader {
public:
    explicit Reader(CharacterSource characters) : source(characters) {}

    void skipFirstLine()
    {
        for (size_t taken = 0; taken < FIRST_LINE_LIMIT; ++taken) {
            int c = next();
            if (c < 0 || c == '\n')
                return;
        }
    }

    // Reads the next token into `token`; a token longer than its room is
    // read to its end and left empty, so that it matches nothing and the
    // tokens after it keep their places. False at the end of the file.
    bool readToken(char *token, size_t room)
    {
        int c;
        do {
            c = next();
        } while (c >= 0 && isSeparator(c));
        if (c < 0)
            return false;
        size_t length = 0;
        bool fits = true;
        while (c >= 0 && !isSeparator(c)) {
            if (length + 1 < room)
                token[length++] = static_cast<char>(c);
            else
                fits = false;
            c = next();
        }
        // The separator that ended the token is consumed: only another
        // token, which skips separators anyway, can follow.
        token[fits ? length : 0] = '\0';
        return true;
    }

    bool readPair(char *name, char *value)
    {
        return readToken(name, NAME_ROOM) && readToken(value, VALUE_ROOM);
    }

private:
    int next() { return source.next(source.context); }

    CharacterSource source;
};

char foldAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

int equalsIgnoringAsciiCase(const char *a, const char *b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (foldAscii(*a) != foldAscii(*b))
            return 0;
    }
    return *a == *b;
}

void applyAgentSettings(CharacterSource source, const AgentPolicyFlags &flags)
{
    Reader reader(source);
    reader.skipFirstLine();

    char name[NAME_ROOM];
    char value[VALUE_ROOM];
    if (!reader.readPair(name, value))
        return;
    if (equalsIgnoringAsciiCase(name, "ConfirmKeyOp") && equalsIgnoringAsciiCase(value, "yes"))
        *flags.confirmKeyOp = 1;
    if (!reader.readPair(name, value))
        return;
    if (equalsIgnoringAsciiCase(name, "AllowAdd") && equalsIgnoringAsciiCase(value, "no"))
        *flags.allowAdd = 0;
    if (!reader.readPair(name, value))
        return;
    if (equalsIgnoringAsciiCase(name, "AllowDelete") && equalsIgnoringAsciiCase(value, "no"))
        *flags.allowDelete = 0;
    if (flags.notifyKeyUse == NULL || !reader.readPair(name, value))
        return;
    if (equalsIgnoringAsciiCase(name, "NotifyKeyUse") && equalsIgnoringAsciiCase(value, "yes"))
        *flags.notifyKeyUse = 1;
}
