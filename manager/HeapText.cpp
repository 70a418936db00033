#include "HeapText.h"

#include <new>
#include <string.h>

void readField(HWND dialog, int id, char (&text)[FIELD_TEXT_SIZE])
{
    text[0] = '\0';
    GetDlgItemTextA(dialog, id, text, FIELD_TEXT_SIZE);
    text[FIELD_TEXT_SIZE - 1] = '\0';
}

static BOOL CALLBACK limitIfField(HWND child, LPARAM)
{
    char className[16];
    if (GetClassNameA(child, className, sizeof className) > 0 && lstrcmpiA(className, "Edit") == 0)
        SendMessageA(child, EM_LIMITTEXT, FIELD_TEXT_SIZE - 1, 0);
    return TRUE;
}

void limitFields(HWND dialog)
{
    EnumChildWindows(dialog, limitIfField, 0);
}

char *newTextCopy(const char *text)
{
    size_t size = strlen(text) + 1;
    char *copy = new (std::nothrow) char[size];
    if (copy != NULL)
        memcpy(copy, text, size);
    return copy;
}

void deleteText(char *&text)
{
    delete[] text;
    text = NULL;
}

void wipeAndDeleteText(char *&text)
{
    // SecureZeroMemory, not memset: a store right before the free is one a
    // compiler may drop.
    if (text != NULL)
        SecureZeroMemory(text, strlen(text) + 1);
    deleteText(text);
}
