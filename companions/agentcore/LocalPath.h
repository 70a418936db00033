// Which file paths the agent opens for a client: only a whole path on a
// drive of this machine, "X:\...". A share ("\\server\share\..."), a
// device path ("\\.\...", "\\?\...", "\??\...") or a relative path could
// make the agent log the user on to another computer, open a device, or
// read a file other than the one the user was shown; a colon past the
// drive names a stream of another file, and a DOS device name (CON, NUL,
// COM1, LPT1, ... with or without extension) is a device in any folder.
//
// Only the text is judged here, so that it is tested on any machine; the
// agent adds what only Windows can tell (whether the drive is a local one).
#ifndef AGENTCORE_LOCALPATH_H
#define AGENTCORE_LOCALPATH_H

#include <string>

namespace agentcore {

// Why the path is refused, as the log says it; null when it is a whole
// local path of a drive.
const char* localPathRefusal(const std::string& path);

}  // namespace agentcore

#endif
