// The two texts a help file is made from.
//
// The context map, one for every language: a line per context string with
// its map number, the number the program passes to the help engine.
//
//     # comment
//     IDH_KEY_MANAGER 1000
//
// The help source of one language, in UTF-8: a few settings, then topics
// and popups, each started by a line of its own.
//
//     .title Glimmerpad Key Manager Help     title of the help file
//     .language 1033                         1033, 1031, 1036 or 1041
//     .font Arial                            optional; face of every text
//     .contents IDH_KEY_MANAGER              topic shown for the contents
//
//     .topic IDH_KEY_MANAGER Key Manager     a topic with its title
//     .popup IDH_KEY_LIST                    a popup: text only
//
// Below a topic or popup, lines of text; an empty line ends a paragraph.
// A line break counts as a space, except between two wide characters
// (Japanese), where it joins the lines without one.
// **bold text**, and [text](IDH_NAME) for a link: to a popup it opens the
// popup, to a topic it jumps there. A backslash takes the next character as
// it is (\*, \[, \], \\). Lines beginning with # are comments.
#ifndef HLPWRITE_HELPSOURCE_H
#define HLPWRITE_HELPSOURCE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "HelpProject.h"

namespace hlp {

struct MapEntry {
    std::uint32_t number = 0;
    SourcePlace place;
};
typedef std::map<std::string, MapEntry> ContextMap;

// Both answer false when they added to `problems`; reading goes on after a
// problem, so that one run reports them all.
bool readContextMap(const std::string &text, const std::string &fileName, ContextMap &map,
                    std::vector<Diagnostic> &problems);

// Every context of `map` must have its topic or popup in the source, and
// every topic or popup its context in the map.
bool readHelpSource(const std::string &text, const std::string &fileName, const ContextMap &map,
                    HelpProject &project, std::vector<Diagnostic> &problems);

} // namespace hlp

#endif
