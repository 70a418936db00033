// Widths of texts in one device context's font. A list of thousands of rows
// is sized by its widest texts; asking GDI for each one costs more than the
// rows themselves, so a single-byte text is summed from the font's advance
// widths, read once. A text with a double-byte character is measured whole.
#ifndef GAGENT_UI_TEXTWIDTHS_H
#define GAGENT_UI_TEXTWIDTHS_H

#include <windows.h>

class TextWidths {
public:
    explicit TextWidths(HDC dc);
    LONG of(const char *text) const;

private:
    HDC dc;
    bool known;
    INT advance[256];
};

#endif
