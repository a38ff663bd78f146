#pragma once
// The reader's sleep: it waits on the device's read-wait handle and on one wake handle of its
// own, which DNS workers and remote readers signal when they leave work for it, so a DNS answer
// or the first byte after an idle spell goes out at once instead of at the next time-out.
// An eventfd on Linux, an auto-reset event on Windows. `signal` may be called from any thread.

#include <cstdint>

namespace pelto::tun {

class wake_handle {
public:
    wake_handle();  // throws std::system_error when the platform refuses one
    ~wake_handle();
    wake_handle(const wake_handle&) = delete;
    wake_handle& operator=(const wake_handle&) = delete;

    void signal();
    // Consumes a pending signal without waiting; true if there was one.
    bool consume();
    void* native() const { return native_; }

private:
    void* native_ = nullptr;
};

// Waits until the device handle (may be null: none) or the wake handle is signalled, or
// `timeout_ms` passes. A signal of the wake handle is consumed.
void wait_for_work(void* device_event, wake_handle& wake, std::int32_t timeout_ms);

}  // namespace pelto::tun
