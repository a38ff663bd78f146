#pragma once
// Rebuilding the node list at the start of every engine cycle: the subscription endpoints, the
// fetch and parse, latency probing through each node, and the lists the GUI sees meanwhile.
//
// `load_nodes` tries the user's subscription address alone when one is set, otherwise the
// endpoints of the endpoint document (a file beside the program, else the embedded one), in
// order; the first endpoint whose body yields nodes that answer wins (a user-given address is
// accepted even when no node answers). It returns the nodes sorted as the final list was
// published; an empty result leaves the reason in `out_error` (possibly empty when a reload or
// shutdown cut the load short). Runs on the engine thread; reads the engine's flags.
//
// `probe_nodes` measures every node on up to 8 worker threads, publishing an interim list every
// 80 ms and one final list after sorting (rank, measured before unmeasured, latency, position);
// true when at least one node answered. A reload or shutdown ends it early with no final list.
// If no worker thread can be started the probes run on the calling thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "proxy/node_record.h"

namespace pelto {

inline constexpr std::size_t endpoint_file_max = 2097152;
inline constexpr std::size_t max_backup_endpoints = 32;
inline constexpr std::size_t max_endpoint_url_bytes = 8192;
inline constexpr std::size_t max_probe_workers = 8;
inline constexpr std::int32_t interim_period_ms = 80;
inline constexpr std::uint16_t probe_port = 443;
inline constexpr std::int32_t probe_connect_timeout_ms = 4000;
inline constexpr std::int32_t probe_io_timeout_ms = 5000;

bool load_nodes(std::vector<node_record>& out_nodes, std::u16string& out_error);

// The endpoint document's URLs, primary first, duplicates removed; empty when the document is
// unusable as a whole (not a JSON object, no valid primary, "backups" not an array of at most 32
// valid URLs). Never throws, whatever the input.
std::vector<std::u16string> parse_endpoint_document(std::string_view json);
// The endpoint list from the file beside the program or the embedded document. Empty with
// `out_error` set (localized 26 or 40) when unusable.
std::vector<std::u16string> load_endpoint_list(std::u16string& out_error);

bool probe_nodes(std::vector<node_record>& nodes);
// One probe: the latency in milliseconds, or -1 with `out_error` set.
std::int32_t probe_node(const node_record& node, std::u16string& out_error);
// The probe's ClientHello record for `host` (random fields drawn fresh).
bytes build_probe_client_hello(std::string_view host);

// The order of the final list: smaller rank first; within a rank measured (>= 0) before
// unmeasured, then smaller latency; otherwise the current position. Returns positions.
std::vector<std::size_t> final_order(const std::vector<node_record>& nodes,
                                     const std::vector<std::int32_t>& latencies);

void publish_nodes(const std::vector<node_record>& nodes, const std::vector<std::int32_t>& latencies,
                   std::int32_t final_list);
// The name a node is shown with (its name, else its server).
std::u16string display_name(const node_record& node);

// The host the probe asks each node for (deployment configuration).
std::string probe_host();

// Test seams; the product never calls them. An empty text restores the default.
void set_probe_host_for_testing(std::string_view host);
void set_endpoint_directory_for_testing(std::u16string_view directory);
// Makes every probe worker after the first `count` fail to start, as when the system has no
// threads left; a negative count restores normal starts.
void set_probe_worker_limit_for_testing(int count);

// Platform backend: the directory of the program file (ending with a separator), false when
// unavailable; and the embedded endpoint document's bytes (empty when there is none).
bool program_directory(std::u16string& out_directory);
std::string embedded_endpoint_document();
// Reads a whole file of at most `limit` bytes. 0: read; 1: it does not exist; 2: it exists but
// cannot be read, is empty or is larger than `limit`.
int read_small_file(const std::u16string& path, std::size_t limit, std::string& out_bytes);

}  // namespace pelto
