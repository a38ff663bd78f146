// The text box on the real window services (under Wine in CI): clipboard round trips with Chinese
// text, unterminated clipboard blocks, and the input-method windows placed in pixels at a zoom.

#include <gtest/gtest.h>

#include <windows.h>

#include <imm.h>

#include <cstring>
#include <string>

#include "d2dui/application.h"
#include "d2dui/platform_services.h"
#include "d2dui/textbox.h"

namespace d2dui {
namespace {

class box_app : public application {
public:
    textbox* box = nullptr;

protected:
    void on_build(widget& root) override
    {
        box = root.emplace_child<textbox>(u"URL", 13.0f, false);
        box->set_bounds(40, 143, 360, 26);
    }
};

class textbox_window : public ::testing::Test {
protected:
    void SetUp() override
    {
        app.vsync = false;
        app.zoom = 1.5f;
        app.open(u"text box test", 440, 600);
        hwnd = static_cast<HWND>(app.window_handle());
        ASSERT_NE(hwnd, nullptr);
        widget::set_focus(app.box);
    }
    void key(std::uint32_t vk, bool ctrl)
    {
        input_event e = input_event::keyboard(input_kind::key_down, vk);
        e.ctrl = ctrl;
        app.root()->route_event(e);
    }
    std::u16string system_clipboard()
    {
        std::u16string text;
        if (OpenClipboard(hwnd)) {
            if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
                if (const auto* p = static_cast<const char16_t*>(GlobalLock(data))) {
                    text = p;
                    GlobalUnlock(data);
                }
            }
            CloseClipboard();
        }
        return text;
    }
    bool put_clipboard(const void* bytes, std::size_t size)
    {
        if (!OpenClipboard(hwnd)) {
            return false;
        }
        EmptyClipboard();
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
        bool ok = false;
        if (memory != nullptr) {
            std::memcpy(GlobalLock(memory), bytes, size);
            GlobalUnlock(memory);
            ok = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
            if (!ok) {
                GlobalFree(memory);
            }
        }
        CloseClipboard();
        return ok;
    }

    box_app app;
    HWND hwnd = nullptr;
};

TEST_F(textbox_window, chinese_text_round_trips_through_the_system_clipboard)
{
    const std::u16string url = u"https://订阅.例子/路径?名=节点\U0001F511";
    app.box->set_text(url);
    key('A', true);
    key('C', true);
    EXPECT_EQ(system_clipboard(), url);

    const std::u16string lines = u"第一行\r\n第二行";
    ASSERT_TRUE(put_clipboard(lines.c_str(), (lines.size() + 1) * sizeof(char16_t)));
    key('A', true);
    key('V', true);
    EXPECT_EQ(app.box->get_text(), u"第一行第二行");
}

TEST_F(textbox_window, an_unterminated_clipboard_block_is_read_within_its_size)
{
    const char16_t three[3] = {u'节', u'点', u'x'};  // no terminator
    ASSERT_TRUE(put_clipboard(three, sizeof three));
    app.box->set_text(u"");
    key('V', true);
    const std::u16string pasted = app.box->get_text();
    // Read within the block: the system may terminate the text in its last unit (Wine does) or
    // round the block up with zeros; nothing beyond the block is ever read.
    ASSERT_GE(pasted.size(), 2u);
    EXPECT_EQ(pasted.substr(0, 2), u"节点");
    EXPECT_LE(pasted.size(), 3u);
}

TEST_F(textbox_window, input_method_windows_are_placed_in_pixels)
{
    app.box->set_text(u"abc");
    key(0x24, false);  // Home: the caret at the box's left edge moves and the IME follows
    HIMC context = ImmGetContext(hwnd);
    if (context == nullptr) {
        GTEST_SKIP() << "no input context on this system";
    }
    COMPOSITIONFORM form{};
    const BOOL got = ImmGetCompositionWindow(context, &form);
    CANDIDATEFORM candidate{};
    const BOOL got_candidate = ImmGetCandidateWindow(context, 0, &candidate);
    ImmReleaseContext(hwnd, context);
    ASSERT_TRUE(got);
    const float k = app.zoom * app.dpi_scale();
    // Caret at (40, 143) DIPs; the candidate window below the box (143 + 26).
    EXPECT_EQ(form.ptCurrentPos.x, static_cast<LONG>(40 * k));
    EXPECT_EQ(form.ptCurrentPos.y, static_cast<LONG>(143 * k));
    if (got_candidate) {
        EXPECT_EQ(candidate.ptCurrentPos.x, static_cast<LONG>(40 * k));
        EXPECT_EQ(candidate.ptCurrentPos.y, static_cast<LONG>((143 + 26) * k));
    }
}

}  // namespace
}  // namespace d2dui
