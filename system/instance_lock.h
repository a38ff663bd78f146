#pragma once
// The single-instance lock: held by the one running instance of the program for as long as the
// engine runs. Windows: a named mutex created owned. Linux: `flock` on a lock file under
// $XDG_RUNTIME_DIR (else the temporary directory), released when the process ends in any way.

#include <cstdint>
#include <memory>

namespace pelto {

class instance_lock {
public:
    // Tries to take the lock; `held()` tells whether that worked. With `wait_ms` > 0 it waits up
    // to that long for a previous instance to let go (the hand-over of an elevated relaunch).
    explicit instance_lock(int wait_ms = 0);
    ~instance_lock();
    instance_lock(const instance_lock&) = delete;
    instance_lock& operator=(const instance_lock&) = delete;

    bool held() const { return held_; }

private:
    bool held_ = false;
    std::intptr_t handle_ = -1;
};

}  // namespace pelto
