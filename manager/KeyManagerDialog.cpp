#include "KeyManagerDialog.h"

#include "AgentChannel.h"
#include "LocalConfiguration.h"
#include "TextWidths.h"
#include "UiLanguage.h"
#include "WindowPlacement.h"
#include "resource.h"

namespace {

const int COLUMN_COUNT = 3;
const UINT COLUMN_HEADER_STRINGS[COLUMN_COUNT] = {IDS_COLUMN_NAME, IDS_COLUMN_TYPE, IDS_COLUMN_DETAIL};

// String id of a key type's name, or 0 for a code without one.
UINT keyTypeStringId(KeyTypeCode typeCode)
{
    switch (typeCode) {
    case KEY_TYPE_ED25519:
        return IDS_KEY_TYPE_ED25519;
    case KEY_TYPE_RSA:
        return IDS_KEY_TYPE_RSA;
    case KEY_TYPE_ECDSA:
        return IDS_KEY_TYPE_ECDSA;
    case KEY_TYPE_DSA:
        return IDS_KEY_TYPE_DSA;
    case KEY_TYPE_CERTIFICATE:
        return IDS_KEY_TYPE_CERTIFICATE;
    case KEY_TYPE_SECURITY_KEY:
        return IDS_KEY_TYPE_SECURITY_KEY;
    default:
        return 0;
    }
}

const KeyTypeCode TYPE_CODE_COUNT = KEY_TYPE_SECURITY_KEY + 1;

// The type column's texts, loaded once per listing instead of once per row.
struct TypeNames {
    char text[TYPE_CODE_COUNT][32];

    const char *of(KeyTypeCode code) const { return code >= 0 && code < TYPE_CODE_COUNT ? text[code] : ""; }
};

struct Row {
    const char *name;
    const char *type;
    const char *detail;
};

void insertRow(HWND list, int index, const Row &texts)
{
    LVITEMA row;
    ZeroMemory(&row, sizeof row);
    row.mask = LVIF_TEXT;
    row.iItem = index;
    row.pszText = const_cast<char *>(texts.name);
    SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&row));
    row.iSubItem = 1;
    row.pszText = const_cast<char *>(texts.type);
    SendMessageA(list, LVM_SETITEMTEXTA, index, reinterpret_cast<LPARAM>(&row));
    row.iSubItem = 2;
    row.pszText = const_cast<char *>(texts.detail);
    SendMessageA(list, LVM_SETITEMTEXTA, index, reinterpret_cast<LPARAM>(&row));
}

void keepWider(const char *text, LONG width, const char *&widest, LONG &widestWidth)
{
    if (width > widestWidth) {
        widest = text;
        widestWidth = width;
    }
}

// Each column's widest text, measured in the list's font with one device
// context for all of them.
Row widestTexts(HWND list, const KeyListEntry *entries, UINT32 count, const TypeNames &typeNames)
{
    HDC dc = GetDC(list);
    HGDIOBJ oldFont = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(list, WM_GETFONT, 0, 0)));
    TextWidths widths(dc);
    LONG typeWidths[TYPE_CODE_COUNT];
    for (KeyTypeCode code = 0; code < TYPE_CODE_COUNT; ++code)
        typeWidths[code] = widths.of(typeNames.text[code]);

    Row widest = {"", "", ""};
    LONG nameWidth = 0, typeWidth = 0, detailWidth = 0;
    for (UINT32 i = 0; i < count; ++i) {
        keepWider(entries[i].name, widths.of(entries[i].name), widest.name, nameWidth);
        KeyTypeCode code = entries[i].typeCode;
        if (code >= 0 && code < TYPE_CODE_COUNT)
            keepWider(typeNames.text[code], typeWidths[code], widest.type, typeWidth);
        keepWider(entries[i].detail, widths.of(entries[i].detail), widest.detail, detailWidth);
    }
    SelectObject(dc, oldFont);
    ReleaseDC(list, dc);
    return widest;
}

} // namespace

KeyManagerDialog::KeyManagerDialog(HMODULE module, HWND owner)
    : DialogBase(module, owner), statusBar(NULL), menu(NULL), keyList(NULL), agentLibrary(NULL),
      agent(NULL), allowAdd(1), allowDelete(1), confirmKeyOp(0), restrictedMode(0)
{
    helpContextId = 1000;
    titleText[0] = '\0';
    minColumnWidth[0] = minColumnWidth[1] = minColumnWidth[2] = 0;
    // The agent side may have created the event already; opening it then
    // leaves its state alone.
    refreshEvent = CreateEventA(NULL, TRUE, TRUE, AGENT_REFRESH_EVENT);
}

KeyManagerDialog::~KeyManagerDialog()
{
    releaseAgent();
}

INT_PTR KeyManagerDialog::dialogProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SHOWWINDOW:
        forceForeground(window);
        return 1;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 1;
    case WM_CLOSE:
        // The main window ends by destruction, not EndDialog: WM_DESTROY
        // then ends the modal loop with the quit message.
        DestroyWindow(window);
        return 1;
    case WM_MENUSELECT:
        showMenuHelp(wParam, lParam);
        return 1;
    case WM_AGENT_REFRESH:
        // Whoever changes the key set holds the event reset until it is done.
        WaitForSingleObject(refreshEvent, INFINITE);
        refreshKeyList();
        return 1;
    default:
        return DialogBase::dialogProc(message, wParam, lParam);
    }
}

int KeyManagerDialog::onInitDialog(HWND)
{
    loadString(IDS_APP_TITLE, titleText, sizeof titleText);
    SetWindowTextA(window, titleText);

    HANDLE icon = LoadImageA(getResourceModule(), MAKEINTRESOURCEA(IDI_KEY), IMAGE_ICON, 16, 16,
                             LR_DEFAULTCOLOR);
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));

    menu = LoadMenuA(resourceModule, MAKEINTRESOURCEA(IDR_MAIN_MENU));
    SetMenu(window, menu);

    createStatusBar();
    centerWindow(window, parentWindow);

    if (!bindAgentLibrary())
        return 0;
    agent->attachWindow(window);
    restrictedMode = agent->isRestrictedMode();

    setUpKeyList();
    readAgentSettings(confirmKeyOp, allowAdd, allowDelete);
    showPolicyCheckMarks();
    refreshKeyList();
    return 1;
}

void KeyManagerDialog::createStatusBar()
{
    // Zero size: the bar docks itself at the bottom edge.
    statusBar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | WS_BORDER, 0, 0, 0,
                                0, window, NULL, resourceModule, NULL);
}

void KeyManagerDialog::setUpKeyList()
{
    keyList = GetDlgItem(window, IDC_KEY_LIST);
    SendMessageA(keyList, LVM_SETEXTENDEDLISTVIEWSTYLE, ~0u, LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP);

    for (int i = 0; i < COLUMN_COUNT; ++i) {
        char header[256];
        loadString(COLUMN_HEADER_STRINGS[i], header, sizeof header);
        LVCOLUMNA column;
        ZeroMemory(&column, sizeof column);
        column.mask = LVCF_FMT | LVCF_TEXT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.pszText = header;
        column.iSubItem = i;
        SendMessageA(keyList, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&column));
    }
    for (int i = 0; i < COLUMN_COUNT; ++i) {
        // For the last column the control fills the remaining width.
        SendMessageA(keyList, LVM_SETCOLUMNWIDTH, i, LVSCW_AUTOSIZE_USEHEADER);
        minColumnWidth[i] = static_cast<UINT32>(SendMessageA(keyList, LVM_GETCOLUMNWIDTH, i, 0)) + 10;
    }
}

void KeyManagerDialog::showPolicyCheckMarks()
{
    setMenuItemChecked(IDM_CONFIRM_KEY_OP, confirmKeyOp != 0);
    setMenuItemChecked(IDM_ALLOW_ADD, allowAdd != 0);
    setMenuItemChecked(IDM_ALLOW_DELETE, allowDelete != 0);
}

bool KeyManagerDialog::agentIsAvailable()
{
    // After a failed binding the window runs as if the agent were away.
    return agent != NULL && agent->isAgentAvailable();
}

void KeyManagerDialog::refreshKeyList()
{
    // Painting each of thousands of rows as it comes and goes costs more
    // than the rows themselves; the list is painted once at the end.
    SendMessageA(keyList, WM_SETREDRAW, FALSE, 0);
    SendMessageA(keyList, LVM_DELETEALLITEMS, 0, 0);
    if (agentIsAvailable())
        fillKeyList();
    SendMessageA(keyList, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(keyList, NULL, TRUE);
    updateCommandStates();
}

void KeyManagerDialog::fillKeyList()
{
    KeyListEntry *entries = NULL;
    UINT32 count = 0;
    if (agent->getKeyList(&entries, &count) != AGENT_OK)
        return;

    TypeNames typeNames;
    for (KeyTypeCode code = 0; code < TYPE_CODE_COUNT; ++code) {
        typeNames.text[code][0] = '\0';
        UINT typeString = keyTypeStringId(code);
        if (typeString != 0)
            loadString(typeString, typeNames.text[code], sizeof typeNames.text[code]);
    }

    // The list's own rule sizes the columns, but over a stand-in row of each
    // column's widest text: over every row the list takes a device context
    // for each text it measures, which for 10,000 keys takes a second.
    if (count > 0)
        insertRow(keyList, 0, widestTexts(keyList, entries, count, typeNames));
    sizeColumnsToContents();
    if (count > 0)
        SendMessageA(keyList, LVM_DELETEITEM, 0, 0);

    for (UINT32 i = 0; i < count; ++i) {
        Row row = {entries[i].name, typeNames.of(entries[i].typeCode), entries[i].detail};
        insertRow(keyList, static_cast<int>(i), row);
    }
    agent->freeKeyList(&entries, count);
}

void KeyManagerDialog::sizeColumnsToContents()
{
    for (int i = 0; i < COLUMN_COUNT; ++i) {
        SendMessageA(keyList, LVM_SETCOLUMNWIDTH, i, LVSCW_AUTOSIZE);
        UINT32 width = static_cast<UINT32>(SendMessageA(keyList, LVM_GETCOLUMNWIDTH, i, 0));
        if (width < minColumnWidth[i])
            SendMessageA(keyList, LVM_SETCOLUMNWIDTH, i, minColumnWidth[i]);
    }
}

void KeyManagerDialog::setMenuItemEnabled(int id, bool enabled)
{
    EnableMenuItem(menu, id, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
}

void KeyManagerDialog::setMenuItemChecked(int id, bool checked)
{
    CheckMenuItem(menu, id, MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

void KeyManagerDialog::setButtonEnabled(int id, bool enabled)
{
    EnableWindow(GetDlgItem(window, id), enabled);
}

void KeyManagerDialog::updateCommandStates()
{
    bool available = agentIsAvailable();
    bool locked = available && agent->isLocked();
    bool selection = available && SendMessageA(keyList, LVM_GETNEXTITEM, -1, LVNI_SELECTED) >= 0;

    setMenuItemEnabled(IDM_ADD_KEY, available && !locked);
    setMenuItemEnabled(IDM_EXPORT_KEY, selection);
    setButtonEnabled(IDC_AGENT_PASSPHRASE, available);
    setButtonEnabled(IDC_GENERATE_KEY, available && !locked);
    setButtonEnabled(IDC_LOCK_AGENT, available && !locked);
    setButtonEnabled(IDC_UNLOCK_AGENT, locked);
    setButtonEnabled(IDC_REMOVE_KEY, !locked && selection);
    setButtonEnabled(IDC_KEY_TEXT, !locked && selection);
}

int KeyManagerDialog::onNotifyClick(NMHDR *header)
{
    if (header->idFrom != IDC_KEY_LIST)
        return 0;
    WaitForSingleObject(refreshEvent, INFINITE);
    updateCommandStates();
    return 1;
}

int KeyManagerDialog::onCommand(unsigned id, HWND, unsigned)
{
    switch (id) {
    case IDM_ADD_KEY:
        return onAddKey();
    case IDM_EXPORT_KEY:
        return onExportKey();
    case IDC_REMOVE_KEY:
        return onRemoveKey();
    case IDC_KEY_TEXT:
        return onKeyText();
    case IDC_LOCK_AGENT:
        return onLockAgent();
    case IDC_UNLOCK_AGENT:
        return onUnlockAgent();
    case IDC_AGENT_PASSPHRASE:
        return onAgentPassphrase();
    case IDM_HELP_TOPICS:
        return onHelpButton();
    case IDM_WHATS_THIS:
        return onWhatsThis();
    case IDM_ABOUT:
        return onAbout();
    case IDM_STOP_AGENT:
        return onStopAgent();
    case IDC_GENERATE_KEY:
        return onGenerateKey();
    case IDM_VIEW_AGENT_LOG:
        return onViewAgentLog();
    case IDM_EXIT:
        return onExit();
    case IDM_CONFIRM_KEY_OP:
        return onToggleConfirmKeyOp();
    case IDM_ALLOW_ADD:
        return onToggleAllowAdd();
    case IDM_ALLOW_DELETE:
        return onToggleAllowDelete();
    default:
        return 0;
    }
}

int KeyManagerDialog::onExit()
{
    PostMessageA(window, WM_CLOSE, 0, 0);
    return 1;
}

void KeyManagerDialog::showMenuHelp(WPARAM wParam, LPARAM lParam)
{
    if (HIWORD(wParam) == 0xFFFF && lParam == 0) {
        SendMessageA(statusBar, SB_SIMPLE, FALSE, 0);
        return;
    }
    // Every kind of item is looked up by its id; a drop-down reports its
    // position instead, and position 0 must not clear the line.
    UINT stringId = LOWORD(wParam);
    if (stringId == 0)
        return;
    char helpLine[256];
    loadString(stringId, helpLine, sizeof helpLine);
    SendMessageA(statusBar, SB_SIMPLE, TRUE, 0);
    SendMessageA(statusBar, SB_SETTEXTA, SB_SIMPLEID | SBT_NOBORDERS,
                 reinterpret_cast<LPARAM>(helpLine));
}
