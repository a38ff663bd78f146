// The headless front end's gating, fed with the engine's reports by hand (no engine runs).

#include <gtest/gtest.h>

#include "app/cli/front_end.h"
#include "engine/engine_state.h"

namespace pelto::cli {
namespace {

using namespace std::chrono_literals;

void deliver(front_end& fe, engine_event e)
{
    post_event(std::move(e));
    ASSERT_TRUE(fe.next(1s).has_value());
}

engine_event list_event(std::size_t count, std::int32_t final_list)
{
    engine_event e;
    e.what = engine_event::kind::node_list;
    e.nodes.resize(count);
    e.final_list = final_list;
    return e;
}

engine_event state_event(engine_state s)
{
    engine_event e;
    e.what = engine_event::kind::state;
    e.state = static_cast<std::int32_t>(s);
    return e;
}

TEST(FrontEndGating, PicksOnlyFromTheLastFinalListOneAtATime)
{
    front_end fe;
    deliver(fe, list_event(3, 0));
    EXPECT_FALSE(fe.pick(0));  // interim list: nothing to pick from yet
    deliver(fe, list_event(3, 1));
    EXPECT_FALSE(fe.pick(3));  // beyond the list
    EXPECT_FALSE(fe.disconnect());  // not connected
    EXPECT_TRUE(fe.pick(1));
    EXPECT_FALSE(fe.pick(2));  // one pick in flight
    deliver(fe, state_event(engine_state::starting));
    EXPECT_FALSE(fe.pick(2));
    deliver(fe, state_event(engine_state::running));
    EXPECT_TRUE(fe.disconnect());
    EXPECT_TRUE(fe.pick(2));  // a new pick once the first one ran
    deliver(fe, state_event(engine_state::failed));
    // A new cycle empties the list: the old indices are gone.
    deliver(fe, state_event(engine_state::loading));
    deliver(fe, list_event(0, 0));
    EXPECT_FALSE(fe.pick(0));
    engine_globals().requested_index = -1;
}

}  // namespace
}  // namespace pelto::cli
