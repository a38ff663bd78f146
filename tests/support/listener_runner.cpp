// Runs the loopback proxy alone, for throughput measurements and for end-to-end tests of the
// Windows build under Wine: the node, if any, comes from a share link given as the first
// argument; the service domain from the second. Prints "listening PORT" once the listener is up
// and serves until its standard input closes. It never touches the system proxy settings: the
// tests and benchmarks that drive it point their clients at the printed port themselves.
//
//     listener_runner ['ss://...@127.0.0.1:8388#bench' 'bench.test']
#include <cstdio>
#include <string>
#include <thread>

#include "engine/engine_state.h"
#include "engine/listener.h"
#include "engine/service_domain.h"
#include "engine/share_links.h"
#include "engine/system_proxy.h"
#include "net/socket.h"

int main(int argc, char** argv)
{
    using namespace pelto;
    if (!net_startup()) {
        std::fprintf(stderr, "network start-up failed\n");
        return 1;
    }
    keep_system_proxy_untouched(true);
    if (argc >= 2) {
        const std::vector<node_record> nodes = parse_share_links(argv[1]);
        if (nodes.empty()) {
            std::fprintf(stderr, "the share link gives no node\n");
            return 1;
        }
        engine_globals().current_node.replace(nodes.front());
    }
    if (argc >= 3) {
        set_service_domain_for_testing(argv[2]);
    }
    if (!start_listener()) {
        std::fprintf(stderr, "the listener did not start\n");
        return 1;
    }
    std::printf("listening %d\n", local_proxy_port());
    std::fflush(stdout);

    std::thread loop([] { accept_loop(); });
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
    }
    set_engine_flag(engine_globals().session_stop_flag, true);
    stop_all_sockets();
    close_listener();
    loop.join();
    restore_system_proxy();
    return 0;
}
