// Bounded text composition for fixed-size ANSI buffers.
#ifndef GAGENT_TEXTBUFFER_H
#define GAGENT_TEXTBUFFER_H

#include <stddef.h>

// Appends `text` to the NUL-terminated string in `dest`, whose room is
// `capacity` bytes including the terminator. Copies what fits and always
// leaves `dest` terminated; returns 0 when anything had to be cut.
int appendText(char *dest, size_t capacity, const char *text);

// `dest` = `text`, with the same rules as appendText.
int copyText(char *dest, size_t capacity, const char *text);

#endif
