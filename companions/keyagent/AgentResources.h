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

#endif
