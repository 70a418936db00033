#include "AppFixture.h"

const char *const ENGLISH_TITLE = "Glimmerpad Key Manager";

std::string currentTestName()
{
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    for (char &c : name) {
        if (c == '/' || c == '\\' || c == ':')
            c = '_';
    }
    return name;
}

void StartedApp::SetUp()
{
    sandbox.reset(new e2e::Sandbox(currentTestName()));
    sandbox->addProduct();
    sandbox->addLanguage("1033");
    sandbox->addInstallerDouble();
    app.reset(new e2e::App(*sandbox));
    ASSERT_TRUE(app->start());
    window = app->waitForMainWindow(ENGLISH_TITLE);
    ASSERT_NE(window, (HWND)NULL) << "the key manager window did not appear";
}
