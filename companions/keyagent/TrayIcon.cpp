#include "TrayIcon.h"

#include <shellapi.h>

#include <cstring>

namespace {


NOTIFYICONDATAA iconData(HWND owner) {
    NOTIFYICONDATAA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = NOTIFYICONDATAA_V2_SIZE;
    data.hWnd = owner;
    data.uID = AGENT_TRAY_ICON_ID;
    return data;
}

bool tell(DWORD what, NOTIFYICONDATAA& data) { return Shell_NotifyIconA(what, &data) != FALSE; }

void describe(NOTIFYICONDATAA& data, const TrayLook& look) {
    data.uFlags |= NIF_ICON | NIF_TIP;
    data.hIcon = look.icon;
    copyWholeCharacters(data.szTip, sizeof data.szTip, look.tip);
}

}  // namespace

void copyWholeCharacters(char* field, std::size_t room, const std::string& text) {
    if (room == 0) return;
    std::size_t used = 0;
    const char* p = text.c_str();
    while (*p) {
        const char* next = CharNextA(p);
        std::size_t length = std::size_t(next - p);
        if (length == 0 || used + length >= room) break;
        std::memcpy(field + used, p, length);
        used += length;
        p = next;
    }
    field[used] = '\0';
}

bool addTrayIcon(HWND owner, UINT callbackMessage, const TrayLook& look) {
    NOTIFYICONDATAA data = iconData(owner);
    data.uFlags = NIF_MESSAGE;
    data.uCallbackMessage = callbackMessage;
    describe(data, look);
    return tell(NIM_ADD, data);
}

bool changeTrayIcon(HWND owner, const TrayLook& look) {
    NOTIFYICONDATAA data = iconData(owner);
    describe(data, look);
    return tell(NIM_MODIFY, data);
}

bool showTrayBalloon(HWND owner, const std::string& title, const std::string& text) {
    NOTIFYICONDATAA data = iconData(owner);
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_INFO;
    data.uTimeout = 10000;  // ms; the shell keeps it within its own bounds
    copyWholeCharacters(data.szInfoTitle, sizeof data.szInfoTitle, title);
    copyWholeCharacters(data.szInfo, sizeof data.szInfo, text);
    return tell(NIM_MODIFY, data);
}

void removeTrayIcon(HWND owner) {
    NOTIFYICONDATAA data = iconData(owner);
    tell(NIM_DELETE, data);
}
