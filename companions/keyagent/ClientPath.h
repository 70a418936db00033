// Which paths a client may have the agent open or write (add-key-file,
// generate-key): what LocalPath.h allows by the text, on a drive that
// Windows calls local. A drive letter mapped to a share (DRIVE_REMOTE)
// reaches another computer as surely as "\\server\share" does; a letter
// of no drive, or of one Windows cannot name, is refused too.
#ifndef GKEYAGENT_CLIENTPATH_H
#define GKEYAGENT_CLIENTPATH_H

#include <string>

// Why the path is refused, as the log says it; null when it may be used.
// Touches no file: only the drive's root is asked for its type.
const char* clientPathRefusal(const std::string& path);

#endif
