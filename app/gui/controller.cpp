#include "app/gui/controller.h"

#include <chrono>
#include <deque>
#include <mutex>
#include <system_error>

#include "system/elevation.h"
#include "base/obfuscated.h"
#include "net/subscription_url.h"
#include "base/localized_text.h"

namespace pelto::gui {
namespace {

constexpr std::uint32_t vk_tab = 0x09, vk_return = 0x0D, vk_escape = 0x1B, vk_space = 0x20, vk_f5 = 0x74;

// The engine's reports, waiting for the next frame.
struct mailbox {
    std::mutex mutex;
    std::optional<std::pair<std::vector<node_entry>, bool>> nodes;
    std::deque<std::int32_t> states;
    std::optional<std::u16string> message;
};

mailbox& reports()
{
    static mailbox box;
    return box;
}

std::atomic<void (*)()> ui_wake{nullptr};

void wake_ui()
{
    if (void (*wake)() = ui_wake.load()) {
        wake();
    }
}

// How long the UI side's own teardown may take once the engine thread was given up.
constexpr auto abandon_limit = std::chrono::seconds(3);

bool is_trimmed(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

std::u16string trim(const std::u16string& text)
{
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && is_trimmed(text[first])) {
        ++first;
    }
    while (last > first && is_trimmed(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

bool valid_row(const ui::node_list& list, int row)
{
    return row >= 0 && static_cast<std::size_t>(row) < list.entries().size();
}

}  // namespace

void deliver_nodes(const std::vector<node_entry>& nodes, bool settled)
{
    mailbox& box = reports();
    const std::lock_guard lock(box.mutex);
    box.nodes.emplace(nodes, settled);
    wake_ui();
}

void deliver_state(std::int32_t state)
{
    mailbox& box = reports();
    const std::lock_guard lock(box.mutex);
    box.states.push_back(state);
    wake_ui();
}

void deliver_line(const std::u16string& line)
{
    if (!is_error_line(line)) {
        return;
    }
    mailbox& box = reports();
    const std::lock_guard lock(box.mutex);
    box.message = std::u16string(strip_log_prefix(line));
    wake_ui();
}

void set_ui_wake(void (*wake)())
{
    ui_wake.store(wake);
}

system_calls real_system_calls()
{
    return {[] { return is_elevated(); }, [] { return relaunch_elevated(); },
            [](const preferences& p) { return store_preferences(p); }};
}

controller::controller(const start_record& start, engine_port& engine, system_calls calls)
    : engine_(engine), calls_(std::move(calls)), saved_(start.prefs), edit_(start.prefs),
      stored_tun_(start.stored_tun_enabled)
{
    language_choice.store(saved_.language);
    if (start.elevation_refused) {
        error_line_ = localized_text(message_id::tun_needs_administrator);
    }
    // Reports left over from an earlier controller in this process are not ours.
    mailbox& box = reports();
    const std::lock_guard lock(box.mutex);
    box.nodes.reset();
    box.states.clear();
    box.message.reset();
}

controller::~controller()
{
    engine_.shutdown();
    if (operation_.valid()) {
        operation_.wait();
    }
    if (operation_thread_.joinable()) {
        operation_thread_.join();
    }
    if (engine_thread_.joinable()) {
        engine_thread_.join();
    }
    engine_.connect_reports(false);
}

void controller::build(d2dui::widget& root)
{
    root_ = &root;
    ui::screen_actions a;
    a.connect_or_disconnect = [this] { connect_or_disconnect(); };
    a.refresh_nodes = [this] { refresh_nodes(); };
    a.toggle_tun = [this](bool on) { toggle_tun(on); };
    a.option_changed = [this](bool on) { edit_.option_flag = on; };
    a.save_preferences = [this] { save_preferences(); };
    a.show_page = [this](int page) { show_page(page); };
    a.choose_language = [this](int i) { choose_language(i); };
    a.request_close = [this] { request_close(); };
    a.update_controls = [this] { update_controls(); };
    ui::build_screens(root, screens_, a, saved_.tun_enabled);
    update_controls();
}

void controller::start()
{
    engine_.refresh(saved_);
    engine_.connect_reports(true);
    engine_thread_ = std::thread([&engine = engine_, exited = engine_exited_] {
        engine.run();
        exited->store(true);
        wake_ui();
    });
}

bool controller::busy() const
{
    return operation_.valid() && operation_.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

bool controller::may_act() const
{
    // An engine whose thread has ended takes no more requests, whatever it reported last.
    return idle() && engine_alive() &&
           (engine_state_ == state::ready || engine_state_ == state::running || engine_state_ == state::failed);
}

void controller::begin_operation(std::function<operation_result()> work, std::function<void()> completion)
{
    if (closing_ || busy()) {
        return;
    }
    error_line_.clear();
    completion_ = std::move(completion);
    if (operation_thread_.joinable()) {
        operation_thread_.join();  // the previous worker, done since its result was taken
    }
    std::promise<operation_result> promise;
    operation_ = promise.get_future();
    operation_thread_ = std::thread([promise = std::move(promise), work = std::move(work)]() mutable {
        try {
            promise.set_value(work());
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
        wake_ui();
    });
    update_controls();
}

void controller::connect_or_disconnect()
{
    if (!may_act()) {
        return;
    }
    error_line_.clear();
    const int row = screens_.nodes->selected();
    if (engine_state_ == state::running && row == connected_index_) {
        engine_state_ = state::stopping;
        engine_.disconnect();
    } else if (valid_row(*screens_.nodes, row)) {
        requested_index_ = row;
        engine_state_ = state::starting;
        engine_.select_node(row);
    }
    update_controls();
}

void controller::refresh_nodes()
{
    if (!may_act()) {
        return;
    }
    const bool connected = engine_state_ == state::running;
    const int row = connected ? connected_index_ : screens_.nodes->selected();
    if (valid_row(*screens_.nodes, row)) {
        const node_entry& e = screens_.nodes->entries()[static_cast<std::size_t>(row)];
        pending_reselect_ = reselect{e.name, e.subtitle, connected};
    } else {
        pending_reselect_.reset();
    }
    engine_message_.clear();
    engine_state_ = state::loading;
    begin_operation(
        [this, prefs = saved_] {
            engine_.refresh(prefs);
            return operation_result{};
        },
        {});
}

void controller::set_tun_switch(bool on)
{
    if (screens_.tun->value() != on) {
        screens_.tun->set_value(on, false);
    }
}

void controller::toggle_tun(bool on)
{
    if (!idle() || !engine_alive() || engine_state_ == state::starting || engine_state_ == state::stopping) {
        set_tun_switch(saved_.tun_enabled);
        return;
    }
    if (on && !calls_.is_elevated()) {
        set_tun_switch(false);
        if (calls_.relaunch_elevated()) {
            request_close();
        } else {
            error_line_ = localized_text(message_id::tun_needs_administrator);
            update_controls();
        }
        return;
    }
    begin_operation(
        [this, on] {
            operation_result r;
            r.success = engine_.tun_switch(on, r.message);
            return r;
        },
        [this, on] {
            saved_.tun_enabled = on;
            stored_tun_ = on;
            preferences stored = saved_;
            if (!calls_.store_preferences(stored)) {
                error_line_ = localized_text(message_id::settings_not_saved);
            }
        });
}

void controller::save_preferences()
{
    if (!idle()) {
        return;
    }
    edit_.subscription_url = trim(screens_.subscription->get_text());
    if (!edit_.subscription_url.empty() && !check_subscription_url(edit_.subscription_url)) {
        error_line_ = localized_text(message_id::invalid_subscription_url);
        update_controls();
        return;
    }
    // TUN as stored by the user, not as decided at start (a wired machine starts with it on).
    preferences stored = edit_;
    stored.tun_enabled = stored_tun_;
    if (!calls_.store_preferences(stored)) {
        error_line_ = localized_text(message_id::settings_not_saved);
        update_controls();
        return;
    }
    const bool changed =
        edit_.subscription_url != saved_.subscription_url || edit_.option_flag != saved_.option_flag;
    edit_.tun_enabled = saved_.tun_enabled;
    saved_ = edit_;
    language_choice.store(saved_.language);
    if (changed && engine_alive()) {
        pending_reselect_.reset();
        begin_operation(
            [this, prefs = saved_] {
                engine_.refresh(prefs);
                return operation_result{};
            },
            [this] { show_page(0); });
    } else {
        show_page(0);
    }
}

void controller::show_page(int page)
{
    if (closing_ || busy() || screens_.stack->transitioning()) {
        return;
    }
    error_line_.clear();
    if (page == 1) {
        edit_ = saved_;
        screens_.subscription->set_text(edit_.subscription_url);
        if (screens_.option->value() != edit_.option_flag) {
            screens_.option->set_value(edit_.option_flag, false);
        }
    } else if (page == 0) {
        language_choice.store(saved_.language);
        edit_.language = saved_.language;
    }
    if (page != screens_.stack->current() && (page == 0 || page == 1)) {
        screens_.stack->show(page);
        d2dui::widget::set_focus(nullptr);
    }
    update_controls();
}

void controller::choose_language(int index)
{
    if (!idle() || index < 0 || index > 2) {
        return;
    }
    edit_.language = index;
    language_choice.store(index);
    update_controls();
}

void controller::request_close()
{
    if (closing_) {
        return;
    }
    closing_ = true;
    close_asked_ = std::chrono::steady_clock::now();
    engine_.shutdown();
    update_controls();
}

std::optional<std::chrono::steady_clock::time_point> controller::close_deadline() const
{
    if (!closing_ || close_confirmed_) {
        return std::nullopt;
    }
    return close_asked_ + close_limit_;
}

void controller::abandon_engine()
{
    if (abandoned_) {
        return;
    }
    abandoned_ = true;
    // Run on a thread of its own: it may wait for a lock the stuck engine holds.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([&engine = engine_, done] {
        engine.abandon();
        done->set_value();
    }).detach();
    finished.wait_for(abandon_limit);
    // The engine thread and a running worker end with the process.
    engine_.connect_reports(false);
    if (engine_thread_.joinable()) {
        engine_thread_.detach();
    }
    if (operation_thread_.joinable() && busy()) {
        operation_thread_.detach();
        operation_ = {};
    }
}

std::u16string controller::status_text() const
{
    if (closing_) {
        return localized_text(message_id::closing);
    }
    if (!error_line_.empty()) {
        return error_line_;
    }
    switch (shown_state()) {
    case state::loading: return localized_text(message_id::loading_nodes);
    case state::probing: return localized_text(message_id::testing);
    case state::starting: return localized_text(message_id::connecting);
    case state::running: return localized_text(message_id::connected);
    case state::stopping: return localized_text(message_id::disconnecting);
    case state::failed:
        return engine_message_.empty() ? std::u16string(localized_text(message_id::unexpected_error)) : engine_message_;
    case state::ready:
    case state::ended: break;
    }
    return localized_text(message_id::not_connected);
}

void controller::update_controls()
{
    if (screens_.nodes == nullptr) {
        return;
    }
    ui::screens& s = screens_;
    const bool is_idle = idle();
    const bool alive = engine_alive();
    const int row = s.nodes->selected();
    const bool on_connected = engine_state_ == state::running && row == connected_index_;
    const bool settling = engine_state_ == state::starting || engine_state_ == state::stopping;

    message_id label = message_id::connect;
    if (engine_state_ == state::starting) {
        label = message_id::connecting;
    } else if (engine_state_ == state::stopping) {
        label = message_id::disconnecting;
    } else if (engine_state_ == state::running) {
        label = on_connected ? message_id::disconnect : message_id::switch_node;
    }
    s.primary->set_label(localized_text(label));
    s.primary->set_enabled(is_idle && alive && !settling && engine_state_ != state::loading &&
                           engine_state_ != state::probing && engine_state_ != state::ended &&
                           (valid_row(*s.nodes, row) || on_connected));
    s.nodes->set_enabled(is_idle && !settling);
    s.nodes->empty_text = localized_text(engine_state_ == state::loading ? message_id::loading_nodes
                                                                        : message_id::no_nodes_available);
    const bool act = may_act();
    s.refresh->set_enabled(act);
    s.tun->set_enabled(act);
    s.refresh->spinning = alive && (engine_state_ == state::loading || engine_state_ == state::probing);
    if (!s.refresh->spinning) {
        s.refresh->angle = 0;
    }
    for (d2dui::widget* w : std::initializer_list<d2dui::widget*>{
             s.settings_button, s.subscription, s.option, s.clear, s.save, s.back}) {
        w->set_enabled(is_idle);
    }
    s.subscription->set_placeholder(localized_text(message_id::subscription_url_hint));
    s.save->set_label(localized_text(message_id::save));
    s.back->set_label(localized_text(message_id::back));
    for (int i = 0; i < 3; ++i) {
        ui::button* b = s.languages[static_cast<std::size_t>(i)];
        b->set_enabled(is_idle);
        b->set_label(ui::language_label(i));
        ui::mark_language_button(*b, i == edit_.language);
    }
    s.texts.status = status_text();
    s.texts.status_is_error = !closing_ && (!error_line_.empty() || shown_state() == state::failed);
    s.texts.error_line = error_line_;
}

bool controller::poll(float width, float height)
{
    bool changed = false;
    if (!exit_seen_ && engine_exited_->load()) {
        exit_seen_ = true;
        changed = true;
    }
    std::optional<std::pair<std::vector<node_entry>, bool>> nodes;
    std::deque<std::int32_t> states;
    std::optional<std::u16string> message;
    {
        mailbox& box = reports();
        const std::lock_guard lock(box.mutex);
        nodes.swap(box.nodes);
        states.swap(box.states);
        message.swap(box.message);
    }
    if (nodes && !(pending_reselect_ && nodes->first.empty())) {
        screens_.nodes->set_nodes(std::move(nodes->first), nodes->second);
        changed = true;
    }
    for (const std::int32_t reported : states) {
        const state s = static_cast<state>(reported);
        engine_state_ = s;
        if (s != state::ended) {
            last_live_state_ = s;
        }
        if (s == state::running) {
            connected_index_ = requested_index_;
        } else if (s == state::loading || s == state::ready) {
            connected_index_ = -1;
        }
        if (s == state::loading) {
            engine_message_.clear();
        }
        changed = true;
    }
    if (message) {
        engine_message_ = std::move(*message);
        changed = true;
    }
    if (operation_.valid() && operation_.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        const operation_result r = operation_.get();
        if (operation_thread_.joinable()) {
            operation_thread_.join();
        }
        std::function<void()> completion = std::move(completion_);
        completion_ = nullptr;
        if (r.success) {
            if (completion) {
                completion();
            }
        } else {
            error_line_ = r.message;
        }
        set_tun_switch(saved_.tun_enabled);
        changed = true;
    }
    if (pending_reselect_) {
        if (engine_state_ == state::failed) {
            pending_reselect_.reset();
            screens_.nodes->set_nodes({}, false);
            changed = true;
        } else if (engine_state_ == state::ready && !screens_.nodes->entries().empty() && idle()) {
            const reselect r = std::move(*pending_reselect_);
            pending_reselect_.reset();
            const bool found = screens_.nodes->select_by_key(r.name, r.subtitle);
            if (r.reconnect) {
                if (found && valid_row(*screens_.nodes, screens_.nodes->selected())) {
                    connect_or_disconnect();
                } else {
                    error_line_ = r.name + PELTO_TEXT(u" - ").str() + localized_text(message_id::unavailable);
                }
            }
            changed = true;
        }
    }
    // An engine that ended without being asked to (its network never started) keeps its last
    // state and error on screen; every action stays off from now on.
    ui::layout_controls(screens_, width, height);
    if (changed || (engine_exited_->load() && !closing_)) {
        update_controls();
    }
    poll_changed_ = changed;
    if (closing_ && !close_confirmed_ && engine_exited_->load() && !busy()) {
        close_confirmed_ = true;
        return true;
    }
    if (closing_ && !close_confirmed_ && std::chrono::steady_clock::now() >= close_asked_ + close_limit_) {
        abandon_engine();
        close_confirmed_ = true;
        return true;
    }
    return false;
}

bool controller::on_close_message()
{
    if (close_confirmed_) {
        return true;
    }
    request_close();
    return false;
}

bool controller::on_key(std::uint32_t vk, bool shift, bool repeat)
{
    d2dui::widget* focused = d2dui::input().focused_widget;
    if (vk == vk_tab) {
        if (root_ != nullptr) {
            d2dui::widget::focus_next(root_, focused, shift);
        }
        return true;
    }
    if (vk == vk_return || vk == vk_space) {
        if (focused == nullptr || !focused->enabled()) {
            return false;
        }
        auto* toggle = dynamic_cast<zelno::components::toggle_switch*>(focused);
        auto* clickable = dynamic_cast<d2dui::clickable_widget*>(focused);
        if (toggle == nullptr && (clickable == nullptr || !clickable->on_click)) {
            return false;  // the text box and the list take these keys themselves
        }
        if (repeat) {
            return true;  // a held key activates once
        }
        if (toggle != nullptr) {
            toggle->set_value(!toggle->value(), true);
        } else {
            clickable->on_click();
        }
        return true;
    }
    if (vk == vk_f5) {
        if (!repeat) {
            refresh_nodes();  // does nothing unless an action may run now
        }
        return true;
    }
    if (vk == vk_escape) {
        if (screens_.stack->current() == 1 && idle() && !screens_.stack->transitioning()) {
            error_line_.clear();
            language_choice.store(saved_.language);
            show_page(0);
            update_controls();
        }
        return true;
    }
    return false;
}

void controller::end_session(std::chrono::milliseconds limit)
{
    closing_ = true;
    engine_.shutdown();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!engine_exited_->load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (engine_exited_->load() && engine_thread_.joinable()) {
        engine_thread_.join();
    } else {
        abandon_engine();  // the process ends next: the destructor must not wait for the engine
    }
}

}  // namespace pelto::gui
