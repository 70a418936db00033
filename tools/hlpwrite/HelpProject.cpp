#include "HelpProject.h"

namespace hlp {

std::string describe(const Diagnostic &diagnostic)
{
    return diagnostic.place.file + ":" + std::to_string(diagnostic.place.line) + ": " + diagnostic.message;
}

// Letters 17 to 42 whatever their case, digits 1 to 9 and then 0 as 10,
// '.' 12 and '_' 13; nothing else has a value the engine agrees on.
static int hashValue(char c)
{
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 17;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 17;
    if (c >= '1' && c <= '9')
        return c - '1' + 1;
    if (c == '0')
        return 10;
    if (c == '.')
        return 12;
    if (c == '_')
        return 13;
    return -1;
}

std::uint32_t contextHash(const std::string &context)
{
    std::uint32_t hash = 0;
    for (char c : context)
        hash = hash * 43 + static_cast<std::uint32_t>(hashValue(c));
    return hash;
}

bool isContextString(const std::string &context)
{
    if (context.empty())
        return false;
    for (char c : context) {
        if (hashValue(c) < 0)
            return false;
    }
    return true;
}

} // namespace hlp
