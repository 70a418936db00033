// Ids of the key agent's own resources, shared by its code and by the
// resource script of each language under lang/.
#ifndef GKEYAGENT_AGENTRESOURCES_H
#define GKEYAGENT_AGENTRESOURCES_H

#define IDD_CONFIRM_KEY_USE 100
#define IDC_CONFIRM_KEY_NAME 101
#define IDC_CONFIRM_FINGERPRINT 102
#define IDC_CONFIRM_PROGRAM 103
#define IDC_CONFIRM_COUNTDOWN 104
#define IDC_CONFIRM_ICON 105
#define IDC_CONFIRM_HOST_LABEL 106
#define IDC_CONFIRM_HOST 107
#define IDC_CONFIRM_FORWARDED 108

#define IDS_CONFIRM_COUNTDOWN 201   // printf format, one %u: seconds left
#define IDS_CONFIRM_COUNTDOWN_ONE 210  // the last second
#define IDS_CONFIRM_UNKNOWN_PROGRAM 202
#define IDS_CONFIRM_PROGRAM 203       // %s: the program's path, %lu: its process id
#define IDS_AGENT_TITLE 204
#define IDS_PIPE_TAKEN 205            // %s: the pipe's name, %lu: the system's error number
#define IDS_CONFIRM_UNVERIFIED_PROGRAM 206  // a client on PuTTY's path, whose program cannot be checked
#define IDS_CONFIRM_HOST_KEY_LABEL 207  // in place of the host's label when only its key is known
#define IDS_CONFIRM_FORWARDED_ONE 208   // the agent was forwarded through one host
#define IDS_CONFIRM_FORWARDED 209       // %u: the hosts the agent was forwarded through, two or more
#define IDS_PIPE_TAKEN_BY_SERVICE 220   // %s: the pipe's name, %lu: the service's process id
#define IDS_PIPE_TAKEN_BY_PROGRAM 221   // %s: the pipe's name, %s: the program holding it, %lu: its process id
#define IDS_PIPE_HOLDER_UNREADABLE 222  // in place of that program when its file cannot be read

// The notification-area icon: its pictures, its menu, its dialog and texts.
#define IDI_AGENT_UNLOCKED 300
#define IDI_AGENT_LOCKED 301

#define IDM_TRAY_OPEN_MANAGER 310
#define IDM_TRAY_ADD_KEY 311
#define IDM_TRAY_LOCK 312
#define IDM_TRAY_NOTIFY_KEY_USE 313
#define IDM_TRAY_STOP_AGENT 314

#define IDD_TRAY_PASSPHRASE 320
#define IDC_TRAY_PROMPT 321
#define IDC_TRAY_PASSPHRASE 322
#define IDC_TRAY_REPEAT_LABEL 323
#define IDC_TRAY_REPEAT 324

#define IDS_TRAY_TIP_UNLOCKED 300     // %s: the agent's name, %u: its keys
#define IDS_TRAY_TIP_LOCKED 301       // %s: the agent's name, %u: its keys
#define IDS_TRAY_OPEN_MANAGER 302
#define IDS_TRAY_ADD_KEY 303
#define IDS_TRAY_LOCK 304             // with the agent passphrase: nothing asked
#define IDS_TRAY_LOCK_ASKING 305      // no agent passphrase: one is asked for
#define IDS_TRAY_UNLOCK 306
#define IDS_TRAY_NOTIFY_KEY_USE 307
#define IDS_TRAY_STOP_AGENT 308
#define IDS_TRAY_ADD_KEY_TITLE 309
#define IDS_TRAY_ADD_LOCKED 310
#define IDS_TRAY_ADD_NOT_ALLOWED 311
#define IDS_TRAY_ADD_UNREADABLE 312   // %s: the file
#define IDS_TRAY_KEY_PASSPHRASE 313   // %s: the file's name
#define IDS_TRAY_KEY_PASSPHRASE_WRONG 314  // %s: the file's name
#define IDS_TRAY_UNLOCK_PROMPT 315
#define IDS_TRAY_UNLOCK_WRONG 316
#define IDS_TRAY_LOCK_PROMPT 317
#define IDS_TRAY_PASSPHRASES_DIFFER 318
#define IDS_TRAY_PASSPHRASE_EMPTY 319
#define IDS_TRAY_LOCK_FAILED 320
#define IDS_TRAY_MANAGER_NOT_STARTED 321  // %s: the manager's program, %lu: the system's error number
#define IDS_TRAY_NOTICE_TITLE 322     // %s: the key's name
#define IDS_TRAY_NOTICE_PROGRAM 323   // %s: the program, as the confirm dialog names it
#define IDS_TRAY_NOTICE_HOST 324      // %s: the host's name

#endif
