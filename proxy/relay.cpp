#include "proxy/relay.h"

#include <system_error>
#include <thread>
#include <utility>

#include "proxy/relay_seam.h"

namespace pelto {
namespace {

std::atomic<bool> refuse_threads{false};

bool stop_requested(const relay_stop_flags& stop)
{
    return (stop.quit != nullptr && stop.quit->load()) ||
           (stop.session_stop != nullptr && stop.session_stop->load());
}

// A plain std::thread: std::jthread's stop state is built on semaphores, which are unreliable in
// the MinGW runtime, and nothing here needs a stop token.
template <typename body_type>
std::thread start_thread(body_type&& body)
{
    if (refuse_threads.load()) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return std::thread(std::forward<body_type>(body));
}

}  // namespace

void refuse_relay_threads_for_tests(bool refuse)
{
    refuse_threads.store(refuse);
}

void pump(stream& source, stream& destination, const relay_stop_flags& stop)
{
    std::uint8_t buffer[pump_chunk_size];
    while (!stop_requested(stop)) {
        const std::int32_t n = source.read(buffer, pump_chunk_size);
        if (n < 1 || !destination.write(buffer, n)) {
            break;
        }
    }
    source.close();
    destination.close();
}

bool relay(std::shared_ptr<stream> client, std::shared_ptr<stream> outbound,
           const relay_stop_flags& stop)
{
    std::thread upstream;
    try {
        upstream = start_thread([client, outbound, stop] { pump(*client, *outbound, stop); });
    } catch (const std::system_error&) {
        client->close();
        outbound->close();
        return false;
    }
    pump(*outbound, *client, stop);
    upstream.join();
    return true;
}

}  // namespace pelto
