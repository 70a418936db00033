// Ids of the installer-support library's own texts, shared by its code and
// the script of each language under lang/.
#ifndef ZELMSI13_ZELMSIRESOURCES_H
#define ZELMSI13_ZELMSIRESOURCES_H

#define IDS_REPAIR_TITLE 100
#define IDS_REPAIRED 101
#define IDS_REPAIRED_RESTART 102
#define IDS_REPAIR_FAILED 103        // %u: the installer's error number; the reason follows
#define IDS_NOT_FROM_PACKAGE 104

#endif
