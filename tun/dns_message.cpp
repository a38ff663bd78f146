#include "tun/dns_message.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace pelto::tun {

namespace {

constexpr std::size_t max_label = 63;
constexpr std::size_t max_name_text = 253;
constexpr int max_hops = 128;

std::uint16_t u16_at(byte_span m, std::size_t at)
{
    return static_cast<std::uint16_t>(m[at] << 8 | m[at + 1]);
}

void set_u16_at(bytes& m, std::size_t at, std::uint16_t v)
{
    m[at] = static_cast<std::uint8_t>(v >> 8);
    m[at + 1] = static_cast<std::uint8_t>(v);
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// A resource record's fixed part, read after its owner name.
struct record_head {
    dns_name owner;
    std::uint16_t type = 0;
    std::uint16_t klass = 0;
    std::uint32_t ttl = 0;
    std::size_t class_at = 0;
    std::size_t data_at = 0;
    std::uint16_t data_length = 0;
    std::size_t end = 0;
};

std::optional<record_head> read_record(byte_span m, std::size_t offset)
{
    auto owner = read_dns_name(m, offset);
    if (!owner) {
        return std::nullopt;
    }
    byte_reader r(m.subspan(owner->end));
    record_head rec;
    if (!r.read_u16(rec.type) || !r.read_u16(rec.klass) || !r.read_u32(rec.ttl) ||
        !r.read_u16(rec.data_length) || !r.skip(rec.data_length)) {
        return std::nullopt;
    }
    rec.class_at = owner->end + 2;
    rec.data_at = owner->end + 10;
    rec.end = rec.data_at + rec.data_length;
    rec.owner = std::move(*owner);
    return rec;
}

std::optional<dns_question> read_question(byte_span m, std::size_t offset)
{
    auto name = read_dns_name(m, offset);
    if (!name) {
        return std::nullopt;
    }
    byte_reader r(m.subspan(name->end));
    dns_question q;
    if (!r.read_u16(q.type) || !r.read_u16(q.klass)) {
        return std::nullopt;
    }
    name->end += 4;
    q.name = std::move(*name);
    return q;
}

bool questions_readable(byte_span message, std::uint16_t count)
{
    std::size_t at = dns_header_size;
    for (std::uint16_t i = 0; i < count; ++i) {
        auto q = read_question(message, at);
        if (!q) {
            return false;
        }
        at = q->name.end;
    }
    return true;
}

struct kept_record {
    std::string owner;
    std::uint16_t type = 0;
    std::uint32_t ttl = 0;
    bytes data;  // the address for A; for CNAME the target is written from `target`
    std::string target;
};

// Where each name (and each suffix of it) already stands in a message being built, so a name
// written later points there instead of repeating its labels.
struct name_offset {
    std::string text;
    std::uint16_t offset = 0;
};

// Remembers the suffixes of the uncompressed name at `at` in `m`; a name holding a pointer is
// left out (what it points at may be rewritten).
void remember_plain_name(byte_span m, std::size_t at, std::vector<name_offset>& table)
{
    std::vector<name_offset> found;
    for (std::size_t pos = at; pos < m.size() && pos < 0x4000;) {
        const std::uint8_t length = m[pos];
        if (length == 0) {
            table.insert(table.end(), found.begin(), found.end());
            return;
        }
        if ((length & 0xC0) != 0) {
            return;
        }
        auto name = read_dns_name(m, pos);
        if (!name || !name->plain) {
            return;
        }
        found.push_back({name->text, static_cast<std::uint16_t>(pos)});
        pos += 1 + length;
    }
}

// Writes a dotted name with its longest suffix already in `table` replaced by a pointer, and
// remembers the suffixes it wrote out. False (nothing written) for a name `write_dns_name`
// refuses.
bool write_compressed_name(std::string_view name, bytes& out, std::vector<name_offset>& table)
{
    bytes check;
    if (!write_dns_name(name, check)) {
        return false;
    }
    std::size_t start = 0;
    while (start < name.size()) {
        const std::string_view rest = name.substr(start);
        for (const name_offset& known : table) {
            if (known.text == rest) {
                out.push_back(static_cast<std::uint8_t>(0xC0 | known.offset >> 8));
                out.push_back(static_cast<std::uint8_t>(known.offset));
                return true;
            }
        }
        std::size_t dot = name.find('.', start);
        if (dot == std::string_view::npos) {
            dot = name.size();
        }
        if (out.size() < 0x4000) {
            table.push_back({std::string(rest), static_cast<std::uint16_t>(out.size())});
        }
        out.push_back(static_cast<std::uint8_t>(dot - start));
        out.insert(out.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                   name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
    }
    out.push_back(0);
    return true;
}

// An answer for a routed name that carries no records: the answer's id and flags (TC, AD and
// the response code cleared), the questions written again from their parsed names. False when a
// question name cannot be written plainly.
bool empty_answer(byte_span answer, const std::vector<dns_question>& questions, bytes& out)
{
    bytes m(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(dns_header_size));
    m[2] &= static_cast<std::uint8_t>(~0x02);  // TC
    m[3] &= static_cast<std::uint8_t>(~0x2F);  // AD, response code
    set_u16_at(m, 4, static_cast<std::uint16_t>(questions.size()));
    set_u16_at(m, 6, 0);
    set_u16_at(m, 8, 0);
    set_u16_at(m, 10, 0);
    for (const dns_question& q : questions) {
        if (!q.name.plain) {
            return false;
        }
        if (q.name.text.empty()) {
            m.push_back(0);
        } else if (!write_dns_name(q.name.text, m)) {
            return false;
        }
        byte_writer w(m);
        w.u16(q.type);
        w.u16(q.klass);
    }
    out = std::move(m);
    return true;
}

}  // namespace

std::optional<dns_name> read_dns_name(byte_span message, std::size_t offset)
{
    dns_name out;
    std::size_t at = offset;
    bool jumped = false;
    for (int hops = 0; hops < max_hops; ++hops) {
        if (at >= message.size()) {
            return std::nullopt;
        }
        const std::uint8_t length = message[at];
        if ((length & 0xC0) == 0xC0) {
            if (at + 1 >= message.size()) {
                return std::nullopt;
            }
            if (!jumped) {
                out.end = at + 2;
                jumped = true;
            }
            at = static_cast<std::size_t>(length & 0x3F) << 8 | message[at + 1];
            continue;
        }
        if ((length & 0xC0) != 0) {
            return std::nullopt;  // the reserved label types 01 and 10
        }
        if (length == 0) {
            if (!jumped) {
                out.end = at + 1;
            }
            return out;
        }
        if (length > max_label || at + 1 + length > message.size()) {
            return std::nullopt;
        }
        const std::size_t added = length + (out.text.empty() ? 0 : 1);
        if (out.text.size() + added > max_name_text) {
            return std::nullopt;
        }
        if (!out.text.empty()) {
            out.text.push_back('.');
        }
        for (std::size_t i = 0; i < length; ++i) {
            const char c = static_cast<char>(message[at + 1 + i]);
            if (c == '.' || c == '\0') {
                out.plain = false;
            }
            out.text.push_back(lower(c));
        }
        at += 1 + length;
    }
    return std::nullopt;
}

bool write_dns_name(std::string_view name, bytes& out)
{
    if (name.empty() || name.size() > max_name_text) {
        return false;
    }
    bytes encoded;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string_view::npos) {
            dot = name.size();
        }
        const std::size_t length = dot - start;
        if (length == 0 || length > max_label) {
            return false;
        }
        encoded.push_back(static_cast<std::uint8_t>(length));
        encoded.insert(encoded.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                       name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
        if (dot == name.size()) {
            break;
        }
    }
    encoded.push_back(0);
    out.insert(out.end(), encoded.begin(), encoded.end());
    return true;
}

bool sanitise_query(bytes& query)
{
    if (query.size() < dns_header_size) {
        return false;
    }
    const std::uint16_t questions = u16_at(query, 4);
    const std::uint32_t records =
        std::uint32_t{u16_at(query, 6)} + u16_at(query, 8) + u16_at(query, 10);
    std::size_t at = dns_header_size;
    for (std::uint16_t i = 0; i < questions; ++i) {
        auto q = read_question(query, at);
        if (!q) {
            return false;
        }
        at = q->name.end;
    }
    for (std::uint32_t i = 0; i < records; ++i) {
        auto rec = read_record(query, at);
        if (!rec) {
            return false;
        }
        if (rec->type == dns_type_opt && rec->owner.text.empty() &&
            rec->klass > edns_payload_clamp) {
            set_u16_at(query, rec->class_at, edns_payload_clamp);
        }
        at = rec->end;
    }
    return true;
}

bool is_forwardable_query(byte_span query)
{
    return query.size() >= dns_header_size && query.size() <= max_dns_message &&
           u16_at(query, 4) == 1 && (query[2] & 0x80) == 0;
}

bool answer_matches(byte_span query, byte_span answer)
{
    if (query.size() < dns_header_size || answer.size() < dns_header_size ||
        u16_at(query, 4) != 1 || u16_at(answer, 4) != 1) {
        return false;
    }
    if (u16_at(query, 0) != u16_at(answer, 0) || (answer[2] & 0x80) == 0 ||
        (query[2] & 0x78) != (answer[2] & 0x78)) {
        return false;
    }
    auto asked = read_question(query, dns_header_size);
    auto answered = read_question(answer, dns_header_size);
    return asked && answered && asked->name.text == answered->name.text &&
           asked->type == answered->type && asked->klass == answered->klass;
}

bool dns_truncated(byte_span message)
{
    return message.size() >= dns_header_size && (message[2] & 0x02) != 0;
}

rewrite_outcome rewrite_answer(byte_span answer, const dns_rewrite_hooks& hooks,
                               bytes& out_message)
{
    if (answer.size() < dns_header_size) {
        return rewrite_outcome::unchanged;
    }
    const std::uint16_t questions = u16_at(answer, 4);
    if (questions < 1 || questions > 8) {
        return rewrite_outcome::unchanged;
    }
    std::string routed;
    std::uint16_t routed_type = 0;
    std::vector<dns_question> parsed;
    std::size_t at = dns_header_size;
    for (std::uint16_t i = 0; i < questions; ++i) {
        auto q = read_question(answer, at);
        if (!q) {
            return rewrite_outcome::unchanged;
        }
        if (routed.empty() && q->name.plain) {
            routed = hooks.routed_name_for(q->name.text);
            routed_type = q->type;
        }
        at = q->name.end;
        parsed.push_back(std::move(*q));
    }
    if (routed.empty()) {
        return rewrite_outcome::unchanged;
    }
    // From here on the answer is for a routed name: whatever cannot be rebuilt goes out with no
    // records at all, never as received (it might carry addresses that bypass the tunnel).
    auto no_records = [&] {
        return empty_answer(answer, parsed, out_message) ? rewrite_outcome::rewritten
                                                         : rewrite_outcome::suppressed;
    };
    // No IPv6 address of a routed name reaches the client: an AAAA question is answered with no
    // records, after its addresses have been handed to the leak filters all the same.
    const bool ipv6_question = routed_type == dns_type_aaaa;
    const std::size_t questions_end = at;

    std::vector<kept_record> kept;
    const std::uint16_t answers = u16_at(answer, 6);
    for (std::uint16_t i = 0; i < answers; ++i) {
        auto rec = read_record(answer, at);
        if (!rec) {
            return no_records();
        }
        at = rec->end;
        const byte_span data = answer.subspan(rec->data_at, rec->data_length);
        if (rec->type == dns_type_aaaa && rec->data_length == 16) {
            if (!hooks.block_ipv6(data) && !ipv6_question) {
                return rewrite_outcome::suppressed;
            }
        } else if (ipv6_question) {
            continue;
        } else if (rec->type == dns_type_cname) {
            auto target = read_dns_name(answer, rec->data_at);
            // The target must lie inside the record's data (a pointer may leave it).
            if (target && target->end <= rec->end && !target->text.empty() && target->plain &&
                rec->owner.plain) {
                hooks.record_alias(target->text, routed);
                kept.push_back({rec->owner.text, dns_type_cname, rec->ttl, {}, target->text});
            }
        } else if (rec->type == dns_type_a && rec->data_length == 4) {
            std::uint32_t address = 0;
            std::memcpy(&address, data.data(), 4);
            if (rec->owner.plain && hooks.map_address(address, routed)) {
                kept.push_back({rec->owner.text, dns_type_a, rec->ttl,
                                bytes(data.begin(), data.end()), {}});
            }
        }
    }
    if (ipv6_question) {
        return no_records();
    }

    // Names are written compressed: against the first question's name and every name written
    // before, as a server would, so the answer does not grow past what the asker can take.
    bytes out(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(questions_end));
    std::vector<name_offset> written;
    remember_plain_name(out, dns_header_size, written);
    for (const kept_record& k : kept) {
        if (!write_compressed_name(k.owner, out, written)) {
            return no_records();
        }
        byte_writer w(out);
        w.u16(k.type);
        w.u16(1);  // class IN
        w.u32(k.ttl);
        if (k.type == dns_type_cname) {
            auto data_length = w.prefixed_u16();
            if (!write_compressed_name(k.target, out, written)) {
                return no_records();
            }
        } else {
            w.u16(static_cast<std::uint16_t>(k.data.size()));
            w.append(k.data);
        }
    }
    out[2] &= static_cast<std::uint8_t>(~0x02);  // TC
    out[3] &= static_cast<std::uint8_t>(~0x20);  // AD
    set_u16_at(out, 6, static_cast<std::uint16_t>(kept.size()));
    set_u16_at(out, 8, 0);
    set_u16_at(out, 10, 0);
    // A question name may point past the question section into records left out, or into the
    // header just changed: such an answer is rebuilt with no records.
    if (!questions_readable(out, questions)) {
        return no_records();
    }
    out_message = std::move(out);
    return rewrite_outcome::rewritten;
}

std::size_t udp_answer_limit(byte_span query)
{
    constexpr std::size_t plain_limit = 512;
    constexpr std::size_t largest = 1400;
    if (query.size() < dns_header_size) {
        return plain_limit;
    }
    std::size_t at = dns_header_size;
    for (std::uint16_t i = 0; i < u16_at(query, 4); ++i) {
        auto q = read_question(query, at);
        if (!q) {
            return plain_limit;
        }
        at = q->name.end;
    }
    const std::uint32_t records =
        std::uint32_t{u16_at(query, 6)} + u16_at(query, 8) + u16_at(query, 10);
    for (std::uint32_t i = 0; i < records; ++i) {
        auto rec = read_record(query, at);
        if (!rec) {
            return plain_limit;
        }
        if (rec->type == dns_type_opt && rec->owner.text.empty()) {
            return std::clamp<std::size_t>(rec->klass, plain_limit, largest);
        }
        at = rec->end;
    }
    return plain_limit;
}

bytes fit_udp_answer(bytes answer, std::size_t limit)
{
    if (answer.size() <= limit) {
        return answer;
    }
    return truncated_reply(answer);
}

bytes truncated_reply(byte_span answer)
{
    if (answer.size() < dns_header_size || u16_at(answer, 4) < 1) {
        return {};
    }
    auto q = read_question(answer, dns_header_size);
    if (!q) {
        return {};
    }
    bytes out(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(q->name.end));
    if (!questions_readable(out, 1)) {
        return {};
    }
    out[2] |= 0x02;
    set_u16_at(out, 4, 1);
    set_u16_at(out, 6, 0);
    set_u16_at(out, 8, 0);
    set_u16_at(out, 10, 0);
    return out;
}

}  // namespace pelto::tun
