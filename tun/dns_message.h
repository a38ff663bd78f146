#pragma once
// DNS messages as TUN mode's resolver sees them: one bounded name reader shared by every walk,
// the sanitiser of captured queries, the check that an answer belongs to its query, the rewriter
// of answers for routed names, and the truncated reply that sends a client to TCP.
//
// Pure functions over whole messages. Names come out as dotted text in lower case (ASCII A-Z
// only). Nothing here routes or filters: the rewriter asks its hooks.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace pelto::tun {

inline constexpr std::size_t dns_header_size = 12;
inline constexpr std::size_t max_dns_message = 4096;
inline constexpr std::uint16_t dns_type_a = 1;
inline constexpr std::uint16_t dns_type_cname = 5;
inline constexpr std::uint16_t dns_type_aaaa = 28;
inline constexpr std::uint16_t dns_type_opt = 41;
inline constexpr std::uint16_t edns_payload_clamp = 1200;

// One name read from `message` starting at `offset`. Compression pointers may point anywhere
// inside the message (a loop is caught by the hop limit: at most 128 labels and pointers in all),
// labels are at most 63 bytes, the dotted name at most 253 characters. `end` is the offset just
// past the name where it started (behind the first pointer, if any). `plain` is false when a label
// holds a '.' or a NUL byte: such a name is readable but never a routed name.
struct dns_name {
    std::string text;  // lower case, labels joined by '.', empty for the root
    std::size_t end = 0;
    bool plain = true;
};
std::optional<dns_name> read_dns_name(byte_span message, std::size_t offset);

// The first question of a message: its name and the offset just past type and class.
struct dns_question {
    dns_name name;
    std::uint16_t type = 0;
    std::uint16_t klass = 0;
};

// Walks all four sections of a query as its header counts them and sets the class (the
// advertised UDP payload size) of every OPT record above 1200 to 1200. False (the query must not
// be forwarded) when the message is shorter than its header, a name is unreadable, or a record
// runs past the end. Requires nothing about the counts; the caller checks QDCOUNT and QR.
bool sanitise_query(bytes& query);

// The checks a forwarded query needs before it leaves: 12..4096 bytes, exactly one question, the
// QR bit clear.
bool is_forwardable_query(byte_span query);

// Whether `answer` answers `query`: both at least 12 bytes with one question, the same id, QR set
// in the answer, the same opcode, equal question names (case-insensitive) and equal type/class.
bool answer_matches(byte_span query, byte_span answer);

// Header bits.
bool dns_truncated(byte_span message);

// What the rewriter may ask of TUN mode. `routed_name_for` gives the routed name a (lower-case)
// name stands for, or empty; `record_alias` remembers that a CNAME target stands for it;
// `map_address` routes an IPv4 address (network order) for a routed name and says whether the
// record may be kept; `block_ipv6` is asked for every AAAA address (of an AAAA question too,
// although none is sent) and its failure suppresses an answer to any other question.
struct dns_rewrite_hooks {
    std::function<std::string(std::string_view name)> routed_name_for;
    std::function<void(std::string_view target, std::string_view routed)> record_alias;
    std::function<bool(std::uint32_t address, std::string_view routed)> map_address;
    std::function<bool(byte_span address16)> block_ipv6;
};

enum class rewrite_outcome {
    unchanged,   // send the answer as received
    rewritten,   // send `out_message`
    suppressed,  // send nothing
};

// Rewrites an answer whose question names a routed name: only A records that `map_address`
// accepts and CNAME records stay, in the order received, their names compressed; authority and
// additional sections go, TC and AD are cleared. An AAAA question, or an answer that cannot be
// walked or rebuilt, is answered with no records (NOERROR, the questions written again), so no
// address of a routed name passes unrouted; `suppressed` only when even that cannot be written
// or `block_ipv6` fails for an answer to another question. Answers for other names are left unchanged (the hooks may still have
// been called).
rewrite_outcome rewrite_answer(byte_span answer, const dns_rewrite_hooks& hooks,
                               bytes& out_message);

// The largest UDP answer the asker of `query` takes: 512 bytes without an OPT record, else the
// payload size its OPT record advertises, clamped to 512..1400. 512 for a query that cannot be
// walked.
std::size_t udp_answer_limit(byte_span query);

// `answer` when it fits in `limit` bytes, else its truncated reply (empty when that cannot be
// built), so the asker retries over TCP.
bytes fit_udp_answer(bytes answer, std::size_t limit);

// A reply that tells a UDP client to retry over TCP: the answer's header with TC set and the
// question section only (counts 1/0/0/0). Empty when the answer's first question is unreadable.
bytes truncated_reply(byte_span answer);

// Writes `name` (dotted) as uncompressed labels: each label 1..63 bytes, the whole name 1..253
// characters. False (writer untouched) for anything else.
bool write_dns_name(std::string_view name, bytes& out);

}  // namespace pelto::tun
