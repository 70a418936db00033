#include "ClientPath.h"

#include "LocalPath.h"

#include <windows.h>

const char* clientPathRefusal(const std::string& path) {
    if (const char* why = agentcore::localPathRefusal(path)) return why;
    const char root[] = {path[0], ':', '\\', '\0'};
    switch (GetDriveTypeA(root)) {
    case DRIVE_FIXED:
    case DRIVE_REMOVABLE:
    case DRIVE_CDROM:
    case DRIVE_RAMDISK:
        return nullptr;
    case DRIVE_REMOTE:
        return "refused, a drive of another computer";
    }
    return "refused, not a drive of this computer";
}
