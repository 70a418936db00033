#include "TextBuffer.h"

int appendText(char *dest, size_t capacity, const char *text)
{
    if (capacity == 0)
        return text[0] == '\0';
    size_t used = 0;
    while (used < capacity && dest[used] != '\0')
        ++used;
    if (used == capacity) {
        // Not terminated within its room: repair rather than read past it.
        dest[capacity - 1] = '\0';
        return 0;
    }
    while (*text != '\0' && used + 1 < capacity)
        dest[used++] = *text++;
    dest[used] = '\0';
    return *text == '\0';
}

int copyText(char *dest, size_t capacity, const char *text)
{
    if (capacity > 0)
        dest[0] = '\0';
    return appendText(dest, capacity, text);
}
