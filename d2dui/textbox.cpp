#include "d2dui/textbox.h"

#include "d2dui/frame_schedule.h"

#include <algorithm>
#include <cmath>

#include "d2dui/platform_services.h"

namespace d2dui {

namespace {

constexpr std::uint32_t vk_back = 0x08, vk_tab = 0x09, vk_return = 0x0D, vk_end = 0x23, vk_home = 0x24,
                        vk_left = 0x25, vk_right = 0x27, vk_delete = 0x2E;

bool is_high(char16_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool is_low(char16_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

bool is_word(char16_t c)
{
    if (c < 0x80) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_';
    }
    // Letters of other scripts (and both halves of pairs) count as word characters; the general,
    // CJK and full-width punctuation blocks and the spaces do not.
    if (c == 0xA0 || (c >= 0x2000 && c <= 0x206F) || (c >= 0x3000 && c <= 0x303F) || (c >= 0xFF00 && c <= 0xFF0F) ||
        (c >= 0xFF1A && c <= 0xFF20)) {
        return false;
    }
    return c >= 0xC0;
}

// Drops line breaks and unpaired surrogates.
std::u16string clean(std::u16string_view in)
{
    std::u16string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        const char16_t c = in[i];
        if (c == u'\r' || c == u'\n') {
            continue;
        }
        if (is_high(c)) {
            if (i + 1 < in.size() && is_low(in[i + 1])) {
                out += c;
                out += in[++i];
            }
            continue;
        }
        if (is_low(c)) {
            continue;
        }
        out += c;
    }
    return out;
}

// The longest prefix of `text` of at most `limit` units that does not end inside a pair.
std::size_t cut_length(const std::u16string& text, std::size_t limit)
{
    if (text.size() <= limit) {
        return text.size();
    }
    if (limit > 0 && is_high(text[limit - 1]) && is_low(text[limit])) {
        return limit - 1;
    }
    return limit;
}

}  // namespace

textbox::textbox(std::u16string placeholder, float font_size, bool password)
    : font_size_(font_size), password_(password), placeholder_(std::move(placeholder))
{
    cursor = cursor_ibeam;
}

void textbox::set_text(const std::u16string& text)
{
    std::lock_guard lock(text_mutex_);
    text_ = text;
    if (max_length_ > 0) {
        text_.resize(cut_length(text_, static_cast<std::size_t>(max_length_)));
    }
    caret_ = anchor_ = static_cast<int>(text_.size());
    scroll_ = 0;
    undo_.clear();
    redo_.clear();
    pending_high_ = 0;
}

std::u16string textbox::get_text() const
{
    std::lock_guard lock(text_mutex_);
    return text_;
}

void textbox::on_mount()
{
    focusable = true;
    undo_.push_back({text_, caret_, anchor_});
}

void textbox::on_unmount()
{
    focused_ = false;
    selecting_ = false;
    dragged_ = false;
}

void textbox::on_focus()
{
    focused_ = true;
    blink_time_ = 0;
    caret_visible_ = true;
    if (on_focus_change) {
        on_focus_change(true);
    }
}

void textbox::on_blur()
{
    focused_ = false;
    selecting_ = false;
    dragged_ = false;
    pending_high_ = 0;
    if (on_focus_change) {
        on_focus_change(false);
    }
}

void textbox::on_update(float dt)
{
    clock_ += dt;
    if (focused_) {
        blink_time_ += dt;
        while (blink_time_ >= 0.5f) {
            caret_visible_ = !caret_visible_;
            blink_time_ -= 0.5f;
        }
        frames().request_frame_after(0.5f - blink_time_);  // the caret's next blink
    }
}

int textbox::prev_boundary(int i) const
{
    if (i <= 0) {
        return 0;
    }
    if (i >= 2 && is_low(text_[i - 1]) && is_high(text_[i - 2])) {
        return i - 2;
    }
    return i - 1;
}

int textbox::next_boundary(int i) const
{
    const int n = static_cast<int>(text_.size());
    if (i >= n) {
        return n;
    }
    if (i + 1 < n && is_high(text_[i]) && is_low(text_[i + 1])) {
        return i + 2;
    }
    return i + 1;
}

int textbox::snap(int i) const
{
    i = std::clamp(i, 0, static_cast<int>(text_.size()));
    if (i > 0 && i < static_cast<int>(text_.size()) && is_high(text_[i - 1]) && is_low(text_[i])) {
        return i - 1;
    }
    return i;
}

int textbox::word_left(const std::u16string& text, int i)
{
    i = std::clamp(i, 0, static_cast<int>(text.size()));
    while (i > 0 && !is_word(text[i - 1])) {
        --i;
    }
    while (i > 0 && is_word(text[i - 1])) {
        --i;
    }
    return i;
}

int textbox::word_right(const std::u16string& text, int i)
{
    const int n = static_cast<int>(text.size());
    i = std::clamp(i, 0, n);
    while (i < n && !is_word(text[i])) {
        ++i;
    }
    while (i < n && is_word(text[i])) {
        ++i;
    }
    return i;
}

std::u16string textbox::display_text(int end) const
{
    const std::u16string_view part(text_.data(), static_cast<std::size_t>(std::clamp(end, 0, static_cast<int>(text_.size()))));
    if (!password_) {
        return std::u16string(part);
    }
    std::u16string bullets;
    for (std::size_t i = 0; i < part.size(); ++i) {
        if (!(is_low(part[i]) && i > 0 && is_high(part[i - 1]))) {
            bullets += u'\u2022';
        }
    }
    return bullets;
}

float textbox::width_before(int i)
{
    if (context() == nullptr || i <= 0) {
        return 0;
    }
    return context()->measure_text(display_text(i), font_size_, {}, weight, 0, 0).width;
}

int textbox::index_at(float x)
{
    if (context() == nullptr || text_.empty()) {
        return 0;
    }
    const int n = static_cast<int>(text_.size());
    const float local = x - area().x + scroll_;
    const std::size_t hit = context()->hit_test_text(display_text(n), font_size_, {}, weight, 0, local);
    if (!password_) {
        return snap(static_cast<int>(std::min(hit, text_.size())));
    }
    // One bullet per code point: walk that many code points into the text.
    int i = 0;
    for (std::size_t k = 0; k < hit && i < n; ++k) {
        i = next_boundary(i);
    }
    return i;
}

std::u16string textbox::selection_text() const
{
    const int from = std::min(caret_, anchor_), to = std::max(caret_, anchor_);
    return text_.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from));
}

void textbox::push_snapshot()
{
    snapshot now{text_, caret_, anchor_};
    if (!undo_.empty() && undo_.back() == now) {
        return;
    }
    undo_.push_back(std::move(now));
    redo_.clear();
    while (undo_.size() > undo_limit) {
        undo_.pop_front();
    }
}

void textbox::restore(const snapshot& s)
{
    {
        std::lock_guard lock(text_mutex_);
        text_ = s.text;
    }
    const int n = static_cast<int>(text_.size());
    caret_ = snap(std::min(s.caret, n));
    anchor_ = snap(std::min(s.anchor, n));
}

void textbox::undo()
{
    if (undo_.empty()) {
        return;
    }
    redo_.push_back({text_, caret_, anchor_});
    snapshot s = std::move(undo_.back());
    undo_.pop_back();
    restore(s);
}

void textbox::redo()
{
    if (redo_.empty()) {
        return;
    }
    undo_.push_back({text_, caret_, anchor_});
    snapshot s = std::move(redo_.back());
    redo_.pop_back();
    restore(s);
}

void textbox::delete_range(int from, int to)
{
    from = snap(from);
    to = snap(to);
    if (to <= from) {
        return;
    }
    {
        std::lock_guard lock(text_mutex_);
        text_.erase(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from));
    }
    caret_ = anchor_ = from;
}

bool textbox::delete_selection()
{
    if (caret_ == anchor_) {
        return false;
    }
    delete_range(std::min(caret_, anchor_), std::max(caret_, anchor_));
    return true;
}

void textbox::insert(std::u16string_view text)
{
    delete_selection();
    std::u16string add = clean(text);
    if (max_length_ > 0) {
        const std::size_t room = text_.size() >= static_cast<std::size_t>(max_length_)
                                     ? 0
                                     : static_cast<std::size_t>(max_length_) - text_.size();
        add.resize(cut_length(add, room));
    }
    {
        std::lock_guard lock(text_mutex_);
        text_.insert(static_cast<std::size_t>(caret_), add);
    }
    caret_ = anchor_ = caret_ + static_cast<int>(add.size());
}

void textbox::copy_selection()
{
    if (caret_ != anchor_ && context() != nullptr && context()->platform != nullptr) {
        context()->platform->set_clipboard_text(selection_text());
    }
}

void textbox::moved()
{
    blink_time_ = 0;
    caret_visible_ = true;
    const float x = width_before(caret_);
    const float w = area().width;
    if (x - scroll_ < 2) {
        scroll_ = x - 2;
    }
    if (x - scroll_ > w - 2) {
        scroll_ = x - w + 2;
    }
    const float full = width_before(static_cast<int>(text_.size()));
    scroll_ = std::clamp(scroll_, 0.0f, std::max(0.0f, full - w + 2));
    if (context() != nullptr && context()->platform != nullptr) {
        // In DIPs; the window converts to its pixels (zoom and DPI).
        context()->platform->set_ime_position({area().x - scroll_ + x, area().y}, area().height);
    }
}

bool textbox::on_event(const input_event& e)
{
    if (!e.is_keyboard) {
        return on_pointer(e);
    }
    if (!focused_) {
        return false;
    }
    if (e.kind == input_kind::key_char) {
        return on_character(e.character);
    }
    if (e.kind == input_kind::key_down) {
        return on_key(e);
    }
    return false;
}

bool textbox::on_pointer(const input_event& e)
{
    if (e.kind == input_kind::pointer_down && e.button == button_left && area().contains({e.x, e.y})) {
        selecting_ = true;
        if (clock_ - last_click_time_ < 0.4f && std::fabs(e.x - last_click_x_) < 4) {
            ++click_count_;
        } else {
            click_count_ = 1;
        }
        last_click_time_ = clock_;
        last_click_x_ = e.x;
        const int index = index_at(e.x);
        if (click_count_ >= 3) {
            anchor_ = 0;
            caret_ = static_cast<int>(text_.size());
        } else if (click_count_ == 2) {
            // The word touching the index (the one after it first), else the words on either side.
            int from = index, to = index;
            const int n = static_cast<int>(text_.size());
            if ((index < n && is_word(text_[index])) || (index > 0 && is_word(text_[index - 1]))) {
                while (from > 0 && is_word(text_[from - 1])) {
                    --from;
                }
                while (to < n && is_word(text_[to])) {
                    ++to;
                }
            } else {
                from = word_left(text_, index);
                to = word_right(text_, index);
            }
            anchor_ = snap(from);
            caret_ = snap(to);
        } else {
            caret_ = index;
            if (!e.shift) {
                anchor_ = index;
            }
        }
        moved();
        return true;
    }
    if (e.kind == input_kind::pointer_move && selecting_ && focused_) {
        dragged_ = true;
        caret_ = index_at(e.x);
        moved();
        return true;
    }
    if (e.kind == input_kind::pointer_up && e.button == button_left) {
        const bool was = selecting_;
        selecting_ = false;
        dragged_ = false;
        return was && focused_;
    }
    return false;
}

bool textbox::on_character(char16_t c)
{
    if (c < 32 || c == 127 || read_only) {
        return false;
    }
    char16_t unit[2] = {c, 0};
    std::u16string_view piece(unit, 1);
    if (is_high(c)) {
        pending_high_ = c;  // wait for the second half
        return true;
    }
    if (is_low(c)) {
        if (pending_high_ == 0) {
            return true;  // a lone second half: dropped
        }
        unit[0] = pending_high_;
        unit[1] = c;
        piece = std::u16string_view(unit, 2);
    }
    pending_high_ = 0;
    push_snapshot();
    insert(piece);
    moved();
    if (on_change) {
        on_change(text_);
    }
    return true;
}

bool textbox::on_key(const input_event& e)
{
    const int n = static_cast<int>(text_.size());
    bool edited = false;
    const bool has_selection = caret_ != anchor_;
    switch (e.virtual_key) {
    case vk_back:
        if (read_only) {
            return true;
        }
        push_snapshot();
        if (!delete_selection()) {
            delete_range(e.ctrl ? word_left(text_, caret_) : prev_boundary(caret_), caret_);
        }
        edited = true;
        break;
    case vk_delete:
        if (read_only) {
            return true;
        }
        push_snapshot();
        if (!delete_selection()) {
            const int from = caret_;
            delete_range(from, e.ctrl ? word_right(text_, caret_) : next_boundary(caret_));
            caret_ = anchor_ = from;
        }
        edited = true;
        break;
    case vk_tab:
        if (e.ctrl) {
            return false;
        } else {
            widget* root = this;
            while (root->parent() != nullptr) {
                root = root->parent();
            }
            focus_next(root, this, e.shift);
            return true;
        }
    case vk_return:
        if (on_submit) {
            on_submit(text_);
        }
        break;
    case vk_home:
    case vk_end:
        caret_ = e.virtual_key == vk_home ? 0 : n;
        if (!e.shift) {
            anchor_ = caret_;
        }
        break;
    case vk_left:
    case vk_right: {
        const bool left = e.virtual_key == vk_left;
        if (e.ctrl) {
            caret_ = left ? word_left(text_, caret_) : word_right(text_, caret_);
            if (!e.shift) {
                anchor_ = caret_;
            }
        } else if (e.shift || !has_selection) {
            caret_ = left ? prev_boundary(caret_) : next_boundary(caret_);
            if (!e.shift) {
                anchor_ = caret_;
            }
        } else {
            caret_ = anchor_ = left ? std::min(caret_, anchor_) : std::max(caret_, anchor_);
        }
        break;
    }
    default:
        // Ctrl+Alt is AltGr on many layouts: its character arrives as a character message.
        if (!e.ctrl || e.alt) {
            return false;
        }
        switch (e.virtual_key) {
        case 'A':
            anchor_ = 0;
            caret_ = n;
            break;
        case 'C':
            copy_selection();
            break;
        case 'X':
            if (read_only) {
                return true;
            }
            copy_selection();
            push_snapshot();
            edited = delete_selection();
            break;
        case 'V':
            if (read_only) {
                return true;
            } else {
                const std::u16string pasted =
                    context() != nullptr && context()->platform != nullptr ? context()->platform->clipboard_text() : u"";
                push_snapshot();
                insert(pasted);
                edited = true;
            }
            break;
        case 'Z':
            if (read_only) {
                return true;
            }
            undo();
            edited = true;
            break;
        case 'Y':
            if (read_only) {
                return true;
            }
            redo();
            edited = true;
            break;
        default:
            return false;
        }
    }
    moved();
    if (edited && on_change) {
        on_change(text_);
    }
    return true;
}

void textbox::on_paint(render_context& rc)
{
    const rect& r = area();
    clip_saver clip(rc, r);
    text_style s;
    s.size = font_size_;
    s.weight = weight;
    s.y = r.y;
    s.height = r.height;
    s.v_align = paragraph_alignment::centre;
    if (!text_.empty() || focused_) {
        const float caret_x = width_before(caret_) - scroll_;
        if (focused_ && caret_ != anchor_) {
            const float a = width_before(std::min(caret_, anchor_)) - scroll_;
            const float b = width_before(std::max(caret_, anchor_)) - scroll_;
            const float left = std::clamp(a, 0.0f, r.width), right = std::clamp(b, 0.0f, r.width);
            rc.fill_rect({r.x + left, r.y, right - left, r.height}, selection_color_);
        }
        s.text = display_text(static_cast<int>(text_.size()));
        s.x = r.x - scroll_;
        s.width = width_before(static_cast<int>(text_.size())) + r.width + 64;  // never wraps
        s.color = text_color_;
        rc.draw_text(s);
        if (focused_ && caret_visible_) {
            rc.fill_rect({r.x + std::clamp(caret_x, 0.0f, r.width - 1), r.y, 1, r.height}, text_color_);
        }
    } else {
        s.text = placeholder_;
        s.x = r.x;
        s.width = r.width;
        s.color = placeholder_color_;
        rc.draw_text(s);
    }
}

}  // namespace d2dui
