/* The version texts of the two version fixture modules. */
#ifndef GAGENT_TEST_VERSIONFIXTURE_H
#define GAGENT_TEST_VERSIONFIXTURE_H

/* The first translation's texts: the longest that fits 32 bytes, and one
   character more. */
#define FIXTURE_VERSION_31 "2.7.0.31 (thirty-one characters"
#define FIXTURE_VERSION_32 "2.7.0.32 (thirty-two characters)"
/* What a reader that took another translation than the first would see. */
#define FIXTURE_VERSION_OTHER "9.9 other"

#endif
