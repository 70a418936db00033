// Common ground of the end-to-end tests: a sandboxed copy of the product
// with the recording installer double, started and found on screen.
#ifndef GAGENT_TEST_APPFIXTURE_H
#define GAGENT_TEST_APPFIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Driver.h"

// String 101 of the English resource module.
extern const char *const ENGLISH_TITLE;

// A sandbox named after the running test.
std::string currentTestName();

class StartedApp : public ::testing::Test {
protected:
    void SetUp() override;

    std::unique_ptr<e2e::Sandbox> sandbox;
    std::unique_ptr<e2e::App> app;
    HWND window = NULL;
};

#endif
