#pragma once
// The main page's list of nodes: one 64-DIP card per node with its flag, name, protocol label and
// latency; a selection that survives reloads by name and subtitle; wheel, thumb and keyboard
// scrolling with an eased offset. Keys (while focused): Up and Down move the selection by a row,
// Page Up and Page Down by the whole rows the box shows, Home and End to the ends; Enter
// activates.
//
// Only the rows inside the list's box are laid out and painted. Flags come from
// `flag_resource_for`: drawn as SVG where the backend has SVG, else as the flag's PNG twin for the
// scale in force (ui/flags.h); when neither exists (or the document does not load) a globe is
// drawn in its place. A name whose flag came from an emoji pair is shown without that pair.
// Flag documents and bitmaps are cached per render context. UI thread only.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "components/animator.h"
#include "d2dui/widget.h"
#include "engine/engine_state.h"

namespace pelto::ui {

class node_list : public d2dui::widget {
public:
    static constexpr float row_pitch = 64;

    node_list();

    std::function<void()> on_select;
    std::function<void()> on_activate;
    std::u16string empty_text;

    // Replaces the entries. The selected node (by name and subtitle) stays selected; when it is
    // gone, or the list has just settled and the user has not picked a row (by click or key)
    // since the chosen node was last lost, the first node with a measured latency is selected
    // (else the first node).
    void set_nodes(std::vector<pelto::node_entry> entries, bool settled);
    bool select_by_key(const std::u16string& name, const std::u16string& subtitle);
    // Clamped to [0, max_scroll].
    void scroll_to(float offset, bool animate);

    int selected() const { return selected_; }
    const std::vector<pelto::node_entry>& entries() const { return entries_; }
    bool settled() const { return settled_; }
    float scroll_target() const { return target_; }
    float scroll_offset() const { return scroll_.value; }
    float max_scroll() const;
    bool scrollable() const { return max_scroll() > 0; }
    bool dragging() const { return dragging_; }
    // Thumb rectangle (only meaningful when scrollable).
    d2dui::rect thumb() const;
    // Resource id of the flag drawn for the entry, or 0 for the globe (after the last paint).
    std::int32_t flag_for(std::size_t index) const;
    // The entry's name as drawn (without the emoji flag the list draws as a picture).
    const std::u16string& shown_name(std::size_t index) const { return shown_names_.at(index); }

    // The two-letter pass of the flag lookup asks this (the embedded resources by default).
    std::function<bool(std::int32_t)> flag_exists;

protected:
    float focus_ring_radius() const override { return 11; }
    void on_mount() override;
    void on_update(float dt) override { scroll_.step(dt); }
    bool on_event(const d2dui::input_event& e) override;
    void on_paint(d2dui::render_context& rc) override;
    void cancel_input() override { dragging_ = false; }

private:
    void select_row(int row, bool scroll_into_view);
    void draw_flag(d2dui::render_context& rc, const d2dui::rect& r, std::size_t index);
    // The PNG twin of flag `id` for a flag `pixel_height` pixels high; null when there is none.
    const d2dui::bitmap* flag_twin(d2dui::render_context& rc, std::int32_t id, float pixel_height);

    std::vector<pelto::node_entry> entries_;
    std::vector<std::int32_t> flag_ids_;       // per entry, computed when the entries change
    std::vector<std::u16string> shown_names_;  // per entry, likewise
    int selected_ = -1;
    bool user_chose_ = false;  // the selection is the user's pick, not the automatic one
    bool settled_ = false;
    float target_ = 0;
    zelno::components::number_animator scroll_;
    bool dragging_ = false;
    float drag_start_y_ = 0;
    float drag_start_offset_ = 0;
    const d2dui::render_context* flag_context_ = nullptr;
    std::map<std::int32_t, std::shared_ptr<d2dui::svg_document>> flag_cache_;
    std::map<std::int32_t, std::shared_ptr<d2dui::bitmap>> twin_cache_;  // by twin id; misses too
    std::map<std::int32_t, bool> flag_drawn_;                            // by flag id, last paint
};

// The globe drawn when a flag cannot be: circle, meridian ellipse and equator, centred in `r`.
void draw_globe(d2dui::render_context& rc, const d2dui::rect& r);

}  // namespace pelto::ui
