// script.h -- the scripted session (-c): run commands, print their output without the echo or the prompt.
#pragma once

#include <string>
#include <vector>

namespace znconsole {

inline constexpr int prompt_quiet_ms = 200;    // the prompt is complete after this pause
inline constexpr int empty_prompt_quiet_ms = 500; // output ends after this pause when there is no prompt
inline constexpr int reply_timeout_ms = 30000; // longest wait for a command's output

// Learns the prompt from after (the bytes that followed the
// acknowledgement) and what comes until the daemon pauses, then sends each
// command as one line and prints its output on standard output. A
// connection that closes (after quit or shutdown) ends the run normally.
// Returns the exit status: 0, or 1 when a reply did not come in time.
int run_commands(int fd, std::string after, const std::vector<std::string> &commands);

// The output of one command: reply without the echo of the command line
// at its start and without the prompt at its end.
std::string command_output(const std::string &reply, const std::string &command, const std::string &prompt);

} // namespace znconsole
