/* The version texts of the two version fixture modules. */
#ifndef GAGENT_TEST_VERSIONFIXTURE_H
#define GAGENT_TEST_VERSIONFIXTURE_H

/* The first translation's texts: the longest that fits 32 bytes, and one
   character more. */
#define FIXTURE_VERSION_31 "2.7.0.31 (thirty-one characters"
#define FIXTURE_VERSION_32 "2.7.0.32 (thirty-two characters)"
/* What a reader that took another translation than the first would see. */
#define FIXTURE_VERSION_OTHER "9.9 other"

/* 110 characters and "%s": with a 31-character version the line
   would be 141 characters long. */
#define FIXTURE_LONG_FORMAT \
    "A0000.....A0010.....A0020.....A0030.....A0040.....A0050.....A0060.....A0070.....A0080.....A0090.....A0100.....%s"

#endif
