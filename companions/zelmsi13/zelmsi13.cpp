// Installer-support library: what the installed product knows about itself.
// The installer records the chosen UI language under the product's registry
// key; folders are stored with environment references and expanded here.
#include <windows.h>
#include <msi.h>

#include "InstallerSupport.h"
#include "LanguageResources.h"
#include "ZelmsiResources.h"

namespace {

const char PRODUCT_KEY[] = "SOFTWARE\\VAQGlimmerpad";

enum ExpandResult {
    EXPAND_OK = 0,
    EXPAND_BAD_ARGUMENT = 1,
    EXPAND_NO_ROOM = 2,
    EXPAND_FAILED = 3
};

bool isOurProduct(const char *productCode)
{
    return productCode != NULL && lstrcmpiA(productCode, PRODUCT_CODE) == 0;
}

// The language the installer recorded, as a Windows language id; 0 if none.
LANGID recordedLanguage()
{
    static const HKEY roots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
    for (HKEY root : roots) {
        HKEY key;
        if (RegOpenKeyExA(root, PRODUCT_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            continue;
        char value[16];
        DWORD type = 0;
        DWORD size = sizeof value;
        LONG status = RegQueryValueExA(key, "Language", NULL, &type,
                                       reinterpret_cast<BYTE *>(value), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS)
            continue;
        if (type == REG_DWORD && size == sizeof(DWORD))
            return static_cast<LANGID>(*reinterpret_cast<DWORD *>(value));
        if (type == REG_SZ && size > 0) {
            value[size < sizeof value ? size : sizeof value - 1] = '\0';
            LANGID language = 0;
            for (const char *p = value; *p >= '0' && *p <= '9'; ++p)
                language = static_cast<LANGID>(language * 10 + (*p - '0'));
            if (language != 0)
                return language;
        }
    }
    return 0;
}

int languageCode(LANGID language)
{
    switch (PRIMARYLANGID(language)) {
    case LANG_FRENCH:
        return 2;
    case LANG_GERMAN:
        return 4;
    case LANG_JAPANESE:
        return 8;
    default:
        return 1;
    }
}


typedef INSTALLUILEVEL(WINAPI *SetInternalUiFunction)(INSTALLUILEVEL, HWND *);
typedef UINT(WINAPI *ReinstallProductFunction)(LPCSTR, DWORD);

// Windows Installer is loaded for a repair only, so that the manager's
// start-up, which loads this library, does not pay for it.
UINT reinstallProduct()
{
    HMODULE installer = LoadLibraryA("msi.dll");
    if (installer == NULL)
        return GetLastError();
    SetInternalUiFunction setInternalUi = reinterpret_cast<SetInternalUiFunction>(
        reinterpret_cast<void *>(GetProcAddress(installer, "MsiSetInternalUI")));
    ReinstallProductFunction reinstall = reinterpret_cast<ReinstallProductFunction>(
        reinterpret_cast<void *>(GetProcAddress(installer, "MsiReinstallProductA")));
    UINT status = ERROR_PROC_NOT_FOUND;
    if (setInternalUi != NULL && reinstall != NULL) {
        // The installer's own progress bar, and its elevation prompt where
        // the installation is the machine's.
        INSTALLUILEVEL previous = setInternalUi(INSTALLUILEVEL_BASIC, NULL);
        status = reinstall(PRODUCT_CODE, REINSTALLMODE_FILEOLDERVERSION | REINSTALLMODE_MACHINEDATA |
                                             REINSTALLMODE_USERDATA | REINSTALLMODE_SHORTCUT);
        setInternalUi(previous, NULL);
    }
    FreeLibrary(installer);
    return status;
}

// The language the product shows: the installation's, else the user's.
LANGID productLanguage()
{
    LANGID language = recordedLanguage();
    return language != 0 ? language : GetUserDefaultUILanguage();
}

// This library's own texts, in the product's language.
LanguageResources ownTexts()
{
    HMODULE self = NULL;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&productLanguage), &self);
    LanguageResources texts = {self, languageId(languageCode(productLanguage()))};
    return texts;
}

void showRepairOutcome(UINT status)
{
    LanguageResources texts = ownTexts();
    char text[1024], format[256], title[128];
    UINT icon = MB_ICONINFORMATION;
    if (status == ERROR_SUCCESS || status == ERROR_SUCCESS_REBOOT_REQUIRED) {
        loadLanguageString(texts, status == ERROR_SUCCESS ? IDS_REPAIRED : IDS_REPAIRED_RESTART, text, sizeof text);
    } else {
        icon = MB_ICONERROR;
        loadLanguageString(texts, IDS_REPAIR_FAILED, format, sizeof format);
        int length = wsprintfA(text, format, status);
        if (status == ERROR_UNKNOWN_PRODUCT)
            loadLanguageString(texts, IDS_NOT_FROM_PACKAGE, text + length, sizeof text - length);
        else if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, status,
                                texts.language, text + length, sizeof text - length, NULL) == 0 &&
                 FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, status, 0,
                                text + length, sizeof text - length, NULL) == 0)
            text[length] = '\0';
    }
    loadLanguageString(texts, IDS_REPAIR_TITLE, title, sizeof title);
    MessageBoxA(NULL, text, title, MB_OK | icon | MB_SETFOREGROUND);
}

} // namespace

extern "C" {

int WINAPI ZELMSIgetFileLocale(const char *productCode, int, int, int, int, int)
{
    if (!isOurProduct(productCode))
        return 0;
    return languageCode(productLanguage());
}

int WINAPI ZELMSIexpandFolder(const char *folderReference, char *destination, int capacity)
{
    if (folderReference == NULL || destination == NULL || capacity <= 0)
        return EXPAND_BAD_ARGUMENT;
    destination[0] = '\0';
    DWORD needed = ExpandEnvironmentStringsA(folderReference, destination,
                                             static_cast<DWORD>(capacity));
    if (needed == 0) {
        destination[0] = '\0';
        return EXPAND_FAILED;
    }
    if (needed > static_cast<DWORD>(capacity)) {
        // Never hand back a cut path: it would name some other folder.
        destination[0] = '\0';
        return EXPAND_NO_ROOM;
    }
    return EXPAND_OK;
}

// Offered when the agent library cannot be used: the installer puts back
// missing or older files, the registry values and the shortcut, and the
// user is told how that went. Nonzero when the installation is whole again.
int WINAPI ZELMSIrepairProduct(const char *productCode, int)
{
    if (!isOurProduct(productCode))
        return 0;
    UINT status = reinstallProduct();
    showRepairOutcome(status);
    return status == ERROR_SUCCESS || status == ERROR_SUCCESS_REBOOT_REQUIRED;
}

} // extern "C"
