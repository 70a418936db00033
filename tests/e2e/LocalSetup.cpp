#include "LocalSetup.h"

#include <gtest/gtest.h>

#include <fstream>

namespace e2e {

const char PRODUCT_KEY[] = "SOFTWARE\\VAQGlimmerpad";

static bool keyExists(HKEY root, const std::string &path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool setStringValue(HKEY root, const std::string &path, const std::string &name, const std::string &data)
{
    HKEY key;
    if (RegCreateKeyExA(root, path.c_str(), 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExA(key, name.empty() ? NULL : name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(data.c_str()), static_cast<DWORD>(data.size() + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

void deleteKeyTree(HKEY root, const std::string &path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        std::vector<std::string> children;
        char name[256];
        for (DWORD i = 0;; ++i) {
            DWORD length = sizeof name;
            if (RegEnumKeyExA(key, i, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
                break;
            children.push_back(name);
        }
        RegCloseKey(key);
        for (const std::string &child : children)
            deleteKeyTree(root, path + "\\" + child);
    }
    RegDeleteKeyA(root, path.c_str());
}

SavedValue::SavedValue(HKEY hive, const std::string &keyPath, const std::string &named)
    : root(hive), path(keyPath), name(named), keyExisted(keyExists(hive, keyPath)), valueExisted(false), type(0)
{
    HKEY key;
    if (!keyExisted || RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
        return;
    DWORD size = 0;
    if (RegQueryValueExA(key, valueName(), NULL, &type, NULL, &size) == ERROR_SUCCESS) {
        data.resize(size + 1);
        valueExisted = RegQueryValueExA(key, valueName(), NULL, &type, data.data(), &size) == ERROR_SUCCESS;
        data.resize(size);
        RegDeleteValueA(key, valueName());
    }
    RegCloseKey(key);
}

SavedValue::~SavedValue()
{
    HKEY key;
    if (valueExisted) {
        if (RegCreateKeyExA(root, path.c_str(), 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) == ERROR_SUCCESS) {
            RegSetValueExA(key, valueName(), 0, type, data.data(), static_cast<DWORD>(data.size()));
            RegCloseKey(key);
        }
        return;
    }
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, valueName());
    DWORD subkeys = 1, values = 1;
    RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    // A key the test created goes again once nothing else is in it.
    if (!keyExisted && subkeys == 0 && values == 0)
        RegDeleteKeyA(root, path.c_str());
}

SavedFolderValues::SavedFolderValues()
{
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        for (const char *name : {"UserDir", "LogDir"})
            saved.emplace_back(new SavedValue(root, PRODUCT_KEY, name));
    }
}

void createFolders(const std::string &path)
{
    for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
        CreateDirectoryA(path.substr(0, at).c_str(), NULL);
    CreateDirectoryA(path.c_str(), NULL);
}

void writeFile(const std::string &path, const std::string &contents)
{
    createFolders(path.substr(0, path.rfind('\\')));
    std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
    file << contents;
    ASSERT_TRUE(file.good()) << path;
}

} // namespace e2e
