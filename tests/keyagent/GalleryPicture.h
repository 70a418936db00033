// What the agent's tests picture for make gallery, in the language of
// GAGENT_TEST_UI_FOLDER, into the folder GAGENT_GALLERY names.
#ifndef KEYAGENT_GALLERYPICTURE_H
#define KEYAGENT_GALLERYPICTURE_H

#include "Driver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace agenttest {

// For make gallery: the agent's and the library's dialogs as a user sees
// them, in the language of GAGENT_TEST_UI_FOLDER.
inline std::string galleryLanguage() {
    const char* folder = std::getenv("GAGENT_TEST_UI_FOLDER");
    return folder ? folder : "1033";
}

inline void saveForGallery(HWND window, const char* name) {
    e2e::settle(500);
    char folder[MAX_PATH] = "";
    GetEnvironmentVariableA("GAGENT_GALLERY", folder, sizeof folder);
    EXPECT_TRUE(e2e::saveWindowImage(window, std::string(folder[0] ? folder : ".") + "\\" + name));
}

}  // namespace agenttest

#endif
