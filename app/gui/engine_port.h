#pragma once
// What the application controller needs of the engine, as one interface: the product passes the
// real engine (engine_loop.h), tests a scripted one that reports whatever states and lists they
// want. The three reports reach the controller through `deliver_*` of controller.h, which the
// real engine's callbacks call.

#include <cstdint>
#include <string>

#include "system/preferences.h"

namespace pelto::gui {

class engine_port {
public:
    virtual ~engine_port() = default;
    // Registers (non-null) or clears (null) the engine's three callbacks.
    virtual void connect_reports(bool on) = 0;
    virtual void run() = 0;  // the engine thread's body
    virtual void refresh(const preferences& prefs) = 0;
    virtual void select_node(std::int32_t index) = 0;
    virtual void disconnect() = 0;
    virtual void shutdown() = 0;
    virtual bool tun_switch(bool on, std::u16string& message) = 0;
    // The engine thread did not end in time after `shutdown`: puts the system proxy back and
    // stops TUN mode from the calling thread, without the engine thread (the process ends next).
    virtual void abandon() = 0;
};

// The process's engine.
engine_port& real_engine();

}  // namespace pelto::gui
