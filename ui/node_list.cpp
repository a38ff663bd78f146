#include "ui/node_list.h"

#include <algorithm>
#include <cmath>

#include "base/obfuscated.h"
#include "base/text.h"
#include "d2dui/platform_services.h"
#include "ui/flags.h"
#include "base/localized_text.h"
#include "ui/palette.h"

namespace pelto::ui {

namespace {

constexpr std::uint32_t vk_return = 0x0D, vk_prior = 0x21, vk_next = 0x22, vk_end = 0x23, vk_home = 0x24, vk_up = 0x26,
                        vk_down = 0x28;
constexpr float thumb_zone = 9;


}  // namespace

node_list::node_list() : flag_exists(embedded_resource_exists)
{
    focusable = true;
    cursor = d2dui::cursor_hand;
}

void node_list::on_mount()
{
    scroll_.set_curve(0.4f, 0.14f, 0.3f, 1, 0.16f);
}

float node_list::max_scroll() const
{
    return std::max(0.0f, row_pitch * static_cast<float>(entries_.size()) - area().height);
}

void node_list::scroll_to(float offset, bool animate)
{
    target_ = std::clamp(offset, 0.0f, max_scroll());
    if (animate) {
        scroll_.animate_to(target_);
    } else {
        scroll_.jump(target_);
    }
}

void node_list::set_nodes(std::vector<pelto::node_entry> entries, bool settled)
{
    std::u16string name, subtitle;
    const bool had = selected_ >= 0 && selected_ < static_cast<int>(entries_.size());
    if (had) {
        name = entries_[static_cast<std::size_t>(selected_)].name;
        subtitle = entries_[static_cast<std::size_t>(selected_)].subtitle;
    }
    entries_ = std::move(entries);
    flag_ids_.clear();
    shown_names_.clear();
    for (const auto& e : entries_) {
        flag_ids_.push_back(flag_resource_for(e.name, flag_exists));
        shown_names_.push_back(flag_ids_.back() != 0 ? name_without_flag_emoji(e.name) : e.name);
    }
    selected_ = -1;
    if (had) {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].name == name && entries_[i].subtitle == subtitle) {
                selected_ = static_cast<int>(i);
                break;
            }
        }
    }
    if (selected_ < 0) {
        user_chose_ = false;  // the node the user chose is gone
    }
    if (selected_ < 0 || (settled && !settled_ && !user_chose_)) {
        selected_ = entries_.empty() ? -1 : 0;
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].latency_ms >= 0) {
                selected_ = static_cast<int>(i);
                break;
            }
        }
    }
    settled_ = settled;
    target_ = std::clamp(target_, 0.0f, max_scroll());
    if (scroll_.value > max_scroll()) {
        scroll_.jump(target_);
    }
}

bool node_list::select_by_key(const std::u16string& name, const std::u16string& subtitle)
{
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].name == name && entries_[i].subtitle == subtitle) {
            selected_ = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

d2dui::rect node_list::thumb() const
{
    const d2dui::rect& r = area();
    const float content = row_pitch * static_cast<float>(entries_.size());
    if (content <= 0) {
        return {r.right() - 4, r.y, 3, 0};
    }
    const float h = std::min(std::max(32.0f, r.height * r.height / content), r.height);
    const float range = max_scroll();
    const float y = r.y + (range > 0 ? (r.height - h) * scroll_.value / range : 0);
    return {r.right() - 4, y, 3, h};
}

std::int32_t node_list::flag_for(std::size_t index) const
{
    if (index >= flag_ids_.size()) {
        return 0;
    }
    const std::int32_t id = flag_ids_[index];
    const auto it = flag_drawn_.find(id);
    return id != 0 && it != flag_drawn_.end() && it->second ? id : 0;
}

void node_list::select_row(int row, bool scroll_into_view)
{
    selected_ = row;
    user_chose_ = true;
    if (scroll_into_view) {
        const float top = row_pitch * static_cast<float>(row);
        if (top < target_) {
            scroll_to(top, true);
        } else if (top + row_pitch > target_ + area().height) {
            scroll_to(top + row_pitch - area().height, true);
        }
    }
    if (on_select) {
        on_select();
    }
}

bool node_list::on_event(const d2dui::input_event& e)
{
    const d2dui::rect& r = area();
    if (e.is_keyboard) {
        if (e.kind == d2dui::input_kind::key_cancel) {
            dragging_ = false;
            return false;
        }
        if (d2dui::input().focused_widget != this || e.kind != d2dui::input_kind::key_down) {
            return false;
        }
        const int n = static_cast<int>(entries_.size());
        int row = 0;
        switch (e.virtual_key) {
        case vk_return:
            if (on_activate) {
                on_activate();
            }
            return true;
        case vk_down:
            row = selected_ + 1;
            break;
        case vk_up:
            row = selected_ - 1;
            break;
        case vk_prior:
        case vk_next: {
            // A page is the number of whole rows the box shows (at least one); the move stops at
            // the first or last row.
            const int page = std::max(1, static_cast<int>(r.height / row_pitch));
            if (n == 0) {
                return true;
            }
            row = std::clamp(selected_ + (e.virtual_key == vk_next ? page : -page), 0, n - 1);
            break;
        }
        case vk_home:
            row = 0;
            break;
        case vk_end:
            row = n - 1;
            break;
        default:
            return false;
        }
        if (row >= 0 && row < n) {
            select_row(row, true);
        }
        return true;
    }
    const bool inside = r.contains({e.x, e.y});
    switch (e.kind) {
    case d2dui::input_kind::pointer_wheel:
        if (!inside) {
            return false;
        }
        scroll_to(target_ - e.wheel * 96, true);
        return true;
    case d2dui::input_kind::pointer_down: {
        if (e.button != d2dui::button_left || !inside) {
            return false;
        }
        if (scrollable() && e.x >= r.right() - thumb_zone) {
            const d2dui::rect t = thumb();
            if (e.y < t.y || e.y > t.bottom()) {
                // Jump so that the thumb's centre is under the pointer.
                const float travel = r.height - t.height;
                if (travel > 0) {
                    scroll_to((e.y - r.y - t.height / 2) / travel * max_scroll(), false);
                }
            }
            dragging_ = true;
            drag_start_y_ = e.y;
            drag_start_offset_ = scroll_.value;
            return true;
        }
        const int row = static_cast<int>(std::floor((e.y - r.y + scroll_.value) / row_pitch));
        if (row >= 0 && row < static_cast<int>(entries_.size())) {
            select_row(row, false);
        }
        return true;
    }
    case d2dui::input_kind::pointer_move:
        if (!dragging_) {
            return false;
        }
        {
            // The thumb can fill the whole track (a list barely taller than its box with the
            // 32-DIP minimum thumb): then there is no travel and dragging cannot move the list.
            const float travel = r.height - thumb().height;
            if (travel > 0) {
                scroll_to(drag_start_offset_ + max_scroll() * (e.y - drag_start_y_) / travel, false);
            }
        }
        return true;
    case d2dui::input_kind::pointer_up:
        if (e.button == d2dui::button_left && dragging_) {
            dragging_ = false;
            return true;
        }
        return false;
    default:
        return false;
    }
}

void draw_globe(d2dui::render_context& rc, const d2dui::rect& r)
{
    const float radius = 0.42f * r.height;
    const d2dui::point c{r.x + r.width / 2, r.y + r.height / 2};
    rc.draw_ellipse(c, radius, radius, palette::flag_placeholder, 0.9f);
    rc.draw_ellipse(c, radius / 2, radius, palette::flag_placeholder, 0.9f);
    rc.draw_line({c.x - radius, c.y}, {c.x + radius, c.y}, palette::flag_placeholder, 0.9f);
}

const d2dui::bitmap* node_list::flag_twin(d2dui::render_context& rc, std::int32_t id, float pixel_height)
{
    const std::int32_t twin = flag_twin_id(id, flag_twin_for_height(pixel_height));
    auto it = twin_cache_.find(twin);
    if (it == twin_cache_.end()) {
        it = twin_cache_.emplace(twin, rc.try_load_png(twin)).first;  // a missing twin is cached too
    }
    return it->second.get();
}

void node_list::draw_flag(d2dui::render_context& rc, const d2dui::rect& r, std::size_t index)
{
    if (flag_context_ != &rc) {
        flag_cache_.clear();
        twin_cache_.clear();
        flag_context_ = &rc;
    }
    const std::int32_t id = index < flag_ids_.size() ? flag_ids_[index] : 0;
    if (id == 0) {
        draw_globe(rc, r);
        return;
    }
    bool& drawn = flag_drawn_[id];
    drawn = true;
    if (rc.svg_supported()) {
        auto it = flag_cache_.find(id);
        if (it == flag_cache_.end()) {
            it = flag_cache_.emplace(id, rc.load_svg(id, {28, 19})).first;  // a failure is cached too
        }
        if (it->second) {
            rc.push_translate(r.x, r.y);
            rc.push_scale(r.width / 28, r.height / 19);
            rc.draw_svg(*it->second);
            rc.pop_transform();
            rc.pop_transform();
            return;
        }
    }
    // No SVG here (or a document that did not load): the twin for the pixels the box covers under
    // the current transform (DPI and zoom), placed as the SVG viewport places the flag: its own
    // aspect, full height, centred.
    const d2dui::matrix& m = rc.transform();
    const float pixel_height = r.height * std::hypot(m.m21, m.m22);
    if (const d2dui::bitmap* twin = flag_twin(rc, id, pixel_height)) {
        const d2dui::size px = twin->pixel_size();
        const float width = px.height > 0 ? std::min(r.width, r.height * px.width / px.height) : r.width;
        rc.draw_bitmap(*twin, {r.x + (r.width - width) / 2, r.y, width, r.height}, 1);
        return;
    }
    drawn = false;
    draw_globe(rc, r);
}

void node_list::on_paint(d2dui::render_context& rc)
{
    const d2dui::rect& r = area();
    d2dui::clip_saver clip(rc, r);
    if (entries_.empty()) {
        d2dui::text_style s = d2dui::text_in_box(empty_text, r, 13, palette::muted_text);
        s.h_align = d2dui::text_alignment::centre;
        rc.draw_text(s);
        return;
    }
    const bool scrolls = scrollable();
    const float offset = scroll_.value;
    const float card_width = scrolls ? r.width - 12 : r.width;
    const bool second = use_second_language();
    for (std::size_t row = static_cast<std::size_t>(std::max(0.0f, offset / row_pitch)); row < entries_.size(); ++row) {
        const float y = r.y + row_pitch * static_cast<float>(row) - offset + 2;
        if (y >= r.bottom()) {
            break;
        }
        const pelto::node_entry& entry = entries_[row];
        const d2dui::rect card{r.x, y, card_width, 58};
        rc.fill_rounded_rect(card, 11, static_cast<int>(row) == selected_ ? palette::selected_card : palette::card);
        draw_flag(rc, {card.x + 14, card.y + 19, 28, 19}, row);
        d2dui::text_style name = d2dui::text_in_box(shown_names_[row], {card.x + 56, card.y + 9, card.width - 142, 22}, 13,
                                         entry.latency_ms == pelto::latency_failed ? palette::muted_text
                                                                                   : palette::primary_text);
        name.fit = d2dui::text_fit::one_line;
        rc.draw_text(name);
        d2dui::text_style subtitle =
            d2dui::text_in_box(entry.subtitle, {card.x + 56, card.y + 32, card.width - 142, 17}, 10.5f, palette::muted_text);
        subtitle.fit = d2dui::text_fit::one_line;
        rc.draw_text(subtitle);
        d2dui::text_style latency = d2dui::text_in_box({}, {r.right() - 79, card.y, 65, 58}, 11, palette::muted_text);
        latency.h_align = d2dui::text_alignment::trailing;
        if (entry.latency_ms >= 0) {
            latency.text = ascii_to_utf16(std::to_string(entry.latency_ms)) + PELTO_TEXT(u" ms").str();
            latency.color = palette::accent_text;
        } else {
            latency.text = localized_text(
                entry.latency_ms == pelto::latency_failed ? message_id::unavailable : message_id::testing, second);
        }
        rc.draw_text(latency);
    }
    if (scrolls) {
        rc.fill_rounded_rect(thumb(), 1.5f, palette::scroll_thumb);
    }
}

}  // namespace pelto::ui
