// script.cpp -- the scripted session (-c): run commands, print their output without the echo or the prompt.
#include "script.h"

#include <cstdio>

#include "connection.h"

namespace znconsole {

namespace {

// Reads until the daemon pauses for quiet_ms; false when it closed.
bool read_until_quiet(int fd, std::string &into, int quiet_ms) {
    for (;;) {
        switch (read_some(fd, into, quiet_ms)) {
        case ReadResult::data:
            break;
        case ReadResult::timeout:
            return true;
        case ReadResult::closed:
            return false;
        }
    }
}

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

enum class Reply { complete, closed, late };

// The reply to a command: up to the prompt; with an empty prompt, up to a
// pause in the output.
Reply read_reply(int fd, const std::string &prompt, std::string &reply) {
    for (;;) {
        const bool pause_ends = prompt.empty() && !reply.empty();
        switch (read_some(fd, reply, pause_ends ? empty_prompt_quiet_ms : reply_timeout_ms)) {
        case ReadResult::data:
            if (!prompt.empty() && ends_with(reply, prompt))
                return Reply::complete;
            break;
        case ReadResult::timeout:
            return pause_ends ? Reply::complete : Reply::late;
        case ReadResult::closed:
            return Reply::closed;
        }
    }
}

} // namespace

std::string command_output(const std::string &reply, const std::string &command, const std::string &prompt) {
    // The daemon echoes the part of the line it read before the line end
    // (usually nothing), then the line end.
    size_t start = 0;
    for (size_t k = command.size() + 1; k-- > 0;) {
        if (reply.compare(0, k, command, 0, k) == 0 && reply.size() > k && reply[k] == '\n') {
            start = k + 1;
            break;
        }
    }
    size_t end = reply.size();
    if (!prompt.empty() && end - start >= prompt.size() && ends_with(reply, prompt))
        end -= prompt.size();
    return reply.substr(start, end - start);
}

int run_commands(int fd, std::string after, const std::vector<std::string> &commands) {
    std::string prompt = std::move(after);
    if (!read_until_quiet(fd, prompt, prompt_quiet_ms))
        return 0; // closed right after greeting: nothing to run on
    for (size_t i = 0; i < commands.size(); ++i) {
        std::string reply;
        const Reply how = write_all(fd, commands[i] + "\n") ? read_reply(fd, prompt, reply) : Reply::closed;
        const std::string output = command_output(reply, commands[i], prompt);
        fwrite(output.data(), 1, output.size(), stdout);
        fflush(stdout);
        if (how == Reply::late) {
            fprintf(stderr, "znconsole: no reply to \"%s\" within %d seconds\n", commands[i].c_str(),
                    reply_timeout_ms / 1000);
            return 1;
        }
        if (how == Reply::closed) {
            if (i + 1 < commands.size())
                fprintf(stderr, "znconsole: the daemon closed the connection; %zu command(s) not sent\n",
                        commands.size() - i - 1);
            return 0;
        }
    }
    return 0;
}

} // namespace znconsole
