#pragma once
// The one input record the window builds for every pointer and keyboard message.

#include <cstdint>

namespace d2dui {

// Pointer kinds (`is_keyboard` false).
inline constexpr std::int32_t pointer_move = 0;
inline constexpr std::int32_t pointer_down = 1;
inline constexpr std::int32_t pointer_up = 2;
inline constexpr std::int32_t pointer_wheel = 3;
inline constexpr std::int32_t pointer_enter = 4;  // synthesised by routing
inline constexpr std::int32_t pointer_leave = 5;  // synthesised by routing
// Keyboard kinds (`is_keyboard` true).
inline constexpr std::int32_t key_down = 0;
inline constexpr std::int32_t key_up = 1;
inline constexpr std::int32_t key_char = 2;
inline constexpr std::int32_t key_cancel = 3;  // focus loss, capture loss, close: release held state

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
    std::int32_t kind = 0;
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

    static input_event pointer(std::int32_t kind, float x, float y, std::int32_t button = 0)
    {
        input_event e;
        e.kind = kind;
        e.x = x;
        e.y = y;
        e.button = button;
        return e;
    }
    static input_event keyboard(std::int32_t kind, std::uint32_t vk = 0)
    {
        input_event e;
        e.kind = kind;
        e.virtual_key = vk;
        e.is_keyboard = true;
        return e;
    }
};

}  // namespace d2dui
