#include "d2dui/textbox.h"

#include <gtest/gtest.h>

#include <string>

#include "d2dui/platform_services.h"
#include "tests/support/recording_context.h"

namespace d2dui {
namespace {

using pelto::testing::recording_context;

class fake_platform : public platform_services {
public:
    std::u16string clipboard;
    point ime{-1, -1};
    void set_cursor(int) override {}
    bool set_clipboard_text(const std::u16string& text) override
    {
        clipboard = text;
        return true;
    }
    std::u16string clipboard_text() override { return clipboard; }
    void set_ime_position(point caret, float) override { ime = caret; }
    void minimize_window() override {}
    void close_window() override {}
};

constexpr std::uint32_t vk_back = 0x08, vk_left = 0x25, vk_right = 0x27, vk_delete = 0x2E, vk_home = 0x24;

// A focused box of 200 x 26 at (10, 10); the recording canvas measures 6.5 DIPs per unit at 13.
class textbox_fixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        input() = {};
        rc.platform = &platform;
        root = std::make_unique<widget>();
        root->set_bounds(0, 0, 400, 100);
        box = root->emplace_child<textbox>(u"URL", 13.0f, false);
        box->set_bounds(10, 10, 200, 26);
        root->mount(rc);
        widget::set_focus(box);
    }
    void TearDown() override
    {
        root.reset();
        input() = {};
    }
    void type(std::u16string_view text)
    {
        for (char16_t c : text) {
            input_event e = input_event::keyboard(input_kind::key_char);
            e.character = c;
            root->route_event(e);
        }
    }
    void key(std::uint32_t vk, bool ctrl = false, bool shift = false)
    {
        input_event e = input_event::keyboard(input_kind::key_down, vk);
        e.ctrl = ctrl;
        e.shift = shift;
        root->route_event(e);
    }
    void click(float x, float dt = 0.05f)
    {
        root->route_event(input_event::pointer(input_kind::pointer_down, x, 20));
        root->route_event(input_event::pointer(input_kind::pointer_up, x, 20));
        root->update(dt);
    }

    fake_platform platform;
    recording_context rc;
    std::unique_ptr<widget> root;
    textbox* box = nullptr;
};

const std::u16string smile = u"\U0001F600";  // one code point, two units

TEST_F(textbox_fixture, surrogate_pairs_are_never_split)
{
    // A pair typed as two character messages arrives whole.
    type(u"a" + smile + u"b");
    EXPECT_EQ(box->get_text(), u"a" + smile + u"b");
    key(vk_left);
    key(vk_left);
    EXPECT_EQ(box->caret(), 1);  // jumped over both halves
    key(vk_right);
    EXPECT_EQ(box->caret(), 3);
    key(vk_back);
    EXPECT_EQ(box->get_text(), u"ab");
    type(smile);
    key(vk_left);
    key(vk_delete);
    EXPECT_EQ(box->get_text(), u"ab");
    // A lone second half is dropped; a first half followed by a plain character is dropped.
    type(u"\xDE00");
    type(u"\xD83D" u"c");
    EXPECT_EQ(box->get_text(), u"acb");

    // At the length cap a pair that does not fit is left out whole.
    box->set_max_length(4);
    box->set_text(u"abc");
    type(smile);
    EXPECT_EQ(box->get_text(), u"abc");
    box->set_text(u"abc" + smile);
    EXPECT_EQ(box->get_text(), u"abc");
    // Undo never restores a half pair either.
    box->set_max_length(0);
    box->set_text(u"");
    type(smile);
    key('Z', true);
    EXPECT_EQ(box->get_text(), u"");
    key('Y', true);
    EXPECT_EQ(box->get_text(), smile);
}

TEST_F(textbox_fixture, undo_keeps_the_last_200_edits_and_a_new_edit_drops_redo)
{
    type(u"x");
    key('Z', true);
    EXPECT_EQ(box->get_text(), u"");
    key('Y', true);
    EXPECT_EQ(box->get_text(), u"x");
    key('Z', true);
    type(u"y");
    EXPECT_EQ(box->redo_depth(), 0u);
    key('Y', true);
    EXPECT_EQ(box->get_text(), u"y");

    box->set_text(u"");
    for (int i = 0; i < 201; ++i) {
        type(u"a");
    }
    for (int i = 0; i < 250; ++i) {
        key('Z', true);
    }
    EXPECT_EQ(box->get_text(), u"a");  // the first of 201 edits can no longer be undone
}

TEST_F(textbox_fixture, paste_drops_line_breaks_respects_the_cap_and_replaces_the_selection)
{
    box->set_max_length(8192);
    box->set_text(u"keep THIS");
    platform.clipboard = u"one\r\ntwo\n";
    key(vk_left, true, true);  // select "THIS"
    key('V', true);
    EXPECT_EQ(box->get_text(), u"keep onetwo");
    box->set_text(std::u16string(8192, u'x'));
    key('V', true);
    EXPECT_EQ(box->get_text().size(), 8192u);
    // Copy and cut go through the platform clipboard.
    box->set_text(u"abc def");
    key(vk_home);
    key(vk_right, true, true);
    key('X', true);
    EXPECT_EQ(platform.clipboard, u"abc");
    EXPECT_EQ(box->get_text(), u" def");
}

TEST_F(textbox_fixture, word_movement_and_clicks)
{
    EXPECT_EQ(textbox::word_right(u"foo_bar baz", 0), 7);
    EXPECT_EQ(textbox::word_left(u"foo_bar baz", 11), 8);
    EXPECT_EQ(textbox::word_left(u"foo_bar baz", 8), 0);
    EXPECT_EQ(textbox::word_right(u"a, b", 1), 4);

    box->set_text(u"https://my_node.example/path");
    // 6.5 DIPs per unit: x = 10 + 6.5 * 10 is inside "my_node".
    click(75, 0.1f);
    EXPECT_EQ(box->caret(), 10);
    EXPECT_EQ(box->anchor(), 10);
    click(75, 0.1f);
    EXPECT_EQ(std::min(box->caret(), box->anchor()), 8);
    EXPECT_EQ(std::max(box->caret(), box->anchor()), 15);  // the underscore is part of the word
    click(75, 0.1f);
    EXPECT_EQ(box->anchor(), 0);
    EXPECT_EQ(box->caret(), 28);
    // Slow clicks count from 1 again.
    root->update(1.0f);
    click(75);
    EXPECT_EQ(box->caret(), 10);
    EXPECT_EQ(box->anchor(), 10);

    // Typing over a selection replaces it.
    key('A', true);
    type(u"z");
    EXPECT_EQ(box->get_text(), u"z");
}

TEST_F(textbox_fixture, caret_scrolls_into_view_and_password_counts_characters)
{
    box->set_text(u"");
    type(std::u16string(60, u'w'));  // 390 DIPs of text in a 200-DIP box
    EXPECT_FLOAT_EQ(box->scroll(), 390 - 200 + 2);
    EXPECT_FLOAT_EQ(platform.ime.x, 10 - box->scroll() + 390);
    EXPECT_FLOAT_EQ(platform.ime.y, 10);
    key(vk_home);
    EXPECT_FLOAT_EQ(box->scroll(), 0);

    auto* secret = root->emplace_child<textbox>(u"", 13.0f, true);
    secret->set_bounds(10, 50, 200, 26);
    secret->set_text(u"p" + smile);
    rc.clear();
    secret->paint(rc);
    const auto texts = rc.named("draw_text");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].text, u"\u2022\u2022");  // two characters, two bullets
    EXPECT_EQ(secret->caret(), 3);
}

TEST_F(textbox_fixture, altgr_types_its_character_and_runs_no_ctrl_shortcut)
{
    box->set_text(u"ab");
    type(u"c");
    platform.clipboard = u"pasted";
    // AltGr arrives as Ctrl+Alt: none of the Ctrl shortcuts may run.
    for (const std::uint32_t vk : {'A', 'C', 'V', 'X', 'Z', 'Y'}) {
        input_event e = input_event::keyboard(input_kind::key_down, vk);
        e.ctrl = true;
        e.alt = true;
        EXPECT_FALSE(root->route_event(e)) << static_cast<char>(vk);
    }
    EXPECT_EQ(box->get_text(), u"abc");
    EXPECT_EQ(box->caret(), 3);
    EXPECT_EQ(box->anchor(), 3);
    EXPECT_EQ(platform.clipboard, u"pasted");
    type(u"@");
    EXPECT_EQ(box->get_text(), u"abc@");
    // Ctrl alone still selects all.
    key('A', true);
    EXPECT_EQ(box->anchor(), 0);
}

TEST_F(textbox_fixture, a_click_in_a_long_text_costs_one_hit_test)
{
    box->set_max_length(8192);
    box->set_text(std::u16string(8192, u'x'));
    key(vk_home);
    rc.measure_calls = 0;
    rc.hit_test_calls = 0;
    click(10 + 6.5f * 20 + 2);
    EXPECT_EQ(box->caret(), 20);
    EXPECT_EQ(rc.hit_test_calls, 1);
    EXPECT_LE(rc.measure_calls, 4);  // scrolling the caret into view, not one per character

    // Inside a pair the caret lands before it; a password box counts one bullet per code point.
    box->set_text(u"a" + smile + u"b");
    key(vk_home);
    click(10 + 6.5f * 2);
    EXPECT_EQ(box->caret(), 1);
    auto* secret = root->emplace_child<textbox>(u"", 13.0f, true);
    secret->set_bounds(10, 50, 200, 26);
    secret->set_text(u"p" + smile + u"q");
    root->route_event(input_event::pointer(input_kind::pointer_down, 10 + 6.5f * 2, 60));
    root->route_event(input_event::pointer(input_kind::pointer_up, 10 + 6.5f * 2, 60));
    EXPECT_EQ(secret->caret(), 3);  // after the pair, before "q"
}

}  // namespace
}  // namespace d2dui
