#pragma once
// An in-memory device behind the device call table, for tests: packets queued by the test come
// out of the receive ring, packets the code sends are collected. Test-only.

#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <vector>

#include "base/bytes.h"
#include "tun/device_table.h"

namespace pelto::tun::testing {

class memory_device {
public:
    memory_device() { table_ = make_table(); }

    const device_table& table() const { return table_; }
    void* session() { return this; }

    void push(bytes packet)
    {
        std::lock_guard hold(lock_);
        inbound_.push_back(std::move(packet));
    }
    void end()
    {
        std::lock_guard hold(lock_);
        ended_ = true;
    }
    // Takes every packet sent so far.
    std::vector<bytes> take_sent()
    {
        std::lock_guard hold(lock_);
        std::vector<bytes> out;
        out.swap(sent_);
        return out;
    }
    void set_send_ring_full(bool full)
    {
        std::lock_guard hold(lock_);
        ring_full_ = full;
    }

private:
    static memory_device& of(void* session) { return *static_cast<memory_device*>(session); }
    static thread_local std::uint32_t last_error_;

    static device_table make_table()
    {
        device_table t;
        t.create_adapter = [](const char16_t*, const char16_t*, const device_guid*) -> void* { return nullptr; };
        t.open_adapter = [](const char16_t*) -> void* { return nullptr; };
        t.close_adapter = [](void*) {};
        t.get_adapter_luid = [](void*, std::uint64_t* luid) { *luid = 0; };
        t.start_session = [](void*, std::uint32_t) -> void* { return nullptr; };
        t.end_session = [](void*) {};
        t.get_read_wait_event = [](void*) -> void* { return nullptr; };
        t.receive_packet = [](void* s, std::uint32_t* size) -> std::uint8_t* {
            memory_device& d = of(s);
            std::lock_guard hold(d.lock_);
            if (d.inbound_.empty()) {
                last_error_ = d.ended_ ? device_error_end : device_error_none;
                return nullptr;
            }
            d.lent_.push_back(std::move(d.inbound_.front()));
            d.inbound_.pop_front();
            *size = static_cast<std::uint32_t>(d.lent_.back().size());
            return d.lent_.back().data();
        };
        t.release_receive_packet = [](void* s, const std::uint8_t* p) {
            memory_device& d = of(s);
            std::lock_guard hold(d.lock_);
            d.lent_.remove_if([p](const bytes& b) { return b.data() == p; });
        };
        t.allocate_send_packet = [](void* s, std::uint32_t size) -> std::uint8_t* {
            memory_device& d = of(s);
            std::lock_guard hold(d.lock_);
            if (d.ring_full_) {
                return nullptr;
            }
            d.pending_.emplace_back(size);
            return d.pending_.back().data();
        };
        t.send_packet = [](void* s, const std::uint8_t* p) {
            memory_device& d = of(s);
            std::lock_guard hold(d.lock_);
            for (auto it = d.pending_.begin(); it != d.pending_.end(); ++it) {
                if (it->data() == p) {
                    d.sent_.push_back(std::move(*it));
                    d.pending_.erase(it);
                    return;
                }
            }
        };
        t.last_error = [] { return last_error_; };
        return t;
    }

    device_table table_;
    std::mutex lock_;
    std::deque<bytes> inbound_;
    std::list<bytes> lent_;
    std::list<bytes> pending_;
    std::vector<bytes> sent_;
    bool ended_ = false;
    bool ring_full_ = false;
};

inline thread_local std::uint32_t memory_device::last_error_ = 0;

}  // namespace pelto::tun::testing
