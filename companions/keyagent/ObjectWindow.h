// The window procedure of a hidden window that belongs to one object: the
// object comes with CreateWindowExA's parameter and lives in the window's
// user data; the object's handler gets every message after that. Nothing
// may leave a window procedure by an exception: a message that could not be
// handled (memory) is refused.
#ifndef KEYAGENT_OBJECTWINDOW_H
#define KEYAGENT_OBJECTWINDOW_H

#include <windows.h>

template <class Object, LRESULT (*Handle)(HWND, Object&, UINT, WPARAM, LPARAM)>
LRESULT CALLBACK objectWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* object = reinterpret_cast<Object*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!object) return DefWindowProcA(window, message, wParam, lParam);
    try {
        return Handle(window, *object, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

#endif
