// Keys generated through the manager by the real agent: in the list, in
// the key folder for ssh-keygen's checks, and good for a login; and a
// generation cut off in the middle.
#include "AppFixture.h"
#include "ProductApp.h"
#include "resource.h"

using namespace e2e;

namespace {

class Generation : public ProductApp {
protected:
    // Fills in the Generate dialog and presses OK; the dialog.
    HWND startGeneration(const std::string &name, const char *type, int bits)
    {
        command(IDC_GENERATE_KEY);
        HWND dialog = app->waitForDialogOwnedBy(window);
        if (dialog == NULL)
            return NULL;
        SetDlgItemTextA(dialog, IDC_KEY_FILE, name.c_str());
        LRESULT entry = SendDlgItemMessageA(dialog, IDC_KEY_TYPE, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                            reinterpret_cast<LPARAM>(type));
        SendDlgItemMessageA(dialog, IDC_KEY_TYPE, CB_SETCURSEL, entry, 0);
        SetDlgItemTextA(dialog, IDC_KEY_SIZE, std::to_string(bits).c_str());
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        return dialog;
    }

    // A generation to its end: the new row, its files in the key folder,
    // handed to the script's checks; the row's fingerprint.
    std::string generate(const std::string &name, const char *type, int bits, UINT typeString, int shownBits)
    {
        size_t before = rows().size();
        HWND dialog = startGeneration(name, type, bits);
        EXPECT_NE(dialog, (HWND)NULL) << "no Generate dialog";
        if (!waitUntil(120000, [&] { return !IsWindow(dialog) || app->waitForDialogOwnedBy(dialog, 0) != NULL; }))
            return "";
        if (IsWindow(dialog)) {
            ADD_FAILURE() << name << ": " << closeBoxOwnedBy(dialog);
            return "";
        }
        EXPECT_TRUE(waitForRowCount(before + 1)) << name << " not in the list";
        std::vector<KeyRow> shown = rows();
        if (shown.size() != before + 1)
            return "";
        const KeyRow &row = shown.back();
        EXPECT_EQ(row.type, englishString(typeString));
        std::string fingerprint = fingerprintIn(row.detail);
        EXPECT_EQ(row.detail, fingerprint + ", " + std::to_string(shownBits) + " bits");
        std::string path = keyFolder + name;
        EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << path;
        EXPECT_NE(GetFileAttributesA((path + ".pub").c_str()), INVALID_FILE_ATTRIBUTES) << path << ".pub";
        checkLater("generated", path, fingerprint);
        return fingerprint;
    }

    std::vector<std::string> keyFolderFiles()
    {
        std::vector<std::string> names;
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((keyFolder + "*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return names;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                names.push_back(found.cFileName);
        } while (FindNextFileA(search, &found));
        FindClose(search);
        return names;
    }
};

TEST_F(Generation, AnEd25519KeyGoesToTheKeyFolderAndLogsIn)
{
    start();
    ASSERT_NE(generate("id_product_ed25519", "Ed25519", 1024, IDS_KEY_TYPE_ED25519, 256), "");
    PeerAnswer login = peer("login", belowWork(keyFolder + "id_product_ed25519.pub"));
    EXPECT_EQ(login.status, 0) << login.output;
}

TEST_F(Generation, RsaAndEcdsaKeysPassSshKeygen)
{
    start();
    EXPECT_NE(generate("id_product_rsa", "RSA", 2048, IDS_KEY_TYPE_RSA, 2048), "");
    // The dialog's sizes are RSA's: each curve by the strength of the size named.
    EXPECT_NE(generate("id_product_p256", "ECDSA", 2048, IDS_KEY_TYPE_ECDSA, 256), "");
    EXPECT_NE(generate("id_product_p384", "ECDSA", 7680, IDS_KEY_TYPE_ECDSA, 384), "");
    EXPECT_NE(generate("id_product_p521", "ECDSA", 15360, IDS_KEY_TYPE_ECDSA, 521), "");
    EXPECT_EQ(rows().size(), 4u);
}

TEST_F(Generation, ACancelInTheMiddleLeavesNoFileNoKeyAndTheNextOneWorks)
{
    start();
    ASSERT_EQ(peer("add", "keys/ed25519-openssh").status, 0);
    ASSERT_TRUE(waitForRowCount(1));
    std::vector<std::string> filesBefore = keyFolderFiles();
    HWND dialog = startGeneration("id_cancelled", "RSA", 16384);
    ASSERT_NE(dialog, (HWND)NULL);
    ASSERT_TRUE(waitUntil(5000, [&] { return !IsWindowEnabled(GetDlgItem(dialog, IDOK)); })) << "not started";
    // Long enough for the request to reach the agent, far short of the key.
    settle(1500);
    ASSERT_TRUE(IsWindow(dialog)) << "an RSA-16384 key came too soon to cancel";
    ASSERT_TRUE(closeWith(dialog, IDCANCEL));

    // The next command, and what it sees.
    EXPECT_NE(generate("id_after_cancel", "Ed25519", 1024, IDS_KEY_TYPE_ED25519, 256), "");
    ASSERT_TRUE(waitUntil(10000, [&] { return keyFolderFiles().size() == filesBefore.size() + 2; }))
        << "files left by the cancelled generation";
    EXPECT_EQ(GetFileAttributesA((keyFolder + "id_cancelled").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA((keyFolder + "id_cancelled.pub").c_str()), INVALID_FILE_ATTRIBUTES);
    settle(1000);
    EXPECT_EQ(rows().size(), 2u) << "a key of the cancelled generation";
    EXPECT_EQ(peer("list").output.find("id_cancelled"), std::string::npos);
}

} // namespace
