// hlpwrite CONTEXT-MAP SOURCE OUTPUT
//
// Writes the WinHelp file of one language from its help source and the
// context map shared by all languages (see HelpSource.h). A wrong source
// writes no file: every problem is reported as "file:line: message" and the
// exit code is 1.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "HelpFile.h"
#include "HelpSource.h"

namespace {

bool readWhole(const char *path, std::string &text)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::ostringstream content;
    content << file.rdbuf();
    text = content.str();
    return true;
}

int report(const std::vector<hlp::Diagnostic> &problems)
{
    for (const hlp::Diagnostic &problem : problems)
        std::fprintf(stderr, "%s\n", hlp::describe(problem).c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: hlpwrite CONTEXT-MAP SOURCE OUTPUT\n");
        return 2;
    }
    const char *mapPath = argv[1];
    const char *sourcePath = argv[2];
    const char *outputPath = argv[3];
    // A stale file from an earlier run must not pass for this one's.
    std::remove(outputPath);

    std::string mapText, sourceText;
    for (const char *path : {mapPath, sourcePath}) {
        if (!readWhole(path, path == mapPath ? mapText : sourceText)) {
            std::fprintf(stderr, "hlpwrite: cannot read %s\n", path);
            return 1;
        }
    }

    std::vector<hlp::Diagnostic> problems;
    hlp::ContextMap map;
    hlp::HelpProject project;
    std::vector<std::uint8_t> file;
    // The source is read even after a wrong map, so that one run names every problem.
    bool mapRead = hlp::readContextMap(mapText, mapPath, map, problems);
    bool sourceRead = hlp::readHelpSource(sourceText, sourcePath, map, project, problems);
    if (!mapRead || !sourceRead)
        return report(problems);
    if (!hlp::writeHelpFile(project, file, problems))
        return report(problems);

    std::string partial = std::string(outputPath) + ".part";
    {
        std::ofstream out(partial.c_str(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(file.data()), static_cast<std::streamsize>(file.size()));
        if (!out) {
            std::fprintf(stderr, "hlpwrite: cannot write %s\n", partial.c_str());
            return 1;
        }
    }
    if (std::rename(partial.c_str(), outputPath) != 0) {
        std::fprintf(stderr, "hlpwrite: cannot write %s\n", outputPath);
        return 1;
    }
    return 0;
}
