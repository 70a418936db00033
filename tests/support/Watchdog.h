// A test that hangs must fail on its own, not stall the whole suite until
// the outer time limit kills it without a name. Every process a test starts
// is watched; when a test runs too long, they are ended (which releases a
// test blocked in SendMessage or a pipe call to them), and if even that does
// not bring the test back, the test program ends with the test's name.
#ifndef GAGENT_TEST_WATCHDOG_H
#define GAGENT_TEST_WATCHDOG_H

#include <windows.h>

namespace e2e {

void watchProcess(HANDLE process);
void unwatchProcess(HANDLE process);

} // namespace e2e

#endif
