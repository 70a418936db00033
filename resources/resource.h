/* Resource and command ids shared by the code and every resource script.
   A menu item's id doubles as the id of its status-bar help string. */
#ifndef GAGENT_RESOURCE_H
#define GAGENT_RESOURCE_H

/* Application title, main menu and window icon share one id. */
#define IDS_APP_TITLE            101
#define IDR_MAIN_MENU            101
#define IDI_KEY                  101

/* Help lines for the second and third top-level menus: the menu reports a
   drop-down by its position, and position 0 has no string on purpose. */
#define IDS_MENU_POSITION_1      1
#define IDS_MENU_POSITION_2      2

/* Key manager window */
#define IDD_KEY_MANAGER          110
#define IDC_KEY_LIST             111
#define IDC_GENERATE_KEY         112
#define IDC_REMOVE_KEY           113
#define IDC_KEY_TEXT             114
#define IDS_COLUMN_NAME          115
#define IDS_COLUMN_TYPE          116
#define IDS_COLUMN_DETAIL        117
#define IDC_LOCK_AGENT           119
#define IDC_UNLOCK_AGENT         120
#define IDC_AGENT_PASSPHRASE     136

/* Agent library */
#define IDS_AGENT_UNAVAILABLE    150
/* Key type names by KeyTypeCode; code 5 and unknown codes have none. */
#define IDS_KEY_TYPE_ED25519      151
#define IDS_KEY_TYPE_RSA          152
#define IDS_KEY_TYPE_ECDSA        153
#define IDS_KEY_TYPE_SECURITY_KEY 154
#define IDS_KEY_TYPE_DSA          155
#define IDS_KEY_TYPE_CERTIFICATE  156

/* Key file commands */
#define IDS_REMOVE_KEY_FAILED    157
#define IDD_KEY_TEXT             161
#define IDC_KEY_NAME             163
#define IDD_EXPORT_KEY           164
#define IDC_EXPORT_OPENSSH       166
#define IDC_EXPORT_RFC4716       167
#define IDS_EXPORT_FILTER        168
#define IDS_EXPORT_TITLE         169
#define IDS_EXPORT_FAILED        170
#define IDS_KEY_NAME_REQUIRED    181
#define IDS_ADD_KEY_TITLE        183
#define IDS_ADD_KEY_FAILED       184
#define IDS_ADD_KEY_FILE_FAILED  204
#define IDC_KEY_LIFETIME_LABEL   205
#define IDC_KEY_LIFETIME         206

/* Agent lock and passphrase commands */
#define IDS_LOCK_FAILED          122
#define IDS_UNLOCK_FAILED        123
#define IDD_UNLOCK_PROMPT        124
#define IDC_UNLOCK_PASSPHRASE    126
#define IDC_UNLOCK_HELP          127
#define IDD_AGENT_PASSPHRASE     135
#define IDC_PASSPHRASE_HELP      140
#define IDC_RESET_AGENT          141
#define IDC_CURRENT_LABEL        142
#define IDC_NEW_LABEL            143
#define IDC_REPEAT_LABEL         144
#define IDC_CURRENT_PASSPHRASE   146
#define IDC_NEW_PASSPHRASE       147
#define IDC_REPEAT_PASSPHRASE    148
#define IDS_PASSPHRASES_DIFFER   158
#define IDS_RESET_WARNING        159
#define IDS_PASSPHRASE_REFUSED   160

/* About box */
#define IDD_ABOUT                187
#define IDC_PRODUCT_VERSION      190
#define IDC_AGENT_VERSION        196
/* Key generation */
#define IDD_GENERATE_KEY              171
#define IDC_KEY_FILE_LABEL            172
#define IDC_KEY_FILE                  173
#define IDC_KEY_TYPE_LABEL            174
#define IDC_KEY_TYPE                  175
#define IDC_KEY_SIZE_LABEL            176
#define IDC_KEY_SIZE                  177
#define IDS_KEY_FILE_MISSING          178
#define IDS_KEY_SIZE_RANGE            179
#define IDS_KEY_SIZE_RANGE_RESTRICTED 180
#define IDS_KEY_GENERATION_FAILED     182
#define IDC_GENERATE_HELP             201

/* Menu commands */
#define IDM_ADD_KEY              103
#define IDM_EXPORT_KEY           104
#define IDM_STOP_AGENT           105
#define IDM_VIEW_AGENT_LOG       106
#define IDM_HELP_TOPICS          107
#define IDM_WHATS_THIS           108
#define IDM_ABOUT                109
#define IDM_EXIT                 185
#define IDM_CONFIRM_KEY_OP       186
#define IDM_ALLOW_ADD            202
#define IDM_ALLOW_DELETE         203

/* The executable's own resources */
#define IDR_VERSION              1

#endif
