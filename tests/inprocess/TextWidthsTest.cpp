// The list's widest texts are found by summed advance widths: the sum must
// be what GDI measures for the whole text, in a Western and, under code
// page 932, a Japanese font, or a column is cut short.
#include <gtest/gtest.h>

#include "TextWidths.h"

namespace {

LONG gdiWidth(HDC dc, const char *text)
{
    SIZE size = {0, 0};
    GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
    return size.cx;
}

void expectSameWidths(const char *face, int charset)
{
    HDC dc = GetDC(NULL);
    HFONT font = CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, charset, 0, 0, 0, 0, face);
    ASSERT_NE(font, (HFONT)NULL);
    HGDIOBJ old = SelectObject(dc, font);
    TextWidths widths(dc);
    const char *texts[] = {"", "W", "iiii", "benchmark key 999", "SHA256:wK822CUoY/VeSscAw5qPdRB6K1nYHMpgGyh2ckEui44, 256 bits",
                           "Schl\xfc" "ssel, cl\xe9 \xa0j", "\x8c\xae\x82\xcc\x90\xdd\x92\xe8 abc"};
    for (const char *text : texts) {
        // The last one is Japanese only where the code page is 932.
        if (text == texts[6] && GetACP() != 932) continue;
        if (text == texts[5] && GetACP() == 932) continue;
        EXPECT_EQ(widths.of(text), gdiWidth(dc, text)) << face << ": " << text;
    }
    EXPECT_EQ(widths.of(NULL), 0);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(NULL, dc);
}

TEST(TextWidths, SumsMatchWhatGdiMeasuresAlsoInCodePage932)
{
    expectSameWidths("MS Shell Dlg", DEFAULT_CHARSET);
    expectSameWidths("Tahoma", DEFAULT_CHARSET);
    if (GetACP() == 932)
        expectSameWidths("MS UI Gothic", SHIFTJIS_CHARSET);
}

} // namespace
