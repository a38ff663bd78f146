#pragma once
// How the engine drives TUN mode. All calls may come from any thread; they are serialised under
// one TUN lock, which the engine may take while holding its engine mutex (engine mutex first).
//
// - `tun_set_leak_protection` records whether leak-protection filters are wanted. With no TUN
//   active it only records the wish and returns true. With a TUN active, switching on adds the
//   filters at once (on failure: false, a message, and the wish is cleared again) and switching
//   off removes them.
// - `tun_start` brings TUN mode up for a session through the node whose server host is given
//   (that host's addresses stay outside the tunnel), or reuses an active TUN with the new dial
//   factory and host. True when TUN mode carries traffic; false with the reason in
//   `out_message`, leaving nothing of TUN mode behind.
// - `tun_pause`: the session ended; no new connections are served. With leak protection the
//   routes and filters stay until the next `tun_start` or `tun_stop`; without, or when the
//   adapter has gone away, all is torn down.
// - `tun_stop` tears TUN mode down completely; nothing happens when it is off.
// - `set_tun_log_sink` installs the function TUN mode reports information lines to (from its
//   own threads); `tun_log` sends one line to it, or nowhere when none is installed.
//
// - `tun_recover` undoes what an earlier run that ended abnormally left behind (its DNS policy);
//   the engine calls it at every start, with the single-instance lock held.
// - `set_tun_routed_names` installs the test for the names whose traffic TUN mode routes.
//
// Order of `tun_start`: self-test, rights, default interface, left-over policy removed, the
// interface's addresses, the node bypassed, device library, adapter, session, filters (with leak
// protection), adapter address, MTU and metric, threads, the route to the virtual DNS address and
// the DNS policy; then node connections are bound to the default interface and the network is
// watched. Every failure tears all of it down again. Teardown stops the watch and removes the DNS
// policy first, so no lookup goes to the virtual address while the threads end.
//
// While TUN mode is active, a change of the network (network_watch.h) is followed within 2 s: the
// default interface, its address and DNS server are read again and used from then on (queries
// leave from the new address to the new server, node connections are bound to the new
// interface), a DNS policy someone replaced is put back (the replacing text being what the end
// restores), and one line goes to the log sink. The session, the adapter, its routes and filters
// stay.

#include "tun/tun_dial_fn.h"

#include <functional>
#include <string>
#include <string_view>

namespace pelto {

using tun_log_sink = std::function<void(std::u16string_view line)>;
// Told, from TUN mode's own thread, that the adapter went away under an active TUN (a driver
// reset, another program deleting it): by then the reader has ended and the DNS policy is undone;
// the owner ends its session (the next `tun_pause` or `tun_stop` tears the rest down). Called
// with a text for the user, which then goes to no log sink (without a lost sink it goes there).
// A teardown may be joining the reader while the sink runs: the sink must not call TUN mode.
using tun_lost_sink = std::function<void(std::u16string_view message)>;

bool tun_set_leak_protection(bool on, std::u16string& out_message);
bool tun_start(dial_fn dial, std::string_view server_host, std::u16string& out_message);
void tun_pause();
void tun_stop();
void tun_recover();
bool tun_active();
void set_tun_routed_names(std::function<bool(std::string_view host)> is_routed);

// The checks and actions of `tun_start`, in order, as the test seam names them.
enum class tun_start_step {
    none,
    rights,
    default_interface,
    interface_addresses,
    device_library,
    adapter,
    session,
    adapter_id,
    leak_filters,
    adapter_address,
    interface_parameters,
    threads,
    dns_route,
    dns_policy,
};

// Test seam: makes `step` of `tun_start` fail as if the system had refused it; `none` for none.
void set_tun_start_fault_for_testing(tun_start_step step);

void set_tun_log_sink(tun_log_sink sink);
void set_tun_lost_sink(tun_lost_sink sink);
void tun_log(std::u16string_view line);

// Whether leak-protection filters are currently wanted.
bool tun_leak_protection_wanted();

}  // namespace pelto
