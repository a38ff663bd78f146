#include "app/gui/engine_port.h"

#include "app/gui/controller.h"
#include "engine/engine_loop.h"
#include "engine/engine_state.h"
#include "engine/system_proxy.h"
#include "tun/tun_control.h"

namespace pelto::gui {
namespace {

class engine_adapter final : public engine_port {
public:
    void connect_reports(bool on) override
    {
        set_node_list_callback(on ? [](const std::vector<node_entry>& nodes, std::int32_t final_list) {
            deliver_nodes(nodes, final_list != 0);
        } : node_list_callback{});
        set_state_callback(on ? [](std::int32_t state) { deliver_state(state); } : state_callback{});
        set_message_callback(on ? [](const std::u16string& line) { deliver_line(line); } : message_callback{});
    }
    void run() override { engine_run(); }
    void refresh(const preferences& prefs) override { engine_refresh(prefs); }
    void select_node(std::int32_t index) override { engine_select_node(index); }
    void disconnect() override { engine_disconnect(); }
    void shutdown() override { engine_shutdown(); }
    bool tun_switch(bool on, std::u16string& message) override { return pelto::tun_switch(on, message); }
    void abandon() override
    {
        restore_system_proxy();
        tun_stop();
    }
};

}  // namespace

engine_port& real_engine()
{
    static engine_adapter engine;
    return engine;
}

}  // namespace pelto::gui
