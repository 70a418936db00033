// The executable's only static import from the installer-support library,
// by ordinal (see zelmsi13's module-definition file).
#include "InstallerSupport.h"

extern "C" __declspec(dllimport) int WINAPI ZELMSIrepairProduct(const char *productCode, int reserved);

void offerInstallationRepair()
{
    ZELMSIrepairProduct(PRODUCT_CODE, 0);
}
