// The error box of a dialog: texts from the dialog's resource module cut to
// the framework's buffers, owned by the dialog, OK only, with the error icon.
#include <gtest/gtest.h>

#include "DialogBase.h"
#include "FixtureResources.h"
#include "InProcessSupport.h"
#include "MessageBoxWatcher.h"
#include "resource.h"

using namespace inprocess;

namespace {

class ShowError : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(fixtureModule(), (HMODULE)NULL) << "GAGENT_TEST_FIXTURES"; }

    // Opens a (modeless) dialog over `module`, shows error `stringId` from
    // it and answers the one box that appeared.
    SeenMessageBox showErrorOf(HMODULE module, int stringId)
    {
        PlainDialog dialog(module, NULL);
        WindowGuard window(CreateDialogParamA(fixtureModule(), MAKEINTRESOURCEA(IDD_FIXTURE_DIALOG), NULL,
                                              sharedDialogProc, reinterpret_cast<LPARAM>(&dialog)));
        EXPECT_NE(window.handle, (HWND)NULL);
        dialogWindow = window.handle;

        MessageBoxWatcher watcher;
        answer = dialog.showError(stringId);
        std::vector<SeenMessageBox> boxes = watcher.stop();

        EXPECT_EQ(boxes.size(), 1u);
        return boxes.empty() ? SeenMessageBox() : boxes.front();
    }

    HWND dialogWindow = NULL;
    int answer = 0;
};

TEST_F(ShowError, TextIsCutTo1023CharactersAndCaptionTo63)
{
    SeenMessageBox box = showErrorOf(fixtureModule(), IDS_FIXTURE_LONG);

    EXPECT_EQ(box.text, patternText('L', 1023));
    EXPECT_EQ(box.caption, patternText('T', 63));
    EXPECT_EQ(answer, IDOK);
}

TEST_F(ShowError, BoxIsAnOkOnlyErrorBoxOwnedByTheDialog)
{
    SeenMessageBox box = showErrorOf(fixtureModule(), IDS_FIXTURE_SHORT);

    EXPECT_EQ(box.text, FIXTURE_SHORT_TEXT);
    EXPECT_EQ(box.owner, dialogWindow);
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    // The box shows the shared system icon, so the handle it holds is the
    // one LoadIcon gives for the error icon and none of the other three.
    ASSERT_NE(box.icon, (HICON)NULL) << "no icon shown";
    EXPECT_EQ(box.icon, LoadIconA(NULL, IDI_HAND));
    EXPECT_NE(box.icon, LoadIconA(NULL, IDI_EXCLAMATION));
    EXPECT_NE(box.icon, LoadIconA(NULL, IDI_ASTERISK));
    EXPECT_NE(box.icon, LoadIconA(NULL, IDI_QUESTION));
}

TEST_F(ShowError, MissingStringGivesAnEmptyTextUnderTheCaption)
{
    SeenMessageBox box = showErrorOf(fixtureModule(), IDS_FIXTURE_ABSENT);

    EXPECT_EQ(box.text, "");
    EXPECT_EQ(box.caption, patternText('T', 63));
}

TEST_F(ShowError, EnglishModuleCaptionsTheBoxWithTheProductName)
{
    HMODULE english = LoadLibraryA(
        (folderFromEnvironment("GAGENT_TEST_STAGE") + "\\1033\\gagent.dll").c_str());
    ASSERT_NE(english, (HMODULE)NULL) << "GAGENT_TEST_STAGE";

    SeenMessageBox box = showErrorOf(english, IDS_COLUMN_NAME);
    FreeLibrary(english);

    EXPECT_EQ(box.caption, "Glimmerpad Key Manager");
    EXPECT_EQ(box.text, "Name");
}

} // namespace
