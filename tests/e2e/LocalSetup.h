// What the program reads outside its own folder, set up by a test: the
// product's registry values and files in folders of the test's choosing.
//
// The registry is the Wine prefix's own, shared with the program under
// test; every value a test touches is put back as it was when it ends.
#ifndef GAGENT_TEST_LOCALSETUP_H
#define GAGENT_TEST_LOCALSETUP_H

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace e2e {

extern const char PRODUCT_KEY[];

bool setStringValue(HKEY root, const std::string &path, const std::string &name, const std::string &data);
void deleteKeyTree(HKEY root, const std::string &path);

// One registry value as the test found it, removed for the test and put
// back when the test ends, however it ends.
class SavedValue {
public:
    SavedValue(HKEY hive, const std::string &keyPath, const std::string &named);
    ~SavedValue();

    SavedValue(const SavedValue &) = delete;
    SavedValue &operator=(const SavedValue &) = delete;

private:
    const char *valueName() const { return name.empty() ? NULL : name.c_str(); }

    HKEY root;
    std::string path, name;
    bool keyExisted, valueExisted;
    DWORD type;
    std::vector<BYTE> data;
};

// Both folder values in both hives, cleared for the test.
class SavedFolderValues {
public:
    SavedFolderValues();

private:
    std::vector<std::unique_ptr<SavedValue>> saved;
};

void createFolders(const std::string &path);
// Creates the file's folders too; a failure fails the test.
void writeFile(const std::string &path, const std::string &contents);

} // namespace e2e

#endif
