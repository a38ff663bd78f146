// Node names in the scripts subscriptions use draw without missing-glyph boxes, judged by
// DirectWrite itself: the glyph runs a row's layout draws hold no glyph 0 (.notdef, the box), and
// every character is found by DirectWrite's own lookup (the primary face's cmap through
// GetGlyphIndices, else the font fallback's MapCharacters and that font's cmap). The fonts must be
// the embedded ones (served from memory), which the fallback puts before the system's: Wine's
// system fallback reaches the host's own fonts, which a user's machine need not have. Each name
// stays on one line, a long one cut with the ellipsis.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "d2dui/direct2d_context.h"
#include "tests/gui/direct2d_suite_win.h"
#include "tests/gui/script_names.h"
#include "ui/flags.h"

namespace d2dui {
namespace {

std::string hex(char32_t c)
{
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
    return text;
}

std::string utf8(const std::u16string& s)
{
    std::string out;
    const int n = WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<const WCHAR*>(s.data()), static_cast<int>(s.size()),
                                      nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<const WCHAR*>(s.data()), static_cast<int>(s.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

// Code points of a UTF-16 text with their unit positions.
std::vector<std::pair<char32_t, UINT32>> code_points(const std::u16string& s)
{
    std::vector<std::pair<char32_t, UINT32>> out;
    for (UINT32 i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        const UINT32 at = i;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        out.emplace_back(c, at);
    }
    return out;
}

// Whether the face's file comes from the program's memory loader rather than a file of the system.
bool embedded(IDWriteFontFace* face)
{
    UINT32 count = 1;
    ComPtr<IDWriteFontFile> file;
    ComPtr<IDWriteFontFileLoader> loader;
    ComPtr<IDWriteLocalFontFileLoader> local;
    return face != nullptr && SUCCEEDED(face->GetFiles(&count, &file)) && file &&
           SUCCEEDED(file->GetLoader(&loader)) && FAILED(loader.As(&local));
}

bool embedded(IDWriteFont* font)
{
    ComPtr<IDWriteFontFace> face;
    return font != nullptr && SUCCEEDED(font->CreateFontFace(&face)) && embedded(face.Get());
}

// What a layout draws: every glyph run (its glyph ids and the text it came from) and how many
// inline objects (the ellipsis sign) were drawn; the sign's own glyphs are recorded as runs too.
class run_recorder final : public IDWriteTextRenderer {
public:
    struct run {
        std::vector<UINT16> glyphs;
        std::u16string text;  // empty for the sign's runs when it does not describe them
        bool embedded = false;  // drawn with an embedded font
    };
    std::vector<run> runs;
    int inline_objects = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IDWritePixelSnapping) || iid == __uuidof(IDWriteTextRenderer)) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE IsPixelSnappingDisabled(void*, BOOL* disabled) override
    {
        *disabled = FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentTransform(void*, DWRITE_MATRIX* m) override
    {
        *m = DWRITE_MATRIX{1, 0, 0, 1, 0, 0};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPixelsPerDip(void*, FLOAT* ppd) override
    {
        *ppd = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DrawGlyphRun(void*, FLOAT, FLOAT, DWRITE_MEASURING_MODE, const DWRITE_GLYPH_RUN* glyph_run,
                                           const DWRITE_GLYPH_RUN_DESCRIPTION* description, IUnknown*) override
    {
        run r;
        r.embedded = embedded(glyph_run->fontFace);
        r.glyphs.assign(glyph_run->glyphIndices, glyph_run->glyphIndices + glyph_run->glyphCount);
        if (description != nullptr && description->string != nullptr) {
            r.text.assign(reinterpret_cast<const char16_t*>(description->string), description->stringLength);
        }
        runs.push_back(std::move(r));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DrawUnderline(void*, FLOAT, FLOAT, const DWRITE_UNDERLINE*, IUnknown*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DrawStrikethrough(void*, FLOAT, FLOAT, const DWRITE_STRIKETHROUGH*, IUnknown*) override
    {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DrawInlineObject(void* context, FLOAT x, FLOAT y, IDWriteInlineObject* object, BOOL sideways,
                                               BOOL rtl, IUnknown* effect) override
    {
        ++inline_objects;
        return object->Draw(context, this, x, y, sideways, rtl, effect);
    }
};

// One character as the analysis source of the fallback's MapCharacters.
class one_text final : public IDWriteTextAnalysisSource {
public:
    explicit one_text(std::u16string text) : text_(std::move(text)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IDWriteTextAnalysisSource)) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTextAtPosition(UINT32 position, const WCHAR** text, UINT32* length) override
    {
        *text = position < text_.size() ? reinterpret_cast<const WCHAR*>(text_.data()) + position : nullptr;
        *length = position < text_.size() ? static_cast<UINT32>(text_.size()) - position : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTextBeforePosition(UINT32 position, const WCHAR** text, UINT32* length) override
    {
        *text = position > 0 && position <= text_.size() ? reinterpret_cast<const WCHAR*>(text_.data()) : nullptr;
        *length = position <= text_.size() ? position : 0;
        return S_OK;
    }
    DWRITE_READING_DIRECTION STDMETHODCALLTYPE GetParagraphReadingDirection() override
    {
        return DWRITE_READING_DIRECTION_LEFT_TO_RIGHT;
    }
    HRESULT STDMETHODCALLTYPE GetLocaleName(UINT32 position, UINT32* length, const WCHAR** locale) override
    {
        *length = static_cast<UINT32>(text_.size()) - std::min<UINT32>(position, static_cast<UINT32>(text_.size()));
        *locale = L"";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetNumberSubstitution(UINT32 position, UINT32* length,
                                                    IDWriteNumberSubstitution** substitution) override
    {
        *length = static_cast<UINT32>(text_.size()) - std::min<UINT32>(position, static_cast<UINT32>(text_.size()));
        *substitution = nullptr;
        return S_OK;
    }

private:
    std::u16string text_;
};

UINT16 glyph_of(IDWriteFont* font, char32_t c)
{
    ComPtr<IDWriteFontFace> face;
    UINT16 glyph = 0;
    const UINT32 point = c;
    if (font != nullptr && SUCCEEDED(font->CreateFontFace(&face))) {
        face->GetGlyphIndices(&point, 1, &glyph);
    }
    return glyph;
}

class script_names : public testing::direct2d_suite {
protected:
    // A node list row's name as the list lays it out (list 400 DIPs wide, not scrolling).
    static text_style row_name(const std::u16string& name)
    {
        text_style s;
        s.text = pelto::ui::name_without_flag_emoji(name);
        s.width = 400 - 142;
        s.height = 22;
        s.size = 13;
        s.v_align = d2dui::paragraph_alignment::centre;
        s.fit = text_fit::one_line;
        return s;
    }
};

TEST_F(script_names, every_character_has_a_glyph_by_directwrite_lookup)
{
    IDWriteFontCollection* primary = rc->collection(rc->primary_family());
    ASSERT_NE(primary, nullptr);
    ComPtr<IDWriteFontFamily> family;
    ASSERT_HRESULT_SUCCEEDED(primary->GetFontFamily(0, &family));
    ComPtr<IDWriteFont> regular;
    ASSERT_HRESULT_SUCCEEDED(family->GetFirstMatchingFont(DWRITE_FONT_WEIGHT_NORMAL, DWRITE_FONT_STRETCH_NORMAL,
                                                          DWRITE_FONT_STYLE_NORMAL, &regular));
    IDWriteFontFallback* fallback = rc->fallback();
    ASSERT_NE(fallback, nullptr);
    int from_fallback = 0;
    for (const std::u16string& name : pelto::testing::script_names()) {
        const std::u16string shown = row_name(name).text;
        for (const auto& [c, at] : code_points(shown)) {
            if (c == U' ' || glyph_of(regular.Get(), c) != 0) {
                continue;
            }
            one_text source(shown);
            UINT32 mapped_length = 0;
            ComPtr<IDWriteFont> mapped;
            FLOAT scale = 0;
            const UINT32 units = c >= 0x10000 ? 2 : 1;
            ASSERT_HRESULT_SUCCEEDED(fallback->MapCharacters(&source, at, units, primary,
                                                             reinterpret_cast<const WCHAR*>(rc->primary_family().c_str()),
                                                             DWRITE_FONT_WEIGHT_NORMAL, DWRITE_FONT_STYLE_NORMAL,
                                                             DWRITE_FONT_STRETCH_NORMAL, &mapped_length, &mapped, &scale));
            EXPECT_NE(glyph_of(mapped.Get(), c), 0) << hex(c) << " in \"" << utf8(shown) << "\": no font has it";
            EXPECT_TRUE(embedded(mapped.Get())) << hex(c) << " in \"" << utf8(shown) << "\": not an embedded font";
            ++from_fallback;
        }
    }
    EXPECT_GT(from_fallback, 50);  // the CJK, Hangul and Arabic characters came through the fallback
}

TEST_F(script_names, rows_draw_no_missing_glyph_on_one_line_with_the_ellipsis_when_long)
{
    int cut = 0;
    for (const std::u16string& name : pelto::testing::script_names()) {
        const text_style s = row_name(name);
        EXPECT_EQ(s.text.find(u'\xD83C'), std::u16string::npos) << utf8(name) << ": the emoji flag is still shown";
        ComPtr<IDWriteTextLayout> layout = rc->text_layout(s);
        DWRITE_TEXT_METRICS metrics{};
        ASSERT_HRESULT_SUCCEEDED(layout->GetMetrics(&metrics));
        EXPECT_EQ(metrics.lineCount, 1u) << utf8(s.text);
        run_recorder recorder;
        ASSERT_HRESULT_SUCCEEDED(layout->Draw(nullptr, &recorder, 0, 0));
        ASSERT_FALSE(recorder.runs.empty()) << utf8(s.text);
        std::size_t drawn_units = 0;
        for (const run_recorder::run& r : recorder.runs) {
            drawn_units += r.text.size();
            EXPECT_TRUE(r.embedded) << "\"" << utf8(r.text) << "\" of \"" << utf8(s.text) << "\" is not in an embedded font";
            for (UINT16 g : r.glyphs) {
                EXPECT_NE(g, 0) << "a missing-glyph box in \"" << utf8(r.text) << "\" of \"" << utf8(s.text) << "\"";
            }
        }
        // A name wider than the row is cut and ends with the ellipsis sign; a short one is whole.
        const float full = rc->measure_text(s.text, s.size, {}, s.weight, s.style, 0).width;
        if (full > s.width) {
            ++cut;
            EXPECT_EQ(recorder.inline_objects, 1) << utf8(s.text);
            EXPECT_LT(drawn_units, s.text.size()) << utf8(s.text);
        } else {
            EXPECT_EQ(recorder.inline_objects, 0) << utf8(s.text);
            EXPECT_EQ(drawn_units, s.text.size()) << utf8(s.text);
        }
    }
    EXPECT_EQ(cut, 2);  // the two long names
}

}  // namespace
}  // namespace d2dui
