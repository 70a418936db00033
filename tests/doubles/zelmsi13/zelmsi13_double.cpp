// Recording stand-in for the installer-support library. Its answers come
// from the environment the test gives the product:
//   GAGENT_TEST_LANGUAGE       answer of the language query (default 1)
//   GAGENT_TEST_EXPAND_STATUS  status of the folder expansion (default 0)
#include <windows.h>

#include "CallLog.h"

extern "C" {

#ifndef WITHOUT_LOCALE_EXPORT
int WINAPI ZELMSIgetFileLocale(const char *productCode, int a, int b, int c, int d, int e)
{
    logCall("getFileLocale %s %d %d %d %d %d", productCode ? productCode : "(null)", a, b, c, d, e);
    return static_cast<int>(scriptedNumber("GAGENT_TEST_LANGUAGE", 1));
}
#endif

int WINAPI ZELMSIexpandFolder(const char *folderReference, char *destination, int capacity)
{
    logCall("expandFolder %s %d", folderReference ? folderReference : "(null)", capacity);
    DWORD needed = ExpandEnvironmentStringsA(folderReference, destination,
                                             static_cast<DWORD>(capacity));
    // A scripted failure still leaves a usable-looking path behind, so that
    // a caller that ignores the status shows.
    int status = static_cast<int>(scriptedNumber("GAGENT_TEST_EXPAND_STATUS", 0));
    if (status != 0)
        return status;
    return needed == 0 || needed > static_cast<DWORD>(capacity) ? 2 : 0;
}

int WINAPI ZELMSIrepairProduct(const char *productCode, int reserved)
{
    logCall("repairProduct %s %d", productCode ? productCode : "(null)", reserved);
    return 1;
}

} // extern "C"
