// The three operations of the installer-support library "zelmsi13.dll".
// All are stdcall; the export names carry their argument byte counts.
#ifndef GAGENT_INSTALLERSUPPORT_H
#define GAGENT_INSTALLERSUPPORT_H

#include <windows.h>

#define INSTALLER_SUPPORT_LIBRARY "zelmsi13.dll"
#define PRODUCT_CODE "{EAE54A96-DACA-4727-B0E9-6ACF6B522301}"

// Language of the installed product: 2 French, 4 German, 8 Japanese,
// anything else English; 0 also means "not known yet".
#define GET_FILE_LOCALE_EXPORT "_ZELMSIgetFileLocale@24"
typedef int(WINAPI *GetFileLocaleFunction)(const char *productCode, int reserved1, int reserved2,
                                           int reserved3, int reserved4, int reserved5);

// Expands a folder reference into `destination`; 0 means success.
#define EXPAND_FOLDER_EXPORT "_ZELMSIexpandFolder@12"
typedef int(WINAPI *ExpandFolderFunction)(const char *folderReference, char *destination,
                                          int capacity);

// Offered to a user whose agent library cannot be used: asks the installer
// library to repair the installation. The executable imports it statically
// by ordinal 12, so it lives outside the code that tests link.
void offerInstallationRepair();

#endif
