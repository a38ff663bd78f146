#include <objbase.h>

#include <algorithm>
#include <cfloat>
#include <stdexcept>

#include "base/obfuscated.h"
#include "base/win_compat.h"
#include "d2dui/direct2d_context.h"
#include "d2dui/font_data.h"

namespace d2dui {

namespace {

constexpr int primary_font_resource = 103;
constexpr int second_font_resource = 106;
constexpr int arabic_font_resource = 107;

D2D1_COLOR_F to_d2d(const color& c)
{
    return {c.r, c.g, c.b, c.a};
}

D2D1_RECT_F to_d2d(const rect& r)
{
    return {r.x, r.y, r.x + r.width, r.y + r.height};
}

const WCHAR* wide(const std::u16string& s)
{
    return reinterpret_cast<const WCHAR*>(s.c_str());
}

// A decoded image: its pixels in memory (WIC, device-independent) and the Direct2D bitmap made
// from them on the current device, made again after the devices were recreated.
class d2d_bitmap final : public bitmap {
public:
    d2d_bitmap(ComPtr<IWICBitmap> pixels, ComPtr<ID2D1Bitmap> b, std::uint64_t generation)
        : pixels_(std::move(pixels)), bitmap_(std::move(b)), generation_(generation)
    {
    }
    size pixel_size() const override
    {
        UINT w = 0, h = 0;
        pixels_->GetSize(&w, &h);
        return {static_cast<float>(w), static_cast<float>(h)};
    }
    // The bitmap for `dc` of device generation `generation`; null when it cannot be made.
    ID2D1Bitmap* get(ID2D1DeviceContext* dc, std::uint64_t generation) const
    {
        if (generation_ != generation || !bitmap_) {
            bitmap_.Reset();
            generation_ = generation;
            if (FAILED(dc->CreateBitmapFromWicBitmap(pixels_.Get(), nullptr, &bitmap_))) {
                bitmap_.Reset();
            }
        }
        return bitmap_.Get();
    }

private:
    ComPtr<IWICBitmap> pixels_;
    mutable ComPtr<ID2D1Bitmap> bitmap_;
    mutable std::uint64_t generation_;
};

// An SVG document and the bytes it was parsed from, parsed again on recreated devices.
class d2d_svg final : public svg_document {
public:
    d2d_svg(ComPtr<IUnknown> d, std::vector<std::uint8_t> bytes, size viewport, std::uint64_t generation)
        : document_(std::move(d)), bytes_(std::move(bytes)), viewport_(viewport), generation_(generation)
    {
    }
    IUnknown* get() const { return document_.Get(); }
    bool current(std::uint64_t generation) const { return generation_ == generation && document_; }
    void replace(ComPtr<IUnknown> d, std::uint64_t generation) const
    {
        document_ = std::move(d);
        generation_ = generation;
    }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    size viewport() const { return viewport_; }

private:
    mutable ComPtr<IUnknown> document_;
    std::vector<std::uint8_t> bytes_;
    size viewport_;
    mutable std::uint64_t generation_;
};

}  // namespace

direct2d_context::direct2d_context()
{
    create_devices();
    load_fonts();
}

direct2d_context::~direct2d_context()
{
    ellipses_.clear();
    formats_.clear();
    release_gpu_devices();
}

void direct2d_context::release_gpu_devices()
{
    if (dc_) {
        dc_->SetTarget(nullptr);
    }
    target_.Reset();
    brush_.Reset();
    if (dc5_ != nullptr) {
        reinterpret_cast<IUnknown*>(dc5_)->Release();
        dc5_ = nullptr;
    }
    dc_.Reset();
    d2d_device_.Reset();
    dxgi_device_.Reset();
    if (d3d_context_) {
        d3d_context_->ClearState();
        d3d_context_->Flush();
    }
    d3d_context_.Reset();
    d3d_device_.Reset();
}

void direct2d_context::recreate_devices()
{
    release_gpu_devices();
    create_gpu_devices();
    ++generation_;
}

bool direct2d_context::device_lost() const
{
    return !d3d_device_ || FAILED(d3d_device_->GetDeviceRemovedReason());
}

void direct2d_context::create_devices()
{
    // The factories first: they outlive the GPU devices, which are made again after a loss.
    D2D1_FACTORY_OPTIONS options{D2D1_DEBUG_LEVEL_NONE};
    HRESULT hr = D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory1), &options,
                                   reinterpret_cast<void**>(d2d_factory_.GetAddressOf()));
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("D2D1CreateFactory").view(), hr);
    }
    create_gpu_devices();
    create_independent_objects();
}

// Steps 1 to 3 (without the factory) and the brush: everything that belongs to one GPU device.
void direct2d_context::create_gpu_devices()
{
    // 1. Direct3D 11 with BGRA support; the WARP rasteriser where no hardware device exists
    //    (remote sessions, virtual machines without a GPU driver).
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    HRESULT hr = E_FAIL;
    for (D3D_DRIVER_TYPE driver : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
        hr = D3D11CreateDevice(nullptr, driver, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 2,
                               D3D11_SDK_VERSION, &d3d_device_, nullptr, &d3d_context_);
        if (hr == E_INVALIDARG) {  // systems that do not know level 11.1
            hr = D3D11CreateDevice(nullptr, driver, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels + 1, 1,
                                   D3D11_SDK_VERSION, &d3d_device_, nullptr, &d3d_context_);
        }
        if (SUCCEEDED(hr)) {
            break;
        }
    }
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("D3D11CreateDevice").view(), hr);
    }
    // 2.
    hr = d3d_device_.As(&dxgi_device_);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("IDXGIDevice").view(), hr);
    }
    // 3. Direct2D: the version-1 device context is all drawing needs; SVG takes version 5 when
    //    the system has it.
    hr = d2d_factory_->CreateDevice(dxgi_device_.Get(), &d2d_device_);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("ID2D1Factory1::CreateDevice").view(), hr);
    }
    hr = d2d_device_->CreateDeviceContext(D2D1_DEVICE_CONTEXT_OPTIONS_NONE, &dc_);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("ID2D1Device::CreateDeviceContext").view(), hr);
    }
    void* dc5 = nullptr;
    if (SUCCEEDED(dc_->QueryInterface(pelto::win_compat::iid_d2d_device_context5, &dc5)) && dc5 != nullptr) {
        dc5_ = static_cast<pelto::win_compat::d2d_device_context5*>(dc5);
    }
    hr = dc_->CreateSolidColorBrush(D2D1_COLOR_F{0, 0, 0, 1}, &brush_);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateSolidColorBrush").view(), hr);
    }
    if (text_params_) {
        apply_text_settings();
    }
}

void direct2d_context::apply_text_settings()
{
    dc_->SetTextRenderingParams(text_params_.Get());
    dc_->SetTextAntialiasMode(D2D1_TEXT_ANTIALIAS_MODE_GRAYSCALE);
    dc_->SetAntialiasMode(D2D1_ANTIALIAS_MODE_PER_PRIMITIVE);
}

// Steps 4 to 8: the text and imaging factories and what hangs on them.
void direct2d_context::create_independent_objects()
{
    // 4.
    HRESULT hr = DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                             reinterpret_cast<IUnknown**>(dwrite_.GetAddressOf()));
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("DWriteCreateFactory").view(), hr);
    }
    // 5. WIC (the version-2 factory, or the first where only that one is registered).
    hr = CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&wic_));
    if (FAILED(hr)) {
        hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&wic_));
    }
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CoCreateInstance(WICImagingFactory)").view(), hr);
    }
    // 6.
    D2D1_STROKE_STYLE_PROPERTIES stroke{};
    stroke.miterLimit = 10.0f;
    hr = d2d_factory_->CreateStrokeStyle(stroke, nullptr, 0, &stroke_);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateStrokeStyle").view(), hr);
    }
    // 7.
    hr = dwrite_->CreateTextFormat(wide(PELTO_TEXT(u"Segoe UI").str()), nullptr, DWRITE_FONT_WEIGHT_NORMAL,
                                   DWRITE_FONT_STYLE_NORMAL, DWRITE_FONT_STRETCH_NORMAL, 10.0f, L"", &default_format_);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateTextFormat").view(), hr);
    }
    // 8.
    hr = dwrite_->CreateCustomRenderingParams(2.2f, 0.2f, 1.0f, DWRITE_PIXEL_GEOMETRY_FLAT, DWRITE_RENDERING_MODE_OUTLINE,
                                              &text_params_);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateCustomRenderingParams").view(), hr);
    }
    apply_text_settings();
}

void direct2d_context::load_fonts()
{
    primary_family_ = PELTO_TEXT(u"Inter").str();
    second_family_ = PELTO_TEXT(u"Noto Sans CJK SC").str();
    arabic_family_ = PELTO_TEXT(u"Noto Sans Arabic").str();
    const std::pair<int, const std::u16string*> fonts[] = {{primary_font_resource, &primary_family_},
                                                           {second_font_resource, &second_family_},
                                                           {arabic_font_resource, &arabic_family_}};
    for (const auto& [id, family] : fonts) {
        std::vector<std::vector<std::uint8_t>> files;
        files.push_back(plain_font_bytes(dwrite_.Get(), load_resource(id)));
        collections_[family_hash(*family)] = memory_font_collection(dwrite_.Get(), std::move(files));
    }
    // Latin, Greek and Cyrillic are in the primary family itself; the fallback sends Arabic script
    // and the CJK scripts to the families that carry them, anything else to the system's fonts.
    const std::vector<font_mapping> ours = {
        {{{0x0600, 0x06FF}, {0x0750, 0x077F}, {0x0870, 0x08FF}, {0xFB50, 0xFDFF}, {0xFE70, 0xFEFF}},
         arabic_family_,
         collection(arabic_family_)},
        {{{0x1100, 0x11FF}, {0x2E80, 0x9FFF}, {0xA960, 0xA97F}, {0xAC00, 0xD7FF}, {0xF900, 0xFAFF}, {0xFE30, 0xFE4F},
          {0xFF00, 0xFFEF}, {0x20000, 0x3FFFF}},
         second_family_,
         collection(second_family_)},
    };
    fallback_ = chained_font_fallback(dwrite_.Get(), ours, {{}, second_family_, collection(second_family_)});
}

IDWriteFontCollection* direct2d_context::collection(std::u16string_view family) const
{
    const auto it = collections_.find(family_hash(family));
    return it != collections_.end() ? it->second.Get() : nullptr;
}

IDWriteTextFormat* direct2d_context::text_format(const std::u16string& family_in, float font_size, std::int32_t weight,
                                                 std::int32_t style)
{
    const std::u16string& family = family_in.empty() ? primary_family_ : family_in;
    auto key = std::make_tuple(family, font_size, weight, style);
    const auto it = formats_.find(key);
    if (it != formats_.end()) {
        return it->second.Get();
    }
    ComPtr<IDWriteTextFormat> format;
    const HRESULT hr = dwrite_->CreateTextFormat(wide(family), collection(family), static_cast<DWRITE_FONT_WEIGHT>(weight),
                                                 static_cast<DWRITE_FONT_STYLE>(style), DWRITE_FONT_STRETCH_NORMAL,
                                                 font_size, L"", &format);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateTextFormat").view(), hr);
    }
    if (fallback_) {
        ComPtr<IDWriteTextFormat1> format1;
        if (SUCCEEDED(format.As(&format1))) {
            format1->SetFontFallback(fallback_.Get());
        }
    }
    IDWriteTextFormat* raw = format.Get();
    formats_.emplace(std::move(key), std::move(format));
    return raw;
}

ID2D1SolidColorBrush* direct2d_context::brush(const color& c)
{
    brush_->SetColor(to_d2d(c));
    return brush_.Get();
}

void direct2d_context::fill_rect(const rect& r, const color& c)
{
    dc_->FillRectangle(to_d2d(r), brush(c));
}

void direct2d_context::fill_rounded_rect(const rect& r, float radius, const color& c)
{
    dc_->FillRoundedRectangle(D2D1_ROUNDED_RECT{to_d2d(r), radius, radius}, brush(c));
}

void direct2d_context::draw_rounded_rect(const rect& r, float radius, const color& c, float width)
{
    dc_->DrawRoundedRectangle(D2D1_ROUNDED_RECT{to_d2d(r), radius, radius}, brush(c), width, nullptr);
}

void direct2d_context::fill_circle(point centre, float radius, const color& c)
{
    dc_->FillEllipse(D2D1_ELLIPSE{{centre.x, centre.y}, radius, radius}, brush(c));
}

void direct2d_context::draw_line(point from, point to, const color& c, float width)
{
    dc_->DrawLine({from.x, from.y}, {to.x, to.y}, brush(c), width, nullptr);
}

void direct2d_context::draw_ellipse(point centre, float rx, float ry, const color& c, float width)
{
    dc_->DrawEllipse(D2D1_ELLIPSE{{centre.x, centre.y}, rx, ry}, brush(c), width, nullptr);
}

ComPtr<ID2D1PathGeometry> direct2d_context::path_geometry(const path& p)
{
    ComPtr<ID2D1PathGeometry> geometry;
    ComPtr<ID2D1GeometrySink> sink;
    if (p.empty() || FAILED(d2d_factory_->CreatePathGeometry(&geometry)) || FAILED(geometry->Open(&sink))) {
        return nullptr;
    }
    sink->BeginFigure({p.start.x, p.start.y}, D2D1_FIGURE_BEGIN_FILLED);
    for (const path_segment& s : p.segments) {
        if (s.cubic) {
            sink->AddBezier(D2D1_BEZIER_SEGMENT{{s.c1.x, s.c1.y}, {s.c2.x, s.c2.y}, {s.to.x, s.to.y}});
        } else {
            sink->AddLine({s.to.x, s.to.y});
        }
    }
    sink->EndFigure(D2D1_FIGURE_END_CLOSED);
    if (FAILED(sink->Close())) {
        return nullptr;
    }
    return geometry;
}

void direct2d_context::fill_path(const path& p, const color& c)
{
    if (ComPtr<ID2D1PathGeometry> geometry = path_geometry(p)) {
        dc_->FillGeometry(geometry.Get(), brush(c), nullptr);
    }
}

void direct2d_context::draw_bitmap(const bitmap& image, const rect& r, float opacity)
{
    const auto* b = dynamic_cast<const d2d_bitmap*>(&image);
    ID2D1Bitmap* device_bitmap = b != nullptr ? b->get(dc_.Get(), generation_) : nullptr;
    if (device_bitmap == nullptr) {
        return;
    }
    const D2D1_RECT_F dest = to_d2d(r);
    dc_->DrawBitmap(device_bitmap, &dest, opacity, D2D1_INTERPOLATION_MODE_HIGH_QUALITY_CUBIC, nullptr, nullptr);
}

void direct2d_context::draw_svg(const svg_document& document)
{
    const auto* d = dynamic_cast<const d2d_svg*>(&document);
    if (d == nullptr || dc5_ == nullptr) {
        return;
    }
    if (!d->current(generation_)) {
        d->replace(svg_object(d->bytes(), d->viewport()), generation_);
        if (d->get() == nullptr) {
            return;
        }
    }
    dc5_->vtable->draw_svg_document(dc5_, d->get());
}

ComPtr<IDWriteTextLayout> direct2d_context::layout(const text_style& s)
{
    IDWriteTextFormat* format = text_format(s.family, s.size, s.weight, s.style);
    ComPtr<IDWriteTextLayout> result;
    const HRESULT hr = dwrite_->CreateTextLayout(wide(s.text), static_cast<UINT32>(s.text.size()), format,
                                                 std::max(0.0f, s.width), std::max(0.0f, s.height), &result);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateTextLayout").view(), hr);
    }
    const DWRITE_TEXT_ALIGNMENT align[] = {DWRITE_TEXT_ALIGNMENT_LEADING, DWRITE_TEXT_ALIGNMENT_CENTER,
                                           DWRITE_TEXT_ALIGNMENT_TRAILING};
    result->SetTextAlignment(align[std::clamp(static_cast<int>(s.h_align), 0, 2)]);
    if (s.underline) {
        result->SetUnderline(TRUE, DWRITE_TEXT_RANGE{0, static_cast<UINT32>(s.text.size())});
    }
    if (s.fit == text_fit::wrap) {
        return result;
    }
    const DWRITE_TRIMMING trimming{DWRITE_TRIMMING_GRANULARITY_CHARACTER, 0, 0};
    result->SetTrimming(&trimming, ellipsis(format));
    if (s.fit == text_fit::one_line) {
        result->SetWordWrapping(DWRITE_WORD_WRAPPING_NO_WRAP);
    }
    return result;  // two lines: draw_text splits a longer text itself
}

IDWriteInlineObject* direct2d_context::ellipsis(IDWriteTextFormat* format)
{
    const auto it = ellipses_.find(format);
    if (it != ellipses_.end()) {
        return it->second.Get();
    }
    ComPtr<IDWriteInlineObject> sign;
    if (FAILED(dwrite_->CreateEllipsisTrimmingSign(format, &sign))) {
        sign.Reset();  // trimmed without a sign
    }
    IDWriteInlineObject* raw = sign.Get();
    ellipses_.emplace(format, std::move(sign));
    return raw;
}

void direct2d_context::draw_layout(IDWriteTextLayout* text, const text_style& s, float dy)
{
    const D2D1_DRAW_TEXT_OPTIONS options = D2D1_DRAW_TEXT_OPTIONS_ENABLE_COLOR_FONT;
    if (s.outline) {
        const float w = s.outline_width > 0 ? s.outline_width : 1.0f;
        const float offsets[8][2] = {{-w, -w}, {w, -w}, {-w, w}, {w, w}, {0, -w}, {0, w}, {-w, 0}, {w, 0}};
        for (const auto& o : offsets) {
            dc_->DrawTextLayout({s.x + o[0], s.y + dy + o[1]}, text, brush(s.outline_color), options);
        }
    }
    dc_->DrawTextLayout({s.x, s.y + dy}, text, brush(s.color), options);
}

void direct2d_context::draw_text(const text_style& s)
{
    if (s.text.empty()) {
        return;
    }
    ComPtr<IDWriteTextLayout> text = layout(s);
    DWRITE_TEXT_METRICS metrics{};
    text->GetMetrics(&metrics);
    dc_->PushAxisAlignedClip(to_d2d(rect{s.x, s.y, s.width, s.height}), D2D1_ANTIALIAS_MODE_PER_PRIMITIVE);
    std::vector<DWRITE_LINE_METRICS> lines(metrics.lineCount);
    UINT32 count = 0;
    if (s.fit == text_fit::two_lines && metrics.lineCount > 2 &&
        SUCCEEDED(text->GetLineMetrics(lines.data(), metrics.lineCount, &count)) && count > 2) {
        // More than two lines: the first line as laid out, the rest as one line cut with an
        // ellipsis below it (layouts do not drop the lines below their height themselves).
        text_style first = s;
        first.text = s.text.substr(0, lines[0].length);
        first.fit = text_fit::wrap;
        text_style rest = s;
        rest.text = s.text.substr(lines[0].length);
        rest.fit = text_fit::one_line;
        const float dy = vertical_text_offset(s.v_align, s.height, lines[0].height + lines[1].height);
        draw_layout(layout(first).Get(), first, dy);
        draw_layout(layout(rest).Get(), rest, dy + lines[0].height);
    } else {
        draw_layout(text.Get(), s, vertical_text_offset(s.v_align, s.height, metrics.height));
    }
    dc_->PopAxisAlignedClip();
}

void direct2d_context::draw_text_box(const text_style& s)
{
    if (s.text.empty()) {
        return;
    }
    ComPtr<IDWriteTextLayout> text = layout(s);
    const DWRITE_PARAGRAPH_ALIGNMENT align[] = {DWRITE_PARAGRAPH_ALIGNMENT_NEAR, DWRITE_PARAGRAPH_ALIGNMENT_CENTER,
                                                DWRITE_PARAGRAPH_ALIGNMENT_FAR};
    text->SetParagraphAlignment(align[std::clamp(static_cast<int>(s.v_align), 0, 2)]);
    draw_layout(text.Get(), s, 0);
}

size direct2d_context::measure_text(const std::u16string& text, float font_size, const std::u16string& family,
                                    std::int32_t weight, std::int32_t style, float max_width)
{
    IDWriteTextFormat* format = text_format(family, font_size, weight, style);
    ComPtr<IDWriteTextLayout> measured;
    const HRESULT hr = dwrite_->CreateTextLayout(wide(text), static_cast<UINT32>(text.size()), format,
                                                 max_width > 0 ? max_width : 65536.0f, 65536.0f, &measured);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateTextLayout").view(), hr);
    }
    DWRITE_TEXT_METRICS metrics{};
    measured->GetMetrics(&metrics);
    return {metrics.widthIncludingTrailingWhitespace, metrics.height};
}

std::size_t direct2d_context::hit_test_text(const std::u16string& text, float font_size, const std::u16string& family,
                                            std::int32_t weight, std::int32_t style, float x)
{
    if (text.empty()) {
        return 0;
    }
    IDWriteTextFormat* format = text_format(family, font_size, weight, style);
    ComPtr<IDWriteTextLayout> laid;
    HRESULT hr = dwrite_->CreateTextLayout(wide(text), static_cast<UINT32>(text.size()), format, 65536.0f, 65536.0f,
                                           &laid);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateTextLayout").view(), hr);
    }
    laid->SetWordWrapping(DWRITE_WORD_WRAPPING_NO_WRAP);
    BOOL trailing = FALSE;
    BOOL inside = FALSE;
    DWRITE_HIT_TEST_METRICS metrics{};
    hr = laid->HitTestPoint(x, font_size / 2, &trailing, &inside, &metrics);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("HitTestPoint").view(), hr);
    }
    const std::size_t position = metrics.textPosition + (trailing ? metrics.length : 0);
    return std::min(position, text.size());
}

std::shared_ptr<bitmap> direct2d_context::load_png(int resource_id)
{
    return decode_png(load_resource(resource_id));
}

std::shared_ptr<bitmap> direct2d_context::try_load_png(int resource_id)
{
    std::vector<std::uint8_t> bytes;
    return try_load_resource(resource_id, bytes) ? decode_png(bytes) : nullptr;
}

std::shared_ptr<bitmap> direct2d_context::decode_png(const std::vector<std::uint8_t>& bytes)
{
    ComPtr<IWICStream> stream;
    HRESULT hr = wic_->CreateStream(&stream);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("IWICImagingFactory::CreateStream").view(), hr);
    }
    hr = stream->InitializeFromMemory(const_cast<BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("IWICStream::InitializeFromMemory").view(), hr);
    }
    ComPtr<IWICBitmapDecoder> decoder;
    hr = wic_->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnLoad, &decoder);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateDecoderFromStream").view(), hr);
    }
    ComPtr<IWICBitmapFrameDecode> frame;
    hr = decoder->GetFrame(0, &frame);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("IWICBitmapDecoder::GetFrame").view(), hr);
    }
    ComPtr<IWICFormatConverter> converter;
    hr = wic_->CreateFormatConverter(&converter);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateFormatConverter").view(), hr);
    }
    hr = converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                               WICBitmapPaletteTypeCustom);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("IWICFormatConverter::Initialize").view(), hr);
    }
    // The pixels are kept in memory, so the device bitmap can be made again on new devices.
    ComPtr<IWICBitmap> pixels;
    hr = wic_->CreateBitmapFromSource(converter.Get(), WICBitmapCacheOnLoad, &pixels);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateBitmapFromSource").view(), hr);
    }
    ComPtr<ID2D1Bitmap> result;
    hr = dc_->CreateBitmapFromWicBitmap(pixels.Get(), nullptr, &result);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateBitmapFromWicBitmap").view(), hr);
    }
    return std::make_shared<d2d_bitmap>(std::move(pixels), std::move(result), generation_);
}

std::shared_ptr<svg_document> direct2d_context::load_svg(int resource_id, size viewport)
{
    std::vector<std::uint8_t> bytes;
    if (!try_load_resource(resource_id, bytes)) {
        return nullptr;
    }
    return parse_svg(bytes, viewport);
}

std::shared_ptr<svg_document> direct2d_context::parse_svg(const std::vector<std::uint8_t>& bytes, size viewport)
{
    ComPtr<IUnknown> document = svg_object(bytes, viewport);
    if (!document) {
        return nullptr;
    }
    return std::make_shared<d2d_svg>(std::move(document), bytes, viewport, generation_);
}

ComPtr<IUnknown> direct2d_context::svg_object(const std::vector<std::uint8_t>& bytes, size viewport)
{
    if (dc5_ == nullptr || bytes.empty()) {
        return nullptr;
    }
    ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) {
        return nullptr;
    }
    ULONG written = 0;
    if (FAILED(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written)) || written != bytes.size()) {
        return nullptr;
    }
    const LARGE_INTEGER start{};
    if (FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) {
        return nullptr;
    }
    ComPtr<IUnknown> document;
    if (FAILED(dc5_->vtable->create_svg_document(dc5_, stream.Get(), D2D1_SIZE_F{viewport.width, viewport.height},
                                                 document.GetAddressOf()))) {
        return nullptr;
    }
    return document;
}

void direct2d_context::set_target(IDXGISwapChain1* swap_chain, bool ignore_alpha)
{
    dc_->SetTarget(nullptr);
    target_.Reset();
    if (swap_chain == nullptr) {
        return;
    }
    ComPtr<IDXGISurface> surface;
    HRESULT hr = swap_chain->GetBuffer(0, IID_PPV_ARGS(&surface));
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("IDXGISwapChain1::GetBuffer").view(), hr);
    }
    D2D1_BITMAP_PROPERTIES1 props{};
    props.pixelFormat = {DXGI_FORMAT_B8G8R8A8_UNORM, ignore_alpha ? D2D1_ALPHA_MODE_IGNORE : D2D1_ALPHA_MODE_PREMULTIPLIED};
    props.dpiX = 96.0f;  // the window pushes its own DPI scale
    props.dpiY = 96.0f;
    props.bitmapOptions = D2D1_BITMAP_OPTIONS_TARGET | D2D1_BITMAP_OPTIONS_CANNOT_DRAW;
    hr = dc_->CreateBitmapFromDxgiSurface(surface.Get(), &props, &target_);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateBitmapFromDxgiSurface").view(), hr);
    }
    dc_->SetTarget(target_.Get());
}

void direct2d_context::do_set_transform(const matrix& m)
{
    dc_->SetTransform(D2D1_MATRIX_3X2_F{m.m11, m.m12, m.m21, m.m22, m.dx, m.dy});
}

void direct2d_context::do_push_clip(const rect& r)
{
    dc_->PushAxisAlignedClip(to_d2d(r), D2D1_ANTIALIAS_MODE_PER_PRIMITIVE);
}

void direct2d_context::do_push_layer(const rect& r, float radius)
{
    ComPtr<ID2D1RoundedRectangleGeometry> mask;
    if (FAILED(d2d_factory_->CreateRoundedRectangleGeometry(D2D1_ROUNDED_RECT{to_d2d(r), radius, radius}, &mask))) {
        mask.Reset();
    }
    D2D1_LAYER_PARAMETERS1 params{};
    params.contentBounds = D2D1_RECT_F{-FLT_MAX, -FLT_MAX, FLT_MAX, FLT_MAX};
    params.geometricMask = mask.Get();
    params.maskAntialiasMode = D2D1_ANTIALIAS_MODE_PER_PRIMITIVE;
    params.maskTransform = D2D1_MATRIX_3X2_F{1, 0, 0, 1, 0, 0};
    params.opacity = 1.0f;
    params.layerOptions = D2D1_LAYER_OPTIONS1_NONE;
    dc_->PushLayer(&params, nullptr);
}

void direct2d_context::do_push_path_layer(const path& p)
{
    // Without a geometry (empty figure or a failed sink) the layer clips nothing, like a layer
    // whose mask could not be made above; the pop still pairs with this push.
    ComPtr<ID2D1PathGeometry> mask = path_geometry(p);
    D2D1_LAYER_PARAMETERS1 params{};
    params.contentBounds = D2D1_RECT_F{-FLT_MAX, -FLT_MAX, FLT_MAX, FLT_MAX};
    params.geometricMask = mask.Get();
    params.maskAntialiasMode = D2D1_ANTIALIAS_MODE_PER_PRIMITIVE;
    params.maskTransform = D2D1_MATRIX_3X2_F{1, 0, 0, 1, 0, 0};
    params.opacity = 1.0f;
    params.layerOptions = D2D1_LAYER_OPTIONS1_NONE;
    dc_->PushLayer(&params, nullptr);
}

void direct2d_context::do_push_opacity(layer_cache& cache, float opacity)
{
    if (!cache.object || cache.generation != generation_) {
        cache.object.reset();
        cache.generation = generation_;
        ComPtr<ID2D1Layer> layer;
        if (SUCCEEDED(dc_->CreateLayer(nullptr, &layer))) {
            ID2D1Layer* raw = layer.Detach();
            cache.object = std::shared_ptr<void>(raw, [](void* p) { static_cast<ID2D1Layer*>(p)->Release(); });
        }
    }
    D2D1_LAYER_PARAMETERS1 params{};
    params.contentBounds = D2D1_RECT_F{-FLT_MAX, -FLT_MAX, FLT_MAX, FLT_MAX};
    params.maskAntialiasMode = D2D1_ANTIALIAS_MODE_PER_PRIMITIVE;
    params.maskTransform = D2D1_MATRIX_3X2_F{1, 0, 0, 1, 0, 0};
    params.opacity = opacity;
    params.layerOptions = D2D1_LAYER_OPTIONS1_NONE;
    dc_->PushLayer(&params, static_cast<ID2D1Layer*>(cache.object.get()));
}

void direct2d_context::do_pop(clip_kind kind)
{
    if (kind == clip_kind::axis_aligned) {
        dc_->PopAxisAlignedClip();
    } else {
        dc_->PopLayer();
    }
}

}  // namespace d2dui
