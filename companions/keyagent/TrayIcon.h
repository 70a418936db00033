// The agent's icon in the notification area as the shell keeps it: added,
// changed, a balloon shown on it, removed. NOTIFYICONDATAA goes in its
// Windows 2000 size, the oldest that carries a balloon, which every later
// shell and Wine's take as well.
#ifndef GKEYAGENT_TRAYICON_H
#define GKEYAGENT_TRAYICON_H

#include <windows.h>

#include <string>

// The agent shows one icon, known to the shell by its window and this id.
#define AGENT_TRAY_ICON_ID 1

struct TrayLook {
    HICON icon;
    std::string tip;  // cut at a whole character to what the shell holds
};

// The shell's answer: false while no notification area takes icons (no
// Explorer yet, or one that has just ended).
bool addTrayIcon(HWND owner, UINT callbackMessage, const TrayLook& look);
bool changeTrayIcon(HWND owner, const TrayLook& look);
bool showTrayBalloon(HWND owner, const std::string& title, const std::string& text);
void removeTrayIcon(HWND owner);

// Copies text into a field of `room` bytes, ending it there; a double-byte
// character that would not fit whole is left out.
void copyWholeCharacters(char* field, std::size_t room, const std::string& text);

#endif
