// The agent settings file "gAgent" as the agent writes it: the form that
// applyAgentSettings reads, each policy at its fixed position. Pure text
// work, so that it is checked against the reader on the host.
#ifndef GAGENT_SETTINGSWRITER_H
#define GAGENT_SETTINGSWRITER_H

#include <stddef.h>
#include <stdint.h>

// Writes the whole file into `text` (NUL-terminated); the length written,
// or 0 when it does not fit in `room`.
size_t formatAgentSettings(int32_t confirmKeyOp, int32_t allowAdd, int32_t allowDelete, int32_t notifyKeyUse, char *text,
                           size_t room);

#endif
