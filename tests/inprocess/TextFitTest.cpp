// No text of a language module is cut off: every template of every module
// is created as the program creates it, and each label, button, check box
// and radio button has its text measured in the font its window really got,
// as Wine lays it out; each menu item must fit on the screen and the menu
// bar on one line of the key manager window. The Japanese module is only
// laid out as a Japanese system would (code page 932, its fonts), so its
// cases run in a Japanese locale and are skipped elsewhere. The key agent and
// its library, which hold every language in one file, are measured alike.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "AgentResources.h"
#include "LanguageResources.h"
#include "LibraryResources.h"
#include "resource.h"

namespace {

struct Language {
    const char *folder;
    UINT codePage; // 0: any
};

std::string stageFolder()
{
    char folder[MAX_PATH] = "";
    GetEnvironmentVariableA("GAGENT_TEST_STAGE", folder, sizeof folder);
    return folder;
}

std::wstring windowText(HWND window)
{
    wchar_t text[1024] = L"";
    GetWindowTextW(window, text, 1024);
    return text;
}

std::string narrow(const std::wstring &text)
{
    char buffer[2048] = "";
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof buffer, NULL, NULL);
    return buffer;
}

INT_PTR CALLBACK quietDialogProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

BOOL CALLBACK collectTemplate(HMODULE, LPCSTR, LPSTR name, LONG_PTR found)
{
    if (IS_INTRESOURCE(name))
        reinterpret_cast<std::vector<int> *>(found)->push_back(static_cast<int>(reinterpret_cast<UINT_PTR>(name)));
    return TRUE;
}

// The size `text` takes in `font`: wrapped to `width` when `wrap`.
SIZE measure(HWND window, const std::wstring &text, int width, bool wrap)
{
    HDC dc = GetDC(window);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)));
    RECT rect = {0, 0, width, 0};
    UINT flags = DT_CALCRECT | DT_EXPANDTABS | (wrap ? DT_WORDBREAK : DT_SINGLELINE);
    DrawTextW(dc, text.c_str(), -1, &rect, flags);
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    SIZE size = {rect.right - rect.left, rect.bottom - rect.top};
    return size;
}

// Room a control's own drawing leaves for its text, beside the text itself.
bool roomFor(HWND control, int &padding, bool &wrap)
{
    char className[32] = "";
    GetClassNameA(control, className, sizeof className);
    LONG style = GetWindowLongA(control, GWL_STYLE);
    if (lstrcmpiA(className, "Static") == 0) {
        LONG kind = style & SS_TYPEMASK;
        padding = 0;
        wrap = true;
        return kind == SS_LEFT || kind == SS_CENTER || kind == SS_RIGHT;
    }
    if (lstrcmpiA(className, "Button") != 0)
        return false;
    LONG kind = style & BS_TYPEMASK;
    wrap = (style & BS_MULTILINE) != 0;
    if (kind == BS_PUSHBUTTON || kind == BS_DEFPUSHBUTTON) {
        // Frame and focus rectangle on both sides.
        padding = 2 * (GetSystemMetrics(SM_CXEDGE) + 3);
        return true;
    }
    if (kind == BS_CHECKBOX || kind == BS_AUTOCHECKBOX || kind == BS_RADIOBUTTON || kind == BS_AUTORADIOBUTTON ||
        kind == BS_3STATE || kind == BS_AUTO3STATE) {
        // The glyph, the gap after it and the focus rectangle.
        padding = GetSystemMetrics(SM_CXMENUCHECK) + 6;
        return true;
    }
    return false;
}

// "" when the text fits its control, else what does not fit.
std::string cutText(HWND control)
{
    int padding = 0;
    bool wrap = false;
    std::wstring text = windowText(control);
    // A format's text is shown with its value put in: the widest version.
    size_t placeholder = text.find(L"%s");
    if (placeholder != std::wstring::npos)
        text.replace(placeholder, 2, L"65535.65535.65535.65535");
    if (!roomFor(control, padding, wrap) || text.empty())
        return std::string();
    RECT client;
    GetClientRect(control, &client);
    int width = client.right - padding;
    SIZE needed = measure(control, text, width, wrap);
    if (needed.cx <= width && needed.cy <= client.bottom)
        return std::string();
    return "control " + std::to_string(GetDlgCtrlID(control)) + " \"" + narrow(text) + "\" needs " +
           std::to_string(needed.cx + padding) + "x" + std::to_string(needed.cy) + " px, has " +
           std::to_string(client.right) + "x" + std::to_string(client.bottom);
}

BOOL CALLBACK collectCut(HWND control, LPARAM found)
{
    std::string cut = cutText(control);
    if (!cut.empty())
        reinterpret_cast<std::vector<std::string> *>(found)->push_back(cut);
    return TRUE;
}

int menuTextWidth(HDC dc, const std::wstring &text)
{
    RECT rect = {0, 0, 0, 0};
    DrawTextW(dc, text.c_str(), -1, &rect, DT_CALCRECT | DT_SINGLELINE | DT_EXPANDTABS);
    return rect.right;
}

std::wstring menuItemText(HMENU menu, int position)
{
    wchar_t text[256] = L"";
    GetMenuStringW(menu, position, text, 256, MF_BYPOSITION);
    return text;
}

class TextFit : public ::testing::TestWithParam<Language> {
protected:
    void SetUp() override
    {
        if (GetParam().codePage != 0 && GetACP() != GetParam().codePage)
            GTEST_SKIP() << "laid out only in code page " << GetParam().codePage << "; this system uses " << GetACP();
        INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_WIN95_CLASSES};
        InitCommonControlsEx(&classes);
        std::string path = stageFolder() + "\\" + GetParam().folder + "\\gagent.dll";
        module = LoadLibraryA(path.c_str());
        ASSERT_NE(module, (HMODULE)NULL) << path;
    }

    void TearDown() override
    {
        if (module != NULL)
            FreeLibrary(module);
    }

    HMODULE module = NULL;
};

TEST_P(TextFit, EveryTemplateTextFitsItsControl)
{
    std::vector<int> templates;
    EnumResourceNamesA(module, MAKEINTRESOURCEA(5), collectTemplate, reinterpret_cast<LONG_PTR>(&templates));
    ASSERT_GE(templates.size(), 7u);
    for (int id : templates) {
        HWND dialog = CreateDialogParamA(module, MAKEINTRESOURCEA(id), NULL, quietDialogProc, 0);
        ASSERT_NE(dialog, (HWND)NULL) << "template " << id;
        std::vector<std::string> cut;
        EnumChildWindows(dialog, collectCut, reinterpret_cast<LPARAM>(&cut));
        DestroyWindow(dialog);
        for (const std::string &problem : cut)
            ADD_FAILURE() << "template " << id << ": " << problem;
    }
}

TEST_P(TextFit, MenuItemsFitTheScreenAndTheBarOneLine)
{
    HMENU menu = LoadMenuA(module, MAKEINTRESOURCEA(IDR_MAIN_MENU));
    ASSERT_NE(menu, (HMENU)NULL);
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    HFONT font = CreateFontIndirectW(&metrics.lfMenuFont);
    HDC dc = GetDC(NULL);
    HGDIOBJ old = SelectObject(dc, font);
    // Check mark column, text, and the gap before a submenu arrow.
    int itemChrome = 2 * GetSystemMetrics(SM_CXMENUCHECK) + 16;
    int screen = GetSystemMetrics(SM_CXSCREEN);
    int bar = 0;
    for (int top = 0; top < GetMenuItemCount(menu); ++top) {
        std::wstring title = menuItemText(menu, top);
        // A title gets about a character's width of room on each side.
        bar += menuTextWidth(dc, title) + 16;
        HMENU popup = GetSubMenu(menu, top);
        ASSERT_NE(popup, (HMENU)NULL);
        for (int item = 0; item < GetMenuItemCount(popup); ++item) {
            std::wstring text = menuItemText(popup, item);
            EXPECT_LE(menuTextWidth(dc, text) + itemChrome, screen) << narrow(text);
        }
    }
    SelectObject(dc, old);
    ReleaseDC(NULL, dc);
    DeleteObject(font);
    DestroyMenu(menu);

    HWND window = CreateDialogParamA(module, MAKEINTRESOURCEA(IDD_KEY_MANAGER), NULL, quietDialogProc, 0);
    ASSERT_NE(window, (HWND)NULL);
    RECT client;
    GetClientRect(window, &client);
    DestroyWindow(window);
    EXPECT_LE(bar, client.right) << "the menu bar would wrap onto a second line";
}

// The agent and its library carry every language in one file each. Their
// dialogs are made from the template of the language, with a line that the
// code fills in at run time, as long as a user sees it: a format of the
// language with two digits put in, or a text that no language changes.
struct CompanionDialog {
    const char *file;
    UINT dialog, control, format;
    const char *text;
};

const char *const kWideFingerprint = "SHA256:V+B+AsemgBFQ9Cymg7VRIeWW/RNVCVm2R9s6gLOMgb8";

const CompanionDialog COMPANION_DIALOGS[] = {
    {"OPENSSH.DLL", IDD_KEY_PASSPHRASE, IDC_PASSPHRASE_RETRY, IDS_PASSPHRASE_WRONG, NULL},
    {"gkeyagent.exe", IDD_CONFIRM_KEY_USE, IDC_CONFIRM_COUNTDOWN, IDS_CONFIRM_COUNTDOWN, NULL},
    {"gkeyagent.exe", IDD_CONFIRM_KEY_USE, IDC_CONFIRM_PROGRAM, IDS_CONFIRM_UNVERIFIED_PROGRAM, NULL},
    // The widest of 3,000 fingerprints of keys ssh-keygen made: in the
    // proportional fonts fewer than one in a thousand is as wide.
    {"gkeyagent.exe", IDD_CONFIRM_KEY_USE, IDC_CONFIRM_FINGERPRINT, 0, kWideFingerprint},
    // Where the signature goes: a host named by the key's destinations,
    // else its key, and the hosts the agent was forwarded through.
    {"gkeyagent.exe", IDD_CONFIRM_KEY_USE, IDC_CONFIRM_HOST, 0, "build-runner-07.eu-west-1.compute.example.internal"},
    {"gkeyagent.exe", IDD_CONFIRM_KEY_USE, IDC_CONFIRM_HOST, 0, kWideFingerprint},
    {"gkeyagent.exe", IDD_CONFIRM_KEY_USE, IDC_CONFIRM_HOST_LABEL, IDS_CONFIRM_HOST_KEY_LABEL, NULL},
    {"gkeyagent.exe", IDD_CONFIRM_KEY_USE, IDC_CONFIRM_FORWARDED, IDS_CONFIRM_FORWARDED_ONE, NULL},
    {"gkeyagent.exe", IDD_CONFIRM_KEY_USE, IDC_CONFIRM_FORWARDED, IDS_CONFIRM_FORWARDED, NULL},
    // The notification icon's passphrase dialog: its longest questions.
    {"gkeyagent.exe", IDD_TRAY_PASSPHRASE, IDC_TRAY_PROMPT, IDS_TRAY_LOCK_PROMPT, NULL},
    {"gkeyagent.exe", IDD_TRAY_PASSPHRASE, IDC_TRAY_PROMPT, IDS_TRAY_UNLOCK_PROMPT, NULL},
};

TEST_P(TextFit, TheAgentsAndItsLibrarysDialogsFitInTheLanguage)
{
    LANGID language = static_cast<LANGID>(atoi(GetParam().folder));
    for (const CompanionDialog &companion : COMPANION_DIALOGS) {
        std::string path = stageFolder() + "\\" + companion.file;
        HMODULE file = LoadLibraryExA(path.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(file, (HMODULE)NULL) << path;
        LanguageResources resources = {file, language};
        EXPECT_NE(FindResourceExA(file, RT_DIALOG, MAKEINTRESOURCEA(companion.dialog), language), (HRSRC)NULL)
            << companion.file << " has no template " << companion.dialog << " of its own in " << language;
        HWND dialog = CreateDialogIndirectParamA(file, findDialogTemplate(resources, companion.dialog), NULL,
                                                 quietDialogProc, 0);
        ASSERT_NE(dialog, (HWND)NULL) << companion.file;
        char format[256] = "", text[300] = "";
        if (companion.text == NULL) {
            loadLanguageString(resources, companion.format, format, sizeof format);
            snprintf(text, sizeof text, format, 30u);
        }
        // A line the template lacks would be measured as fitting.
        EXPECT_NE(GetDlgItem(dialog, companion.control), (HWND)NULL)
            << companion.file << " template " << companion.dialog << " has no control " << companion.control;
        SetDlgItemTextA(dialog, companion.control, companion.text != NULL ? companion.text : text);
        std::vector<std::string> cut;
        EnumChildWindows(dialog, collectCut, reinterpret_cast<LPARAM>(&cut));
        DestroyWindow(dialog);
        FreeLibrary(file);
        for (const std::string &problem : cut)
            ADD_FAILURE() << companion.file << " template " << companion.dialog << ": " << problem;
    }
}

std::string languageName(const ::testing::TestParamInfo<Language> &language)
{
    std::string name = std::string("lang") + language.param.folder;
    if (language.param.codePage == 932)
        name += "_CodePage932";
    return name;
}

INSTANTIATE_TEST_SUITE_P(Modules, TextFit,
                         ::testing::Values(Language{"1033", 0}, Language{"1031", 0}, Language{"1036", 0},
                                           Language{"1041", 932}),
                         languageName);

} // namespace
