// Commands on key files and on the key selected in the list: add, export,
// remove, rename or give a lifetime. Each makes one agent call and turns
// that call's one failure into a message; the list itself changes only
// when the agent announces it.
#include "ExportKeyDialog.h"
#include "HeapText.h"
#include "KeyManagerDialog.h"
#include "KeyTextDialog.h"
#include "LocalConfiguration.h"
#include "SettingsReader.h"
#include "TextBuffer.h"
#include "resource.h"

#include <commdlg.h>
#include <string.h>

namespace {

const char PUBLIC_KEY_SUFFIX[] = ".pub";
const size_t PUBLIC_KEY_SUFFIX_LENGTH = sizeof PUBLIC_KEY_SUFFIX - 1;
const char EXPORT_PATTERN[] = "*.pub";

// Cuts a ".pub" ending (in any letter case) off `path`; 1 when it had one.
int cutPublicKeySuffix(char *path)
{
    size_t length = strlen(path);
    if (length < PUBLIC_KEY_SUFFIX_LENGTH ||
        !equalsIgnoringAsciiCase(path + length - PUBLIC_KEY_SUFFIX_LENGTH, PUBLIC_KEY_SUFFIX))
        return 0;
    path[length - PUBLIC_KEY_SUFFIX_LENGTH] = '\0';
    return 1;
}

int fileExists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// The file dialogs' common fields; an empty key folder lets the system choose.
void prepareFileDialog(OPENFILENAMEA &dialog, HWND owner, char *path, DWORD capacity, const char *folder,
                       const char *title, DWORD flags)
{
    ZeroMemory(&dialog, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFile = path;
    dialog.nMaxFile = capacity;
    dialog.lpstrInitialDir = folder[0] != '\0' ? folder : NULL;
    dialog.lpstrTitle = title;
    dialog.Flags = flags;
}

} // namespace

int KeyManagerDialog::getSelectedKeyName(char (&name)[FIELD_TEXT_SIZE])
{
    ZeroMemory(name, sizeof name);
    int row = static_cast<int>(SendMessageA(keyList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    if (row < 0)
        return 0;
    LVITEMA item;
    ZeroMemory(&item, sizeof item);
    item.iSubItem = 0;
    item.pszText = name;
    item.cchTextMax = sizeof name;
    SendMessageA(keyList, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
    // Some list controls fill the whole buffer with a longer name and no
    // terminator.
    name[sizeof name - 1] = '\0';
    return name[0] != '\0';
}

int KeyManagerDialog::onAddKey()
{
    if (agent == NULL)
        return 0;
    char path[512];
    char folder[MAX_PATH];
    char title[FIELD_TEXT_SIZE];
    ZeroMemory(path, sizeof path);
    ZeroMemory(folder, sizeof folder);
    getUserKeyFolder(folder);
    loadString(IDS_ADD_KEY_TITLE, title, sizeof title);

    OPENFILENAMEA dialog;
    prepareFileDialog(dialog, window, path, sizeof path, folder, title, OFN_FILEMUSTEXIST | OFN_HIDEREADONLY);
    if (!GetOpenFileNameA(&dialog))
        return 0;

    // A public key file stands for the private key file beside it.
    if (cutPublicKeySuffix(path) && !fileExists(path)) {
        showError(IDS_ADD_KEY_FILE_FAILED);
        return 0;
    }
    switch (agent->addKey(path)) {
    case AGENT_E_ADD:
        showError(IDS_ADD_KEY_FAILED);
        return 0;
    case AGENT_E_ADD_KEYFILE:
        showError(IDS_ADD_KEY_FILE_FAILED);
        return 0;
    default:
        return 1;
    }
}

int KeyManagerDialog::onExportKey()
{
    char name[FIELD_TEXT_SIZE];
    if (agent == NULL || !getSelectedKeyName(name))
        return 0;
    ExportKeyDialog format(resourceModule, window);
    if (format.runModal() != IDOK)
        return 1;

    char path[MAX_PATH];
    char folder[MAX_PATH];
    char filter[FIELD_TEXT_SIZE];
    char title[FIELD_TEXT_SIZE];
    ZeroMemory(path, sizeof path);
    ZeroMemory(folder, sizeof folder);
    ZeroMemory(filter, sizeof filter);
    ZeroMemory(title, sizeof title);
    getUserKeyFolder(folder);
    loadString(IDS_EXPORT_TITLE, title, sizeof title);
    // Description, NUL, pattern, NUL, NUL (the zero fill gives the last):
    // the description keeps room for the rest.
    loadString(IDS_EXPORT_FILTER, filter, static_cast<int>(sizeof filter - sizeof EXPORT_PATTERN - 1));
    copyText(filter + strlen(filter) + 1, sizeof EXPORT_PATTERN, EXPORT_PATTERN);

    OPENFILENAMEA dialog;
    prepareFileDialog(dialog, window, path, sizeof path, folder, title,
                      OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_NOREADONLYRETURN);
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 1;
    dialog.lpstrDefExt = "pub";
    if (!GetSaveFileNameA(&dialog))
        return 0;

    if (agent->exportPublicKey(name, format.formatFlag, path) == AGENT_E_EXPORT) {
        showError(IDS_EXPORT_FAILED);
        return 0;
    }
    return 1;
}

int KeyManagerDialog::onRemoveKey()
{
    char name[FIELD_TEXT_SIZE];
    if (agent == NULL || !getSelectedKeyName(name))
        return 0;
    if (agent->removeKey(name) == AGENT_E_REMOVE) {
        showError(IDS_REMOVE_KEY_FAILED);
        return 0;
    }
    return 1;
}

int KeyManagerDialog::onKeyText()
{
    char name[FIELD_TEXT_SIZE];
    if (agent == NULL || !getSelectedKeyName(name))
        return 0;
    KeyTextDialog texts(resourceModule, window);
    if (texts.runModal() == IDOK)
        agent->applyKeyText(texts.optionalText, texts.requiredText, name);
    return 1;
}
