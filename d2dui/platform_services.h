#pragma once
// Window-system services the widgets may ask for, behind one small interface: the window backend
// implements it for its window; tests implement it to observe the requests.

#include <string>

#include "d2dui/geometry.h"

namespace d2dui {

// Cursor kinds a widget may show while hovered.
enum cursor_kind : int {
    cursor_arrow = 0,
    cursor_hand = 1,
    cursor_ibeam = 2,
    cursor_size_we = 3,
    cursor_size_ns = 4,
    cursor_move = 5,
    cursor_wait = 6,
    cursor_not_allowed = 7,
    cursor_cross = 8,
};

class platform_services {
public:
    virtual ~platform_services() = default;
    virtual void set_cursor(int kind) = 0;
    // False when the clipboard could not be opened or written.
    virtual bool set_clipboard_text(const std::u16string& text) = 0;
    // Empty when the clipboard holds no text or cannot be opened.
    virtual std::u16string clipboard_text() = 0;
    // Places the input method's composition window at a caret in DIPs.
    virtual void set_ime_position(point caret_dips, float caret_height) = 0;
    virtual void minimize_window() = 0;
    virtual void close_window() = 0;
};

}  // namespace d2dui
