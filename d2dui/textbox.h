#pragma once
// The toolkit's single-line text input: caret, mouse and keyboard selection, word jumps,
// clipboard, undo and redo (at most 200 snapshots), an optional maximum length, a placeholder,
// a password mode, horizontal scrolling that keeps the caret visible, and input-method placement.
//
// Text is UTF-16; positions are UTF-16 indices but every edit and caret move works by code point:
// a surrogate pair is never split (by the length cap, Backspace, Delete, arrow keys or clicks),
// and a pair typed as two character messages is held until its second half arrives. A lone
// surrogate is never inserted.
//
// `set_text` and `get_text` may be called from any thread; everything else runs on the UI thread.

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "d2dui/widget.h"

namespace d2dui {

class textbox : public widget {
public:
    textbox(std::u16string placeholder, float font_size, bool password);

    struct snapshot {
        std::u16string text;
        int caret = 0;
        int anchor = 0;
        friend bool operator==(const snapshot&, const snapshot&) = default;
    };
    static constexpr std::size_t undo_limit = 200;

    std::function<void(const std::u16string&)> on_change;
    std::function<void(const std::u16string&)> on_submit;
    std::function<void(bool)> on_focus_change;
    bool read_only = false;
    std::int32_t weight = 600;

    // Replaces the text (cut to the maximum length at a code-point boundary), puts the caret at
    // its end and forgets the undo history; does not call `on_change`.
    void set_text(const std::u16string& text);
    std::u16string get_text() const;
    void set_placeholder(std::u16string text) { placeholder_ = std::move(text); }
    void set_text_color(const color& c) { text_color_ = c; }
    void set_selection_color(const color& c) { selection_color_ = c; }
    void set_max_length(int length) { max_length_ = length < 0 ? 0 : length; }

    int caret() const { return caret_; }
    int anchor() const { return anchor_; }
    float scroll() const { return scroll_; }
    bool focused() const { return focused_; }
    bool caret_visible() const { return caret_visible_; }
    std::size_t undo_depth() const { return undo_.size(); }
    std::size_t redo_depth() const { return redo_.size(); }

    void on_focus() override;
    void on_blur() override;

    // Word boundaries over letters, digits and the underscore.
    static int word_left(const std::u16string& text, int i);
    static int word_right(const std::u16string& text, int i);

protected:
    void on_paint(render_context& rc) override;
    bool on_event(const input_event& e) override;
    void on_update(float dt) override;
    void on_mount() override;
    void on_unmount() override;
    void cancel_input() override
    {
        selecting_ = false;
        dragged_ = false;
    }

private:
    bool on_pointer(const input_event& e);
    bool on_key(const input_event& e);
    bool on_character(char16_t c);
    void push_snapshot();
    void restore(const snapshot& s);
    void undo();
    void redo();
    void insert(std::u16string_view text);
    void delete_range(int from, int to);
    bool delete_selection();
    void copy_selection();
    void moved();  // caret moved: show it, scroll it into view, place the IME windows
    int prev_boundary(int i) const;
    int next_boundary(int i) const;
    int snap(int i) const;  // a boundary at or before i
    int index_at(float x);
    float width_before(int i);
    std::u16string display_text(int end) const;
    std::u16string selection_text() const;

    mutable std::mutex text_mutex_;
    std::u16string text_;
    int caret_ = 0;
    int anchor_ = 0;
    float scroll_ = 0;
    float font_size_;
    bool password_;
    int max_length_ = 0;
    std::u16string placeholder_;
    color text_color_{1, 1, 1, 1};
    color placeholder_color_{1, 1, 1, 0.5f};
    color selection_color_{131 / 255.0f, 113 / 255.0f, 147 / 255.0f, 0.5f};
    bool focused_ = false;
    float blink_time_ = 0;
    bool caret_visible_ = false;
    bool selecting_ = false;
    bool dragged_ = false;
    int click_count_ = 0;
    float last_click_time_ = -1000;
    float last_click_x_ = 0;
    float clock_ = 0;
    char16_t pending_high_ = 0;  // first half of a pair typed as two character messages
    std::deque<snapshot> undo_;
    std::vector<snapshot> redo_;
};

}  // namespace d2dui
