#pragma once
// The Direct2D / DirectWrite / WIC backend of render_context (Windows only: include from
// *_win.cpp files).
//
// The constructor creates the device objects in order (Direct3D 11 device, its DXGI device, the
// Direct2D factory, device and version-1 device context, the shared DirectWrite factory, the WIC
// factory, stroke style, default text format, text rendering parameters, the embedded fonts) and
// raises std::runtime_error "<step> (HRESULT = 0xXXXXXXXX)" when one fails. SVG needs the
// version-5 device context; where the device context does not offer it (older systems,
// compatibility layers) load_svg returns null and callers draw a placeholder.

#include <windows.h>

#include <d2d1_1.h>
#include <d3d11.h>
#include <dwrite_2.h>
#include <dxgi1_2.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "d2dui/render_context.h"

namespace pelto::win_compat {
struct d2d_device_context5;
}

namespace d2dui {

using Microsoft::WRL::ComPtr;

// "<step> (HRESULT = 0xXXXXXXXX)".
std::string hresult_text(std::string_view step, HRESULT hr);
[[noreturn]] void throw_hresult(std::string_view step, HRESULT hr);

// RCDATA resources of the process module. `load_resource` raises std::runtime_error when the
// resource is missing or empty; `try_load_resource` clears `out` and returns false then.
std::vector<std::uint8_t> load_resource(int id);
bool try_load_resource(int id, std::vector<std::uint8_t>& out);

// Font bytes as DirectWrite should read them: OpenType and collections pass unchanged; a WOFF2
// WOFF or WOFF2 container is unpacked through the version-5 factory. Raises std::runtime_error when the data
// is no font container or unpacking fails (it does where the factory lacks WOFF2 support).
std::vector<std::uint8_t> plain_font_bytes(IDWriteFactory* factory, std::vector<std::uint8_t> bytes);

// A font collection served from memory, one per family. The byte buffers live as long as the
// process (DirectWrite's shared factory may keep file references to them).
ComPtr<IDWriteFontCollection> memory_font_collection(IDWriteFactory* factory,
                                                     std::vector<std::vector<std::uint8_t>> files);

// Characters of some scripts and the embedded family (in its collection) that draws them.
struct font_mapping {
    std::vector<DWRITE_UNICODE_RANGE> ranges;
    std::u16string family;
    IDWriteFontCollection* collection = nullptr;
};

// The font fallback of the embedded families: `ours` in order, then the system's own fallback
// where the system has one (every script it carries, colour emoji), then the whole of Unicode to
// `last_resort`'s family. Null where the factory has no fallback API (text then takes the
// system's default fallback); raises std::runtime_error when building fails.
ComPtr<IDWriteFontFallback> chained_font_fallback(IDWriteFactory* factory, const std::vector<font_mapping>& ours,
                                                  const font_mapping& last_resort);

class direct2d_context : public render_context {
public:
    direct2d_context();
    ~direct2d_context() override;

    void fill_rect(const rect& r, const color& c) override;
    void fill_rounded_rect(const rect& r, float radius, const color& c) override;
    void draw_rounded_rect(const rect& r, float radius, const color& c, float width) override;
    void fill_circle(point centre, float radius, const color& c) override;
    void draw_line(point from, point to, const color& c, float width) override;
    void draw_ellipse(point centre, float rx, float ry, const color& c, float width) override;
    void fill_path(const path& p, const color& c) override;
    void draw_bitmap(const bitmap& image, const rect& r, float opacity) override;
    void draw_svg(const svg_document& document) override;
    void draw_text(const text_style& s) override;
    void draw_text_box(const text_style& s) override;
    size measure_text(const std::u16string& text, float font_size, const std::u16string& family,
                      std::int32_t weight, std::int32_t style, float max_width) override;
    std::size_t hit_test_text(const std::u16string& text, float font_size, const std::u16string& family,
                              std::int32_t weight, std::int32_t style, float x) override;
    std::shared_ptr<bitmap> load_png(int resource_id) override;
    std::shared_ptr<bitmap> try_load_png(int resource_id) override;
    std::shared_ptr<svg_document> load_svg(int resource_id, size viewport) override;

    // Decodes PNG bytes (the body of load_png).
    std::shared_ptr<bitmap> decode_png(const std::vector<std::uint8_t>& bytes);
    // An SVG document from bytes; null without SVG support or when the bytes do not parse.
    std::shared_ptr<svg_document> parse_svg(const std::vector<std::uint8_t>& bytes, size viewport);
    bool svg_supported() const override { return dc5_ != nullptr; }

    // Device loss: `device_lost` says whether the Direct3D device was removed; `recreate_devices`
    // releases the draw target and every GPU device object and makes new ones on a new device
    // (raises like the constructor). Bitmaps, SVG documents and opacity layers made before are
    // made again on the new device when next drawn; text formats, fonts and geometries do not
    // belong to a device and stay.
    bool device_lost() const;
    void recreate_devices();
    std::uint64_t device_generation() const override { return generation_; }

    // Draw target: the back buffer of `swap_chain` (premultiplied alpha, or ignored alpha for a
    // window swap chain without composition); null releases the target.
    void set_target(IDXGISwapChain1* swap_chain, bool ignore_alpha);
    bool has_target() const { return target_ != nullptr; }

    ID3D11Device* d3d_device() const { return d3d_device_.Get(); }
    ID3D11DeviceContext* d3d_context() const { return d3d_context_.Get(); }
    IDXGIDevice* dxgi_device() const { return dxgi_device_.Get(); }
    ID2D1DeviceContext* device_context() const { return dc_.Get(); }
    IDWriteFactory* dwrite() const { return dwrite_.Get(); }
    IWICImagingFactory* wic() const { return wic_.Get(); }

    // Embedded families (the primary one also for an empty `family`) and their collections.
    const std::u16string& primary_family() const { return primary_family_; }
    const std::u16string& second_family() const { return second_family_; }
    const std::u16string& arabic_family() const { return arabic_family_; }
    IDWriteFontCollection* collection(std::u16string_view family) const;
    IDWriteFontFallback* fallback() const { return fallback_.Get(); }
    // The layout draw_text makes for `s` (alignment, wrapping and trimming as `s.fit` asks);
    // raises on failure.
    ComPtr<IDWriteTextLayout> text_layout(const text_style& s) { return layout(s); }
    // The cached text format for the key; raises on failure.
    IDWriteTextFormat* text_format(const std::u16string& family, float font_size, std::int32_t weight,
                                   std::int32_t style);

protected:
    void do_set_transform(const matrix& m) override;
    void do_push_clip(const rect& r) override;
    void do_push_layer(const rect& r, float radius) override;
    void do_push_opacity(layer_cache& cache, float opacity) override;
    void do_push_path_layer(const path& p) override;
    void do_pop(clip_kind kind) override;

private:
    void create_devices();
    void create_gpu_devices();
    void create_independent_objects();
    void release_gpu_devices();
    void apply_text_settings();
    ComPtr<IUnknown> svg_object(const std::vector<std::uint8_t>& bytes, size viewport);
    void load_fonts();
    ID2D1SolidColorBrush* brush(const color& c);
    ComPtr<ID2D1PathGeometry> path_geometry(const path& p);
    ComPtr<IDWriteTextLayout> layout(const text_style& s);
    // The ellipsis sign for trimmed text in `format` (made once per format).
    IDWriteInlineObject* ellipsis(IDWriteTextFormat* format);
    void draw_layout(IDWriteTextLayout* layout, const text_style& s, float dy);

    std::uint64_t generation_ = 1;  // counts the GPU devices made
    ComPtr<ID3D11Device> d3d_device_;
    ComPtr<ID3D11DeviceContext> d3d_context_;
    ComPtr<IDXGIDevice> dxgi_device_;
    ComPtr<ID2D1Factory1> d2d_factory_;
    ComPtr<ID2D1Device> d2d_device_;
    ComPtr<ID2D1DeviceContext> dc_;
    pelto::win_compat::d2d_device_context5* dc5_ = nullptr;  // owned reference when not null
    ComPtr<IDWriteFactory> dwrite_;
    ComPtr<IWICImagingFactory> wic_;
    ComPtr<ID2D1StrokeStyle> stroke_;
    ComPtr<IDWriteTextFormat> default_format_;
    ComPtr<IDWriteRenderingParams> text_params_;
    ComPtr<ID2D1SolidColorBrush> brush_;
    ComPtr<ID2D1Bitmap1> target_;
    std::u16string primary_family_;
    std::u16string second_family_;
    std::u16string arabic_family_;
    std::map<std::uint64_t, ComPtr<IDWriteFontCollection>> collections_;  // by family hash
    ComPtr<IDWriteFontFallback> fallback_;
    std::map<std::tuple<std::u16string, float, std::int32_t, std::int32_t>, ComPtr<IDWriteTextFormat>> formats_;
    std::map<IDWriteTextFormat*, ComPtr<IDWriteInlineObject>> ellipses_;  // by an entry of formats_
};

}  // namespace d2dui
