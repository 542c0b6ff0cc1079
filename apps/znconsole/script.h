// script.h -- the scripted session (-c): run commands, print their output without the echo or the prompt.
#pragma once

#include <string>
#include <vector>

namespace znconsole {

inline constexpr int prompt_quiet_ms = 200;    // the prompt is complete after this pause
inline constexpr int empty_prompt_quiet_ms = 500; // output ends after this pause when there is no prompt
inline constexpr int reply_timeout_ms = 30000; // longest wait for a command's output
inline constexpr size_t greeting_limit = 64 * 1024; // most bytes taken before the first prompt

// Learns the prompt from after (the bytes that followed the
// acknowledgement) and what comes until the daemon pauses (at most
// greeting_limit bytes), then sends each command as one line and prints
// its output on standard output. A connection closed by the last command,
// when it leaves (quit and its aliases, shutdown), ends the run normally.
// Returns the exit status: 0; 1 when a reply did not come in time or the
// daemon closed the connection while commands were left unanswered; 2
// when the greeting ran past its limit.
int run_commands(int fd, std::string after, const std::vector<std::string> &commands);

// The output of one command: reply without the echo of the command line
// at its start and without the prompt at its end.
std::string command_output(const std::string &reply, const std::string &command, const std::string &prompt);

} // namespace znconsole
