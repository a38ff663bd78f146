// The Direct2D backend on a real Windows API (run under Wine in CI): embedded fonts from memory,
// the fallback to the second family, PNG decoding, SVG support reported cleanly, WOFF2 handling.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "d2dui/direct2d_context.h"
#include "tests/gui/direct2d_suite_win.h"

namespace d2dui {
namespace {

// An offscreen target whose pixels the test reads back.
class offscreen {
public:
    offscreen(direct2d_context& rc, UINT width, UINT height) : rc_(rc), width_(width), height_(height)
    {
        D2D1_BITMAP_PROPERTIES1 props{};
        props.pixelFormat = {DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED};
        props.dpiX = props.dpiY = 96;
        props.bitmapOptions = D2D1_BITMAP_OPTIONS_TARGET;
        EXPECT_HRESULT_SUCCEEDED(rc.device_context()->CreateBitmap({width, height}, nullptr, 0, &props, &target_));
        props.bitmapOptions = D2D1_BITMAP_OPTIONS_CPU_READ | D2D1_BITMAP_OPTIONS_CANNOT_DRAW;
        EXPECT_HRESULT_SUCCEEDED(rc.device_context()->CreateBitmap({width, height}, nullptr, 0, &props, &readback_));
        rc.device_context()->SetTarget(target_.Get());
        rc.device_context()->BeginDraw();
        rc.device_context()->Clear(D2D1_COLOR_F{0, 0, 0, 0});
        rc.reset_transform();
    }

    // Ends drawing and returns BGRA rows, premultiplied.
    std::vector<std::uint8_t> finish()
    {
        EXPECT_HRESULT_SUCCEEDED(rc_.device_context()->EndDraw());
        rc_.device_context()->SetTarget(nullptr);
        const D2D1_POINT_2U origin{0, 0};
        const D2D1_RECT_U all{0, 0, width_, height_};
        EXPECT_HRESULT_SUCCEEDED(readback_->CopyFromBitmap(&origin, target_.Get(), &all));
        D2D1_MAPPED_RECT mapped{};
        std::vector<std::uint8_t> pixels(width_ * height_ * 4);
        if (SUCCEEDED(readback_->Map(D2D1_MAP_OPTIONS_READ, &mapped))) {
            for (UINT y = 0; y < height_; ++y) {
                std::memcpy(&pixels[y * width_ * 4], mapped.bits + y * mapped.pitch, width_ * 4);
            }
            readback_->Unmap();
        }
        return pixels;
    }

    // Bounding box of pixels with alpha in [x0, x1) of `pixels`; empty when none.
    static RECT ink_box(const std::vector<std::uint8_t>& pixels, UINT width, UINT height)
    {
        RECT box{LONG_MAX, LONG_MAX, -1, -1};
        for (UINT y = 0; y < height; ++y) {
            for (UINT x = 0; x < width; ++x) {
                if (pixels[(y * width + x) * 4 + 3] > 32) {
                    box.left = std::min<LONG>(box.left, x);
                    box.top = std::min<LONG>(box.top, y);
                    box.right = std::max<LONG>(box.right, x + 1);
                    box.bottom = std::max<LONG>(box.bottom, y + 1);
                }
            }
        }
        return box;
    }

private:
    direct2d_context& rc_;
    UINT width_, height_;
    ComPtr<ID2D1Bitmap1> target_;
    ComPtr<ID2D1Bitmap1> readback_;
};

std::u16string family_name(IDWriteFontFamily* family)
{
    ComPtr<IDWriteLocalizedStrings> names;
    if (FAILED(family->GetFamilyNames(&names)) || names->GetCount() == 0) {
        return {};
    }
    UINT32 length = 0;
    names->GetStringLength(0, &length);
    std::u16string name(length, u'\0');
    names->GetString(0, reinterpret_cast<WCHAR*>(name.data()), length + 1);
    return name;
}

class direct2d_backend : public testing::direct2d_suite {};

TEST_F(direct2d_backend, embedded_families_come_from_memory_with_both_weights)
{
    IDWriteFontCollection* primary = rc->collection(rc->primary_family());
    ASSERT_NE(primary, nullptr);
    ASSERT_EQ(primary->GetFontFamilyCount(), 1u);
    ComPtr<IDWriteFontFamily> family;
    ASSERT_HRESULT_SUCCEEDED(primary->GetFontFamily(0, &family));
    EXPECT_EQ(family_name(family.Get()), rc->primary_family());
    std::vector<int> weights;  // of the real faces; the family may add simulated oblique ones
    for (UINT32 i = 0; i < family->GetFontCount(); ++i) {
        ComPtr<IDWriteFont> font;
        ASSERT_HRESULT_SUCCEEDED(family->GetFont(i, &font));
        if (font->GetSimulations() == DWRITE_FONT_SIMULATIONS_NONE) {
            weights.push_back(font->GetWeight());
        }
    }
    std::sort(weights.begin(), weights.end());
    EXPECT_EQ(weights, (std::vector<int>{400, 600}));

    IDWriteFontCollection* second = rc->collection(rc->second_family());
    ASSERT_NE(second, nullptr);
    ComPtr<IDWriteFontFamily> cjk;
    ASSERT_HRESULT_SUCCEEDED(second->GetFontFamily(0, &cjk));
    EXPECT_EQ(family_name(cjk.Get()), rc->second_family());
    ComPtr<IDWriteFont> cjk_font;
    ASSERT_HRESULT_SUCCEEDED(cjk->GetFont(0, &cjk_font));
    BOOL has = FALSE;
    ASSERT_HRESULT_SUCCEEDED(cjk_font->HasCharacter(U'节', &has));
    EXPECT_TRUE(has);

    EXPECT_EQ(rc->collection(u"Not Embedded"), nullptr);
}

TEST_F(direct2d_backend, chinese_text_in_the_primary_family_draws_through_the_fallback)
{
    // Inter has no Hanzi: with the fallback to the second family the text has ink; the same
    // format without a fallback draws (almost) nothing on systems without system fallback.
    const UINT w = 200, h = 60;
    offscreen target(*rc, w, h);
    text_style s;
    s.text = u"节点设置";
    s.x = 0;
    s.y = 0;
    s.width = w;
    s.height = h;
    s.size = 32;
    s.color = {1, 1, 1, 1};
    rc->draw_text(s);
    const auto pixels = target.finish();
    const RECT box = offscreen::ink_box(pixels, w, h);
    ASSERT_GE(box.right, 0) << "no ink";
    EXPECT_GT(box.right - box.left, 100);  // four full-width characters at 32 DIPs
    EXPECT_GT(box.bottom - box.top, 20);
    ASSERT_NE(rc->fallback(), nullptr);
}

TEST_F(direct2d_backend, centred_text_taller_than_its_box_is_clipped_to_the_box)
{
    const UINT w = 200, h = 100;
    offscreen target(*rc, w, h);
    text_style s;
    s.text = u"Hg";
    s.x = 10;
    s.y = 40;
    s.width = 180;
    s.height = 16;  // far shorter than a 48-DIP line
    s.size = 48;
    s.v_align = paragraph_alignment::centre;
    s.color = {1, 1, 1, 1};
    rc->draw_text(s);
    const auto pixels = target.finish();
    const RECT box = offscreen::ink_box(pixels, w, h);
    ASSERT_GE(box.right, 0) << "no ink";
    EXPECT_GE(box.top, 40);
    EXPECT_LE(box.bottom, 56);
    EXPECT_EQ(box.bottom - box.top, 16);  // the glyphs fill the box: drawn above and below it, clipped
}

// A text far wider than its box: wrapped it fills the box, on one line it stays on the first line
// and inside the box's width, on two lines it stops below the second.
TEST_F(direct2d_backend, text_fits_wrap_cut_to_one_line_or_cut_to_two)
{
    const UINT w = 240, h = 140;
    const float line = rc->measure_text(u"m", 20, {}, 400, 0, 0).height;
    const auto ink_of = [&](text_fit fit) {
        offscreen target(*rc, w, h);
        text_style s;
        s.text = std::u16string(300, u'm');
        for (std::size_t i = 10; i < s.text.size(); i += 11) {
            s.text[i] = u' ';
        }
        s.x = 10;
        s.y = 0;
        s.width = 200;
        s.height = static_cast<float>(h);
        s.size = 20;
        s.color = {1, 1, 1, 1};
        s.fit = fit;
        rc->draw_text(s);
        return offscreen::ink_box(target.finish(), w, h);
    };
    const RECT wrapped = ink_of(text_fit::wrap);
    const RECT one = ink_of(text_fit::one_line);
    const RECT two = ink_of(text_fit::two_lines);
    ASSERT_GE(one.right, 0) << "no ink";
    EXPECT_GT(wrapped.bottom, 3 * line);
    EXPECT_LE(one.bottom, line + 1);
    EXPECT_LE(one.right, 211);
    EXPECT_GT(two.bottom, line + 1);
    EXPECT_LE(two.bottom, 2 * line + 1);
}

TEST_F(direct2d_backend, semibold_is_wider_than_regular_and_measure_matches_layout)
{
    const size regular = rc->measure_text(u"Connect nodes", 20, {}, 400, 0, 0);
    const size semibold = rc->measure_text(u"Connect nodes", 20, {}, 600, 0, 0);
    EXPECT_GT(regular.width, 80);
    EXPECT_GT(semibold.width, regular.width);
    EXPECT_GT(regular.height, 20);
    const size wrapped = rc->measure_text(u"Connect nodes", 20, {}, 400, 0, 60);
    EXPECT_GT(wrapped.height, regular.height * 1.5f);
    // Without a width limit a long text stays on one line.
    const std::u16string long_text(200, u'm');
    const size one_line = rc->measure_text(long_text, 20, {}, 400, 0, 0);
    EXPECT_GT(one_line.width, 2000);
    EXPECT_FLOAT_EQ(one_line.height, regular.height);
    // Trailing white space counts.
    EXPECT_GT(rc->measure_text(u"ab  ", 20, {}, 400, 0, 0).width, rc->measure_text(u"ab", 20, {}, 400, 0, 0).width);
}

TEST_F(direct2d_backend, png_icons_decode_through_wic_to_premultiplied_pixels)
{
    const auto bitmap = rc->load_png(112);  // the close cross
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->pixel_size().width, 56);
    EXPECT_EQ(bitmap->pixel_size().height, 56);
    offscreen target(*rc, 56, 56);
    rc->draw_bitmap(*bitmap, {0, 0, 56, 56}, 1.0f);
    const auto pixels = target.finish();
    const auto at = [&](int x, int y, int c) { return pixels[(y * 56 + x) * 4 + c]; };
    EXPECT_GT(at(28, 28, 3), 240);  // the centre of the cross is opaque ink
    EXPECT_EQ(at(28, 5, 3), 0);     // above the cross: transparent
    EXPECT_LE(at(28, 28, 0), at(28, 28, 3));  // premultiplied: colour never exceeds alpha

    EXPECT_THROW(rc->load_png(9999), std::runtime_error);
    EXPECT_THROW(rc->decode_png({1, 2, 3}), std::runtime_error);
}

TEST_F(direct2d_backend, svg_is_drawn_only_where_the_device_context_supports_it)
{
    const auto document = rc->load_svg(501, {24, 24});
    if (rc->svg_supported()) {
        EXPECT_TRUE(document);
    } else {
        EXPECT_FALSE(document);  // a placeholder is drawn by the caller instead
    }
    EXPECT_FALSE(rc->load_svg(9999, {24, 24}));  // missing resource
}

TEST_F(direct2d_backend, font_containers_other_than_opentype_fail_cleanly)
{
    // A WOFF2 header with a truncated body: unpacking fails (or is unavailable) with a runtime
    // error naming the step, never a crash.
    std::vector<std::uint8_t> woff2 = {'w', 'O', 'F', '2', 0x00, 0x01, 0x00, 0x00, 0, 0, 0, 48};
    woff2.resize(48, 0);
    try {
        plain_font_bytes(rc->dwrite(), woff2);
        ADD_FAILURE() << "a broken WOFF2 file unpacked";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("HRESULT = 0x"), std::string::npos) << e.what();
    }
    EXPECT_THROW(plain_font_bytes(rc->dwrite(), {'<', 's', 'v', 'g'}), std::runtime_error);
    const std::vector<std::uint8_t> otf = {'O', 'T', 'T', 'O', 1, 2};
    EXPECT_EQ(plain_font_bytes(rc->dwrite(), otf), otf);
}

TEST_F(direct2d_backend, a_stream_over_memory_refuses_fragments_past_the_end)
{
    std::vector<std::vector<std::uint8_t>> files;
    files.push_back(load_resource(103));
    const std::size_t length = files[0].size();
    ComPtr<IDWriteFontCollection> collection = memory_font_collection(rc->dwrite(), std::move(files));
    ComPtr<IDWriteFontFamily> family;
    ASSERT_HRESULT_SUCCEEDED(collection->GetFontFamily(0, &family));
    ComPtr<IDWriteFont> font;
    ASSERT_HRESULT_SUCCEEDED(family->GetFont(0, &font));
    ComPtr<IDWriteFontFace> face;
    ASSERT_HRESULT_SUCCEEDED(font->CreateFontFace(&face));
    UINT32 count = 1;
    ComPtr<IDWriteFontFile> file;
    ASSERT_HRESULT_SUCCEEDED(face->GetFiles(&count, &file));
    const void* key = nullptr;
    UINT32 key_size = 0;
    ASSERT_HRESULT_SUCCEEDED(file->GetReferenceKey(&key, &key_size));
    ComPtr<IDWriteFontFileLoader> loader;
    ASSERT_HRESULT_SUCCEEDED(file->GetLoader(&loader));
    ComPtr<IDWriteFontFileStream> stream;
    ASSERT_HRESULT_SUCCEEDED(loader->CreateStreamFromKey(key, key_size, &stream));
    UINT64 size = 0;
    ASSERT_HRESULT_SUCCEEDED(stream->GetFileSize(&size));
    EXPECT_EQ(size, length);

    const void* start = nullptr;
    void* context = nullptr;
    EXPECT_HRESULT_SUCCEEDED(stream->ReadFileFragment(&start, size - 4, 4, &context));
    EXPECT_HRESULT_FAILED(stream->ReadFileFragment(&start, size - 4, 5, &context));
    EXPECT_EQ(start, nullptr);
    EXPECT_HRESULT_FAILED(stream->ReadFileFragment(&start, 16, ~UINT64{0} - 15, &context));  // wraps to 0
    EXPECT_HRESULT_FAILED(stream->ReadFileFragment(&start, size + 1, 0, &context));
}

}  // namespace
}  // namespace d2dui

namespace d2dui {
namespace {

std::uint8_t alpha_at(const std::vector<std::uint8_t>& pixels, UINT width, UINT x, UINT y)
{
    return pixels[(y * width + x) * 4 + 3];
}

TEST_F(direct2d_backend, smooth_paths_fill_and_mask_layers)
{
    // A 40 x 20 pill built from straight edges and cubic corners (control points at 2.5 DIPs).
    path pill;
    pill.start = {10, 0};
    pill.segments = {{false, {}, {}, {30, 0}},  {true, {37.5f, 0}, {40, 2.5f}, {40, 10}},
                     {false, {}, {}, {40, 10}}, {true, {40, 17.5f}, {37.5f, 20}, {30, 20}},
                     {false, {}, {}, {10, 20}}, {true, {2.5f, 20}, {0, 17.5f}, {0, 10}},
                     {false, {}, {}, {0, 10}},  {true, {0, 2.5f}, {2.5f, 0}, {10, 0}}};
    {
        offscreen target(*rc, 64, 32);
        rc->fill_path(pill, {1, 1, 1, 1});
        const std::vector<std::uint8_t> px = target.finish();
        EXPECT_EQ(alpha_at(px, 64, 20, 10), 255);  // inside
        EXPECT_EQ(alpha_at(px, 64, 0, 0), 0);      // the corner is cut
        EXPECT_EQ(alpha_at(px, 64, 50, 10), 0);    // outside
        const RECT box = offscreen::ink_box(px, 64, 32);
        EXPECT_EQ(box.left, 0);
        EXPECT_EQ(box.right, 40);
        EXPECT_EQ(box.bottom, 20);
    }
    {
        // A layer masked by the pill clips a fill over the whole target (where layers work).
        offscreen target(*rc, 64, 32);
        rc->push_path_layer(pill);
        rc->fill_rect({0, 0, 64, 32}, {1, 1, 1, 1});
        rc->pop_clip();
        EXPECT_EQ(rc->clip_depth(), 0u);
        const std::vector<std::uint8_t> px = target.finish();
        EXPECT_EQ(alpha_at(px, 64, 20, 10), 255);
    }
    {
        // An empty path fills nothing and its layer still pairs with its pop.
        offscreen target(*rc, 8, 8);
        rc->fill_path({}, {1, 1, 1, 1});
        rc->push_path_layer({});
        rc->pop_clip();
        EXPECT_EQ(offscreen::ink_box(target.finish(), 8, 8).right, -1);
    }
}

TEST_F(direct2d_backend, ellipse_outlines_draw_a_ring)
{
    offscreen target(*rc, 40, 40);
    rc->draw_ellipse({20, 20}, 10, 10, {1, 1, 1, 1}, 2);
    const std::vector<std::uint8_t> px = target.finish();
    EXPECT_GT(alpha_at(px, 40, 30, 20), 128);  // on the ring
    EXPECT_EQ(alpha_at(px, 40, 20, 20), 0);    // hollow
    EXPECT_EQ(offscreen::ink_box(px, 40, 40).left, 9);
}

}  // namespace
}  // namespace d2dui
