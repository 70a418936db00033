#include "LocalConfiguration.h"

#include <stdio.h>

#include "InstallerSupport.h"
#include "SettingsReader.h"
#include "TextBuffer.h"

namespace {

const char PRODUCT_KEY[] = "SOFTWARE\\VAQGlimmerpad";
const char SETTINGS_FILE[] = "gAgent";
const char LOG_FILE[] = "gAgentLog.txt";

// The value as stored, from one hive; false when missing or too long.
bool queryFolderValue(HKEY root, const char *valueName, char *value)
{
    HKEY key;
    if (RegOpenKeyExA(root, PRODUCT_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = MAX_PATH;
    LONG status = RegQueryValueExA(key, valueName, NULL, NULL, reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return false;
    // A value stored without its terminator fits only with room for one.
    if (size < MAX_PATH)
        value[size] = '\0';
    else if (value[MAX_PATH - 1] != '\0')
        return false;
    return true;
}

bool expandFolder(const char *value, char *folder)
{
    HMODULE library = LoadLibraryA(INSTALLER_SUPPORT_LIBRARY);
    if (library == NULL)
        return false;
    bool expanded = false;
    ExpandFolderFunction expand = reinterpret_cast<ExpandFolderFunction>(
        reinterpret_cast<void *>(GetProcAddress(library, EXPAND_FOLDER_EXPORT)));
    if (expand != NULL) {
        folder[0] = '\0';
        expanded = expand(value, folder, MAX_PATH) == 0;
        // The library promises to honour the capacity; the terminator is
        // made certain here all the same.
        folder[MAX_PATH - 1] = '\0';
    }
    FreeLibrary(library);
    // An empty expansion names no folder at all.
    return expanded && folder[0] != '\0';
}

bool endsInSeparator(const char *folder)
{
    // The last character, not the last byte: a double-byte character may
    // end in 0x5C.
    const char *last = CharPrevA(folder, folder + lstrlenA(folder));
    return CharNextA(last) == last + 1 && (*last == '\\' || *last == '/');
}

// A folder from the registry value `valueName`, expanded, ending in a
// separator; false when it cannot be determined or would not fit.
bool lookUpFolder(const char *valueName, char *folder)
{
    char value[MAX_PATH];
    if (!queryFolderValue(HKEY_CURRENT_USER, valueName, value) &&
        !queryFolderValue(HKEY_LOCAL_MACHINE, valueName, value))
        return false;
    if (!expandFolder(value, folder))
        return false;
    return endsInSeparator(folder) || appendText(folder, MAX_PATH, "\\");
}

int nextFileCharacter(void *file)
{
    return fgetc(static_cast<FILE *>(file));
}

} // namespace

void getUserKeyFolder(char *folder)
{
    if (!lookUpFolder("UserDir", folder) || !appendText(folder, MAX_PATH, ".ssh\\"))
        folder[0] = '\0';
}

void getAgentLogPath(char *path)
{
    if (!lookUpFolder("LogDir", path) || !appendText(path, MAX_PATH, LOG_FILE))
        copyText(path, MAX_PATH, LOG_FILE);
}

void readAgentSettings(INT32 &confirmKeyOp, INT32 &allowAdd, INT32 &allowDelete, INT32 *notifyKeyUse)
{
    char path[MAX_PATH];
    getUserKeyFolder(path);
    if (!appendText(path, MAX_PATH, SETTINGS_FILE))
        return;
    FILE *file = fopen(path, "r");
    if (file == NULL)
        return;
    CharacterSource source = {nextFileCharacter, file};
    AgentPolicyFlags flags = {&confirmKeyOp, &allowAdd, &allowDelete, notifyKeyUse};
    applyAgentSettings(source, flags);
    fclose(file);
}
