#pragma once
// What widgets draw with.
//
// `render_context` is the drawing surface of the toolkit: solid shapes, text in the embedded
// fonts, bitmaps and SVG documents, an axis-aligned clip / layer stack and a transform stack. All
// coordinates are DIPs; the window pushes its DPI scale before painting. The stacks live here, so
// every backend keeps the same push/pop rules; a backend implements the `do_*` operations. The
// product's backend draws with Direct2D and DirectWrite (Windows); tests use a recording one.
//
// Pops must pair with pushes: a pop on an empty stack does nothing (it never unbalances the
// backend). The RAII savers below restore what they pushed on every exit path.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "d2dui/geometry.h"

namespace d2dui {

class platform_services;

// What happens to text that does not fit its layout box.
enum class text_fit : std::int32_t {
    wrap,       // lines break at the box's width; what runs past the box is clipped
    one_line,   // no line breaks; text wider than the box is cut with an ellipsis
    two_lines,  // lines break at the box's width, at most two; text that needs more is cut, the
                // second line ending with an ellipsis (draw_text; draw_text_box wraps)
};

// Where a line sits across the box: at its start, centred, or at its end (reading direction).
enum class text_alignment : std::int32_t { leading, centre, trailing };
// Where the block of lines sits down the box.
enum class paragraph_alignment : std::int32_t { top, centre, bottom };

// Text drawing parameters.
struct text_style {
    std::u16string text;  // nothing is drawn when empty
    float x = 0, y = 0, width = 0, height = 0;  // layout box
    float size = 14;
    std::u16string family;  // empty: the primary embedded family
    d2dui::color color{0, 0, 0, 1};
    text_alignment h_align = text_alignment::leading;
    paragraph_alignment v_align = paragraph_alignment::top;
    std::int32_t weight = 400;
    std::int32_t style = 0;
    bool underline = false;
    bool outline = false;
    d2dui::color outline_color{0, 0, 0, 1};
    float outline_width = 1;  // 0 or less means 1
    text_fit fit = text_fit::wrap;
};

// A decoded image owned by the backend that made it.
class bitmap {
public:
    virtual ~bitmap() = default;
    virtual size pixel_size() const = 0;
};

// A parsed SVG document sized to a viewport.
class svg_document {
public:
    virtual ~svg_document() = default;
};

// The caller's cached opacity layer: the backend creates its object on first use and reuses it
// (again after its devices were recreated: `generation` is the device generation it belongs to).
struct layer_cache {
    std::shared_ptr<void> object;
    std::uint64_t generation = 0;
};

class render_context {
public:
    virtual ~render_context() = default;

    float dpi_scale = 1.0f;                // window DPI / 96
    platform_services* platform = nullptr;  // set by the window; null without one

    virtual void fill_rect(const rect& r, const color& c) = 0;
    virtual void fill_rounded_rect(const rect& r, float radius, const color& c) = 0;
    // Outline of a rounded rectangle, the stroke `width` centred on its edge. This default, for
    // backends without one, draws straight lines with each corner in short chords.
    virtual void draw_rounded_rect(const rect& r, float radius, const color& c, float width);
    virtual void fill_circle(point centre, float radius, const color& c) = 0;
    virtual void draw_line(point from, point to, const color& c, float width) = 0;
    // Outline of an ellipse with radii `rx`, `ry` around `centre`.
    virtual void draw_ellipse(point centre, float rx, float ry, const color& c, float width) = 0;
    // Fills the closed figure `p` (nothing when it is empty).
    virtual void fill_path(const path& p, const color& c) = 0;
    virtual void draw_bitmap(const bitmap& image, const rect& r, float opacity) = 0;
    virtual void draw_svg(const svg_document& document) = 0;
    virtual void draw_text(const text_style& s) = 0;
    virtual void draw_text_box(const text_style& s) = 0;
    // Width (including trailing white space) and height of `text` laid out with at most
    // `max_width` DIPs per line (65536 when 0 or less).
    virtual size measure_text(const std::u16string& text, float font_size, const std::u16string& family,
                              std::int32_t weight, std::int32_t style, float max_width) = 0;
    // The caret position (0 to `text.size()`) nearest to `x` DIPs from the leading edge of `text`
    // laid out on one line. A backend answers with one layout and one hit test; this default,
    // for backends without one, searches the prefix widths (a logarithmic number of measures).
    // Callers snap the result to a code-point boundary.
    virtual std::size_t hit_test_text(const std::u16string& text, float font_size, const std::u16string& family,
                                      std::int32_t weight, std::int32_t style, float x);

    // PNG resource decoded to a bitmap; raises std::runtime_error when the resource is missing or
    // does not decode.
    virtual std::shared_ptr<bitmap> load_png(int resource_id) = 0;
    // The same, but null when the program carries no such resource (one that exists and does not
    // decode still raises).
    virtual std::shared_ptr<bitmap> try_load_png(int resource_id) = 0;
    // SVG resource as a document for a viewport; null when the resource is missing or this
    // backend cannot draw SVG (callers then draw a placeholder).
    virtual std::shared_ptr<svg_document> load_svg(int resource_id, size viewport) = 0;

    // Whether load_svg can produce documents at all on this backend. Where it cannot, a missing
    // document is the expected state and widgets draw their fallbacks; where it can, a null
    // document means the resource itself is missing or malformed.
    virtual bool svg_supported() const = 0;

    // Counts the GPU devices this context has drawn with: it changes when a lost device was
    // replaced. A cache of device objects of its own (made outside load_png / load_svg, whose
    // results follow by themselves) compares it and makes them again. 1 for backends without
    // devices.
    virtual std::uint64_t device_generation() const { return 1; }

    // Clip / layer stack; `pop_clip` ends the most recent of the four.
    void push_clip(const rect& r);
    void push_layer(const rect& r, float radius);
    void push_opacity(layer_cache& cache, float opacity);
    // A layer masked by the closed figure `p` at opacity 1.
    void push_path_layer(const path& p);
    void pop_clip();
    std::size_t clip_depth() const { return clip_kinds_.size(); }

    // Transform stack. A push applies the new transform in the current coordinate space (a
    // translation inside the window's DPI scale moves by DIPs); pop restores the saved one.
    void push_translate(float dx, float dy);
    void push_scale(float sx, float sy);
    void push_transform(const matrix& m);
    void pop_transform();
    std::size_t transform_depth() const { return saved_transforms_.size(); }
    const matrix& transform() const { return current_; }
    // Sets the transform outright and forgets the saved ones (start of a frame).
    void reset_transform(const matrix& m = {});

protected:
    enum class clip_kind { axis_aligned, layer };
    virtual void do_set_transform(const matrix& m) = 0;
    virtual void do_push_clip(const rect& r) = 0;
    virtual void do_push_layer(const rect& r, float radius) = 0;
    virtual void do_push_opacity(layer_cache& cache, float opacity) = 0;
    virtual void do_push_path_layer(const path& p) = 0;
    virtual void do_pop(clip_kind kind) = 0;

private:
    std::vector<clip_kind> clip_kinds_;
    std::vector<matrix> saved_transforms_;
    matrix current_;
};

// Pops on scope exit what the constructor pushed.
class clip_saver {
public:
    clip_saver(render_context& rc, const rect& r) : rc_(rc) { rc_.push_clip(r); }
    ~clip_saver() { rc_.pop_clip(); }
    clip_saver(const clip_saver&) = delete;
    clip_saver& operator=(const clip_saver&) = delete;

private:
    render_context& rc_;
};

class translate_saver {
public:
    translate_saver(render_context& rc, float dx, float dy) : rc_(rc) { rc_.push_translate(dx, dy); }
    ~translate_saver() { rc_.pop_transform(); }
    translate_saver(const translate_saver&) = delete;
    translate_saver& operator=(const translate_saver&) = delete;

private:
    render_context& rc_;
};

// `text` in the box `r` at `size` in `c`, centred down the box (as every label of the window is).
text_style text_in_box(std::u16string text, const rect& r, float size, color c);

// Vertical offset of a text block of `text_height` inside a box of `box_height` for v_align
// 0 (top), 1 (centre) or 2 (bottom). Negative when the text is taller than a centred box.
float vertical_text_offset(paragraph_alignment v_align, float box_height, float text_height);

}  // namespace d2dui
