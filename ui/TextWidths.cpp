#include "TextWidths.h"

namespace {

LONG measuredWhole(HDC dc, const char *text)
{
    SIZE size = {0, 0};
    GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
    return size.cx;
}

} // namespace

TextWidths::TextWidths(HDC context) : dc(context)
{
    known = GetCharWidth32A(context, 0, 255, advance) != FALSE;
}

LONG TextWidths::of(const char *text) const
{
    if (text == NULL)
        return 0;
    LONG sum = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (!known || IsDBCSLeadByte(*p))
            return measuredWhole(dc, text);
        sum += advance[*p];
    }
    return sum;
}
