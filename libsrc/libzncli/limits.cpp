// limits.cpp -- how many users may connect at once, and how long a connection may take over its handshake.
//
// Peers that connect and never send the handshake would otherwise stay for
// good, each holding a descriptor that select() must watch. One task,
// "CLI Handshake Timeout", runs when the earliest waiting connection is
// due and closes every connection whose time is up; it is armed while
// connections wait. The scheduler counts in whole seconds, so a connection
// goes within a second after its time.
#include <algorithm>
#include <chrono>
#include <optional>

#include "internal.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int default_max_users = 128;
constexpr int default_handshake_seconds = 10;

int max_users = default_max_users;
int handshake_seconds = default_handshake_seconds;

char timeout_name[] = "CLI Handshake Timeout";

// Whole seconds until wait has passed, at least 1.
ulong_t seconds_for(Clock::duration wait) {
    const auto secs = std::chrono::ceil<std::chrono::seconds>(wait).count();
    return static_cast<ulong_t>(std::max<decltype(secs)>(secs, 1));
}

// Closes the connections whose handshake time is up; runs again when the
// next waiting one is due.
void cli_handshake_timeout(void *) {
    if (handshake_seconds == 0)
        return;
    cli::Event event; // records of closed users are released at its end
    const auto limit = std::chrono::seconds(handshake_seconds);
    const Clock::time_point now = Clock::now();
    std::optional<Clock::duration> next_wait;
    for (CmdUser *up = CmdUserList, *following = nullptr; up; up = following) {
        following = up->next;
        if (!cli::awaits_handshake(up))
            continue;
        const Clock::duration waited = now - cli::node_of(up)->accepted_at;
        if (waited < limit) {
            next_wait = std::min(next_wait.value_or(limit), limit - waited);
            continue;
        }
        if (cli::debug_on())
            cli::debug("cli_handshake_timeout: No handshake on fd %d within %d seconds, closing\n",
                       up->in_fd, handshake_seconds);
        cli::input_ended(up, up->in_fd);
    }
    if (next_wait)
        sched_reschedule(seconds_for(*next_wait));
}

bool any_awaiting_handshake() {
    for (CmdUser *up = CmdUserList; up; up = up->next)
        if (cli::awaits_handshake(up))
            return true;
    return false;
}

bool timeout_armed() {
    return sched_find_task(cli_handshake_timeout, nullptr, timeout_name, SCHED_MATCH_FUNC) != nullptr;
}

void arm_timeout(ulong_t seconds) {
    sched_task(cli_handshake_timeout, nullptr, 0, seconds, timeout_name);
}

} // namespace

void cli_set_limits(int users, int seconds) {
    if (users >= 0)
        max_users = users;
    if (seconds < 0 || seconds == handshake_seconds)
        return;
    handshake_seconds = seconds;
    // The connections waiting now are judged by the new time at once.
    if (timeout_armed())
        sched_remove_task(cli_handshake_timeout, nullptr, timeout_name, SCHED_MATCH_FUNC);
    if (seconds > 0 && any_awaiting_handshake())
        arm_timeout(0);
}

namespace cli {

bool admits_user() { return accepted_users() < max_users; }

int user_limit() { return max_users; }

void handshake_timer_start() {
    if (handshake_seconds > 0 && !timeout_armed())
        arm_timeout(static_cast<ulong_t>(handshake_seconds));
}

} // namespace cli
