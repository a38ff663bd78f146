#pragma once
// The one input record the window builds for every pointer and keyboard message.

#include <cstdint>

namespace d2dui {

// What an input record reports. Pointer kinds come with `is_keyboard` false, keyboard kinds with
// it true; no two kinds share a value.
enum class input_kind : std::int32_t {
    pointer_move,
    pointer_down,
    pointer_up,
    pointer_wheel,
    pointer_enter,  // synthesised by routing
    pointer_leave,  // synthesised by routing
    key_down,
    key_up,
    key_char,
    key_cancel,  // focus loss, capture loss, close: release held state
};

// Buttons.
inline constexpr std::int32_t button_left = 0;
inline constexpr std::int32_t button_right = 1;
inline constexpr std::int32_t button_middle = 2;
inline constexpr std::int32_t button_x1 = 3;
inline constexpr std::int32_t button_x2 = 4;

// Bits of `buttons`.
inline constexpr std::uint64_t mask_left = 1, mask_right = 2, mask_shift = 4, mask_ctrl = 8,
                                mask_middle = 16, mask_x1 = 32, mask_x2 = 64;

struct input_event {
    input_kind kind = input_kind::pointer_move;
    float x = 0, y = 0;        // DIPs, window client coordinates
    std::int32_t button = 0;   // see above; wheel: 1 horizontal, 0 vertical
    float wheel = 0;           // notches, positive away from the user
    bool ctrl = false, shift = false, alt = false;
    std::uint64_t buttons = 0;
    std::uint32_t virtual_key = 0;
    char16_t character = 0;
    std::uint16_t repeat_count = 0;
    std::uint8_t scan_code = 0;
    bool extended = false;
    bool previous_state = false;
    std::uint64_t wparam = 0, lparam = 0;
    bool is_keyboard = false;

    static input_event pointer(input_kind kind, float x, float y, std::int32_t button = 0)
    {
        input_event e;
        e.kind = kind;
        e.x = x;
        e.y = y;
        e.button = button;
        return e;
    }
    static input_event keyboard(input_kind kind, std::uint32_t vk = 0)
    {
        input_event e;
        e.kind = kind;
        e.virtual_key = vk;
        e.is_keyboard = true;
        return e;
    }
};

}  // namespace d2dui
