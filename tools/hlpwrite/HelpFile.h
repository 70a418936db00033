// Lays a help project out as a WinHelp 4 file: uncompressed 4 KB topic
// blocks, the context hash tree, the number map and the title tree.
#ifndef HLPWRITE_HELPFILE_H
#define HLPWRITE_HELPFILE_H

#include <cstdint>
#include <vector>

#include "HelpProject.h"

namespace hlp {

// The file's bytes, or false with the problems of paragraphs too long for
// one topic block.
bool writeHelpFile(const HelpProject &project, std::vector<std::uint8_t> &file, std::vector<Diagnostic> &problems);

} // namespace hlp

#endif
