// pelto (Linux) / pelto-cli.exe (Windows): the headless front end.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/cli/console.h"
#include "app/cli/front_end.h"
#include "system/elevation.h"
#include "system/instance_lock.h"
#include "system/preferences.h"
#include "base/obfuscated.h"
#include "base/text.h"
#include "crypto/known_answers.h"
#include "engine/engine_state.h"
#include "engine/listener.h"
#include "engine/system_proxy.h"
#include "net/subscription_url.h"
#include "base/localized_text.h"

#ifndef PELTO_VERSION_TEXT
#define PELTO_VERSION_TEXT "0.0.0"
#endif

namespace pelto::cli {
namespace {

using namespace std::chrono_literals;

constexpr int exit_ok = 0;
constexpr int exit_error = 1;
constexpr int exit_usage = 2;
constexpr int exit_no_node = 3;
constexpr int exit_interrupted_twice = 130;

std::atomic<int> interrupts{0};
bool verbose = false;

void on_interrupt()
{
    if (interrupts.fetch_add(1) >= 1) {
        // A second interrupt: put the user's proxy settings back and leave at once.
        restore_system_proxy();
        write_err(PELTO_TEXT("\ninterrupted again: proxy settings restored, exiting now\n").view());
        std::_Exit(exit_interrupted_twice);
    }
    front_end::post_interrupt();
}

void error_line(std::u16string_view text)
{
    write_err(PELTO_TEXT("pelto: ").str() + utf16_to_utf8(text) + "\n");
}

std::string usage()
{
    return PELTO_TEXT(
               "usage: pelto [--verbose] COMMAND [options]\n"
               "\n"
               "  nodes [--subscription URL] [--json]\n"
               "      load and probe the node list once and print it\n"
               "      (exit 0: a node answered, 3: none answered, 1: error)\n"
               "  connect [--node N|NAME] [--subscription URL] [--tun] [--leak-protection]\n"
               "          [--no-system-proxy] [--duration S]\n"
               "      load, probe, connect to a node (default: the fastest) and run the local proxy\n"
               "      until Ctrl-C, SIGTERM or the duration ends\n"
               "  settings [show | subscription URL | clear | language 0|1|2 | leak-protection on|off]\n"
               "  self-test      check the crypto primitives against known answers\n"
               "  --help, --version\n")
        .str();
}

// "https://host" of a subscription address: never its path or query (they carry tokens).
std::string scheme_and_host(std::u16string_view url)
{
    const std::string text = utf16_to_utf8(url);
    const std::size_t scheme_end = text.find(PELTO_TEXT("://").view());
    if (scheme_end == std::string::npos) {
        return PELTO_TEXT("(hidden)").str();
    }
    std::size_t host_end = text.find_first_of("/?#", scheme_end + 3);
    std::string host = text.substr(scheme_end + 3, host_end == std::string::npos ? std::string::npos
                                                                                  : host_end - scheme_end - 3);
    if (!host.empty() && host.front() == '[') {
        host = host.substr(0, host.find(']') + 1);
    } else {
        host = host.substr(0, host.find(':'));
    }
    return text.substr(0, scheme_end + 3) + host;
}

std::string latency_text(std::int32_t latency)
{
    if (latency >= 0) {
        return std::to_string(latency) + PELTO_TEXT(" ms").str();
    }
    if (latency == latency_not_measured) {
        return "…";
    }
    return utf16_to_utf8(localized_text(message_id::unavailable));
}

std::size_t display_width(std::string_view utf8)
{
    std::size_t n = 0;
    for (const char c : utf8) {
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return n;
}

std::string pad(std::string text, std::size_t width)
{
    const std::size_t w = display_width(text);
    if (w < width) {
        text.append(width - w, ' ');
    }
    return text;
}

void print_table(const std::vector<node_entry>& nodes)
{
    std::size_t name_width = 4;
    for (const node_entry& n : nodes) {
        name_width = std::max(name_width, std::min<std::size_t>(display_width(utf16_to_utf8(n.name)), 40));
    }
    std::string out = pad(PELTO_TEXT("  #").str(), 5) + pad(PELTO_TEXT("Name").str(), name_width + 2) +
                      pad(PELTO_TEXT("Protocol").str(), 13) + PELTO_TEXT("Latency\n").str();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        std::string index = std::to_string(i + 1);
        out += pad(std::string(index.size() < 3 ? 3 - index.size() : 0, ' ') + index, 5) +
               pad(utf16_to_utf8(nodes[i].name), name_width + 2) + pad(utf16_to_utf8(nodes[i].subtitle), 13) +
               latency_text(nodes[i].latency_ms) + "\n";
    }
    write_out(out);
}

void print_json(const std::vector<node_entry>& nodes)
{
    nlohmann::json list = nlohmann::json::array();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        nlohmann::json row;
        row[PELTO_TEXT("index").str()] = i + 1;
        row[PELTO_TEXT("name").str()] = utf16_to_utf8(nodes[i].name);
        row[PELTO_TEXT("protocol").str()] = utf16_to_utf8(nodes[i].subtitle);
        if (nodes[i].latency_ms >= 0) {
            row[PELTO_TEXT("latency_ms").str()] = nodes[i].latency_ms;
        } else {
            row[PELTO_TEXT("latency_ms").str()] = nullptr;
        }
        list.push_back(std::move(row));
    }
    write_out(list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

// Live progress while the list loads: one line redrawn on a terminal, plain lines otherwise.
// With machine-readable output the progress goes to standard error, as plain lines.
class progress {
public:
    explicit progress(bool to_stderr = false) : terminal_(!to_stderr && stdout_is_terminal()), to_stderr_(to_stderr) {}
    ~progress() { finish(); }

    void show(const std::string& text)
    {
        if (text == last_) {
            return;
        }
        last_ = text;
        if (terminal_) {
            write_out("\r\033[K" + text);
            open_ = true;
        } else if (to_stderr_) {
            write_err(text + "\n");
        } else {
            write_out(text + "\n");
        }
    }
    void finish()
    {
        if (open_) {
            write_out("\r\033[K");
            open_ = false;
        }
    }

private:
    bool terminal_;
    bool to_stderr_;
    bool open_ = false;
    std::string last_;
};

struct options {
    std::string command;
    std::vector<std::string> rest;
    bool json = false;
    bool tun = false;
    bool leak_protection = false;
    bool no_system_proxy = false;
    std::optional<std::u16string> subscription;
    std::string node;
    long duration_s = 0;
};

void show_line(const engine_event& e)
{
    if (verbose || is_error_line(e.line)) {
        write_err(utf16_to_utf8(verbose ? std::u16string_view(e.line) : strip_log_prefix(e.line)) + "\n");
    }
}

// Waits for the cycle's final list (then available from `fe`); an exit code instead when the
// engine failed or the user interrupted.
std::optional<int> wait_for_final_list(front_end& fe, progress& bar)
{
    for (;;) {
        const auto e = fe.next(250ms);
        if (!e) {
            continue;
        }
        switch (e->what) {
        case engine_event::kind::interrupt:
            bar.finish();
            return exit_error;
        case engine_event::kind::line:
            bar.finish();
            show_line(*e);
            break;
        case engine_event::kind::state:
            if (e->state == static_cast<std::int32_t>(engine_state::loading)) {
                bar.show(utf16_to_utf8(localized_text(message_id::loading_nodes)));
            } else if (e->state == static_cast<std::int32_t>(engine_state::failed)) {
                bar.finish();
                return exit_error;
            }
            break;
        case engine_event::kind::node_list: {
            if (e->final_list == 1) {
                bar.finish();
                return std::nullopt;
            }
            if (e->nodes.empty()) {
                break;
            }
            std::size_t measured = 0;
            std::size_t answered = 0;
            for (const node_entry& n : e->nodes) {
                measured += n.latency_ms != latency_not_measured ? 1 : 0;
                answered += n.latency_ms >= 0 ? 1 : 0;
            }
            char text[160];
            std::snprintf(text, sizeof text, PELTO_TEXT("%s %zu/%zu measured, %zu answered").c_str(),
                          utf16_to_utf8(localized_text(message_id::testing)).c_str(), measured, e->nodes.size(), answered);
            bar.show(text);
            break;
        }
        }
    }
}

void end_engine(front_end& fe)
{
    fe.shutdown();
    if (!fe.wait_ended(30s)) {
        error_line(PELTO_TEXT(u"the engine did not stop in time").view());
    }
}

preferences effective_preferences(const options& o)
{
    preferences prefs = load_preferences();
    if (o.subscription) {
        prefs.subscription_url = *o.subscription;
    }
    if (o.leak_protection) {
        prefs.option_flag = true;
    }
    prefs.tun_enabled = o.tun;
    return prefs;
}

int run_nodes(const options& o)
{
    const instance_lock lock;
    if (!lock.held()) {
        error_line(PELTO_TEXT(u"another instance of pelto is running").view());
        return exit_error;
    }
    front_end fe;
    progress bar(o.json);
    fe.start(effective_preferences(o));
    const std::optional<int> failed = wait_for_final_list(fe, bar);
    end_engine(fe);
    if (failed) {
        return *failed;
    }
    o.json ? print_json(fe.final_list()) : print_table(fe.final_list());
    for (const node_entry& n : fe.final_list()) {
        if (n.latency_ms >= 0) {
            return exit_ok;
        }
    }
    return exit_no_node;
}

// The index to connect to, or -1.
std::int32_t choose_node(const std::vector<node_entry>& nodes, const std::string& wanted)
{
    if (wanted.empty()) {
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i].latency_ms >= 0) {
                return static_cast<std::int32_t>(i);
            }
        }
        return -1;
    }
    if (wanted.find_first_not_of("0123456789") == std::string::npos && wanted.size() < 9) {
        const long n = std::strtol(wanted.c_str(), nullptr, 10);
        return n >= 1 && static_cast<std::size_t>(n) <= nodes.size() ? static_cast<std::int32_t>(n - 1) : -1;
    }
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (utf16_to_utf8(nodes[i].name) == wanted) {
            return static_cast<std::int32_t>(i);
        }
    }
    return -1;
}

int run_connect(const options& o)
{
    if (o.tun && !is_elevated()) {
        error_line(localized_text(message_id::tun_needs_administrator));  // never elevates by itself
        return exit_error;
    }
    const instance_lock lock;
    if (!lock.held()) {
        error_line(PELTO_TEXT(u"another instance of pelto is running").view());
        return exit_error;
    }
    keep_system_proxy_untouched(o.no_system_proxy);
    front_end fe;
    progress bar;
    fe.start(effective_preferences(o));
    if (const std::optional<int> failed = wait_for_final_list(fe, bar)) {
        end_engine(fe);
        return *failed;
    }
    print_table(fe.final_list());
    const std::int32_t index = choose_node(fe.final_list(), o.node);
    if (index < 0) {
        error_line(o.node.empty() ? std::u16string(localized_text(message_id::no_node_responded))
                                  : PELTO_TEXT(u"no such node: ").str() + utf8_to_utf16(o.node));
        end_engine(fe);
        return o.node.empty() ? exit_no_node : exit_usage;
    }
    const node_entry chosen = fe.final_list()[static_cast<std::size_t>(index)];
    fe.pick(index);
    const auto started = std::chrono::steady_clock::now();
    int code = exit_ok;
    bool connected = false;
    for (;;) {
        if (connected && o.duration_s > 0 && std::chrono::steady_clock::now() - started >= std::chrono::seconds(o.duration_s)) {
            break;
        }
        const auto e = fe.next(200ms);
        if (!e) {
            continue;
        }
        if (e->what == engine_event::kind::interrupt) {
            break;
        }
        if (e->what == engine_event::kind::line) {
            show_line(*e);
            continue;
        }
        if (e->what != engine_event::kind::state) {
            continue;
        }
        if (verbose) {
            write_err(PELTO_TEXT("engine state ").str() + std::to_string(e->state) + "\n");
        }
        if (e->state == static_cast<std::int32_t>(engine_state::running)) {
            connected = true;
            const std::string address = PELTO_TEXT("127.0.0.1:").str() + std::to_string(local_proxy_port());
            write_out(utf16_to_utf8(localized_text(message_id::connected)) + ": " + utf16_to_utf8(chosen.name) + " (" +
                      utf16_to_utf8(chosen.subtitle) + ", " + latency_text(chosen.latency_ms) + ")\n");
            if (o.tun) {
                // TUN mode leaves the system proxy alone: the adapter carries the service's traffic.
                write_out(PELTO_TEXT("TUN mode: the service's traffic goes through the tunnel; local HTTP proxy: http://").str() +
                          address + "\n");
            } else if (o.no_system_proxy) {
                write_out(PELTO_TEXT("Local HTTP proxy: http://").str() + address +
                          PELTO_TEXT(" (the system proxy was left alone)\n").str());
            } else {
                write_out(PELTO_TEXT("Local HTTP proxy: http://").str() + address +
                          PELTO_TEXT(" - the system proxy points at it until pelto ends\n").str());
            }
            write_out(PELTO_TEXT("Press Ctrl-C to disconnect.\n").str());
        } else if (e->state == static_cast<std::int32_t>(engine_state::failed)) {
            code = exit_error;
            break;
        }
    }
    end_engine(fe);
    if (connected) {
        write_out(utf16_to_utf8(localized_text(message_id::not_connected)) + "\n");
    }
    return code;
}

int run_settings(const options& o)
{
    preferences prefs = load_preferences();
    const std::string action = o.rest.empty() ? PELTO_TEXT("show").str() : o.rest[0];
    const auto save = [&prefs]() {
        if (!store_preferences(prefs)) {
            error_line(localized_text(message_id::settings_not_saved));
            return exit_error;
        }
        return exit_ok;
    };
    if (action == PELTO_TEXT("show").view() && o.rest.size() <= 1) {
        std::string out = PELTO_TEXT("subscription:    ").str() +
                          (prefs.subscription_url.empty() ? PELTO_TEXT("(built-in endpoints)").str()
                                                          : scheme_and_host(prefs.subscription_url)) +
                          "\n";
        out += PELTO_TEXT("language:        ").str() + std::to_string(prefs.language) +
               PELTO_TEXT(" (0 system, 1 Chinese, 2 English)\n").str();
        out += PELTO_TEXT("leak protection: ").str() + (prefs.option_flag ? PELTO_TEXT("on").str() : PELTO_TEXT("off").str()) + "\n";
        out += PELTO_TEXT("TUN mode:        ").str() + (prefs.tun_enabled ? PELTO_TEXT("on").str() : PELTO_TEXT("off").str()) + "\n";
        write_out(out);
        return exit_ok;
    }
    if (action == PELTO_TEXT("subscription").view() && o.rest.size() == 2) {
        const std::u16string url = utf8_to_utf16(o.rest[1]);
        if (!check_subscription_url(url)) {
            error_line(localized_text(message_id::invalid_subscription_url));
            return exit_error;
        }
        prefs.subscription_url = url;
        return save();
    }
    if (action == PELTO_TEXT("clear").view() && o.rest.size() == 1) {
        prefs.subscription_url.clear();
        return save();
    }
    if (action == PELTO_TEXT("language").view() && o.rest.size() == 2 && (o.rest[1] == PELTO_TEXT("0").view() || o.rest[1] == PELTO_TEXT("1").view() || o.rest[1] == PELTO_TEXT("2").view())) {
        prefs.language = o.rest[1][0] - '0';
        return save();
    }
    if (action == PELTO_TEXT("leak-protection").view() && o.rest.size() == 2 && (o.rest[1] == PELTO_TEXT("on").view() || o.rest[1] == PELTO_TEXT("off").view())) {
        prefs.option_flag = o.rest[1] == PELTO_TEXT("on").view();
        return save();
    }
    write_err(usage());
    return exit_usage;
}

// Parses the command line; false (with a message) on a mistake.
bool parse(int argc, char** argv, options& o)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                write_err(PELTO_TEXT("pelto: ").str() + a + PELTO_TEXT(" needs a value\n").str());
                return false;
            }
            out = args[++i];
            return true;
        };
        if (a == PELTO_TEXT("--verbose").view()) {
            verbose = true;
        } else if (a == PELTO_TEXT("--json").view()) {
            o.json = true;
        } else if (a == PELTO_TEXT("--tun").view()) {
            o.tun = true;
        } else if (a == PELTO_TEXT("--leak-protection").view()) {
            o.leak_protection = true;
        } else if (a == PELTO_TEXT("--no-system-proxy").view()) {
            o.no_system_proxy = true;
        } else if (a == PELTO_TEXT("--subscription").view()) {
            std::string url;
            if (!value(url)) {
                return false;
            }
            o.subscription = utf8_to_utf16(url);
        } else if (a == PELTO_TEXT("--node").view()) {
            if (!value(o.node)) {
                return false;
            }
        } else if (a == PELTO_TEXT("--duration").view()) {
            std::string s;
            if (!value(s)) {
                return false;
            }
            char* end = nullptr;
            o.duration_s = std::strtol(s.c_str(), &end, 10);
            if (end == s.c_str() || *end != '\0' || o.duration_s <= 0) {
                write_err(PELTO_TEXT("pelto: --duration wants a number of seconds\n").str());
                return false;
            }
        } else if (a == PELTO_TEXT("--help").view() || a == PELTO_TEXT("-h").view() || a == PELTO_TEXT("--version").view()) {
            o.command = a;
        } else if (a.size() > 1 && a[0] == '-' && o.command != PELTO_TEXT("settings").view()) {
            write_err(PELTO_TEXT("pelto: unknown option ").str() + a + "\n");
            return false;
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            o.rest.push_back(a);
        }
    }
    return true;
}

}  // namespace

int main_entry(int argc, char** argv)
{
    init_console();
    options o;
    if (!parse(argc, argv, o)) {
        write_err(usage());
        return exit_usage;
    }
    language_choice.store(load_preferences().language);
    if (o.command.empty() || o.command == PELTO_TEXT("--help").view() || o.command == PELTO_TEXT("-h").view()) {
        write_out(usage());
        return o.command.empty() ? exit_usage : exit_ok;
    }
    if (o.command == PELTO_TEXT("--version").view()) {
        write_out(PELTO_TEXT("pelto ").str() + PELTO_VERSION_TEXT + "\n");
        return exit_ok;
    }
    if (o.command == PELTO_TEXT("self-test").view()) {
        const bool passed = crypto_self_test();
        write_out(passed ? PELTO_TEXT("crypto self-test: passed\n").str() : PELTO_TEXT("crypto self-test: FAILED\n").str());
        return passed ? exit_ok : exit_error;
    }
    if (o.command == PELTO_TEXT("settings").view()) {
        return run_settings(o);
    }
    if (o.subscription && !check_subscription_url(*o.subscription)) {
        error_line(localized_text(message_id::invalid_subscription_url));
        return exit_error;
    }
    if ((o.command == PELTO_TEXT("nodes").view() || o.command == PELTO_TEXT("connect").view()) && !o.rest.empty()) {
        write_err(usage());
        return exit_usage;
    }
    if (o.command == PELTO_TEXT("nodes").view()) {
        watch_interrupts(on_interrupt);
        return run_nodes(o);
    }
    if (o.command == PELTO_TEXT("connect").view()) {
        watch_interrupts(on_interrupt);
        return run_connect(o);
    }
    write_err(PELTO_TEXT("pelto: unknown command ").str() + o.command + "\n" + usage());
    return exit_usage;
}

}  // namespace pelto::cli

int main(int argc, char** argv)
{
    return pelto::cli::main_entry(argc, argv);
}
