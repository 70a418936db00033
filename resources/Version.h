/* One place for the product's version, read by every version block. */
#ifndef GAGENT_VERSION_H
#define GAGENT_VERSION_H
#define GAGENT_VERSION_BINARY 1,0,0,1
#define GAGENT_VERSION_TEXT "1.0.0.1"
#define GAGENT_COMPANY "VAQ Software"
#define GAGENT_PRODUCT "Glimmerpad"
#define GAGENT_COPYRIGHT "Copyright (C) 2026 VAQ Software"
#endif
