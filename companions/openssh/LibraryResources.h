// Ids of the agent library's own resources, shared by its code and by the
// resource script of each language under lang/.
#ifndef OPENSSH_LIBRARYRESOURCES_H
#define OPENSSH_LIBRARYRESOURCES_H

#define IDD_KEY_PASSPHRASE 100
#define IDC_PASSPHRASE_FILE 101
#define IDC_PASSPHRASE_EDIT 102
#define IDC_PASSPHRASE_RETRY 103

#define IDS_LIBRARY_TITLE 200
#define IDS_AGENT_MISSING 201        // %s: the agent program's path
#define IDS_AGENT_PIPE_TAKEN 202     // %s: the pipe's name
#define IDS_AGENT_NO_ANSWER 203
#define IDS_AGENT_START_FAILED 204   // %lu: the system's error number
#define IDS_PASSPHRASE_WRONG 205     // %u: tries left
#define IDS_LIFETIME_UNREADABLE 206  // %s: the text given
#define IDS_AGENT_IMPOSTOR 207       // %s: the program serving the pipe, %lu: its process id
#define IDS_UNKNOWN_PROGRAM 208      // in place of that program when it cannot be read
#define IDS_DETAIL_BITS 210
#define IDS_DETAIL_EXPIRES 211
#define IDS_DETAIL_CONFIRM 212
#define IDS_UNIT_DAYS 213
#define IDS_UNIT_HOURS 214
#define IDS_UNIT_MINUTES 215
#define IDS_UNIT_SECONDS 216
#define IDS_DETAIL_DESTINATIONS 217  // %s: the key's destinations
#define IDS_DETAIL_HOP_SEPARATOR 218  // between two destinations
#define IDS_DETAIL_ONE_MORE 219      // %s: the destinations shown, one left out
#define IDS_DETAIL_MORE 220          // %s: the destinations shown, %u: how many are left out
#define IDS_DETAIL_SEPARATOR 221     // between the parts of a key's detail
#define IDS_LIFETIME_UNITS 222       // the unit words of a lifetime, as keylist::lifetimeUnitsFrom reads them
#define IDS_AGENT_PIPE_TAKEN_BY_SERVICE 230  // %s: the pipe's name, %lu: the service's process id
#define IDS_AGENT_PIPE_TAKEN_BY_PROGRAM 231  // %s: the pipe's name, %s: the program holding it, %lu: its process id

#endif
