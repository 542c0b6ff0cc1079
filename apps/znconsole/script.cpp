// script.cpp -- the scripted session (-c): run commands, print their output without the echo or the prompt.
#include "script.h"

#include <cstdio>
#include <string_view>

#include "connection.h"

namespace znconsole {

namespace {

enum class PromptRead { complete, closed, too_long };

// The rest of the greeting: what comes until the daemon pauses for
// quiet_ms, at most greeting_limit bytes in all.
PromptRead read_greeting(int fd, std::string &into, int quiet_ms) {
    while (into.size() <= greeting_limit) {
        switch (read_some(fd, into, quiet_ms)) {
        case ReadResult::data:
            break;
        case ReadResult::timeout:
            return PromptRead::complete;
        case ReadResult::closed:
            return PromptRead::closed;
        }
    }
    return PromptRead::too_long;
}

// Whether a command ends the session, so that the daemon closing the
// connection answers it.
bool leaves(const std::string &command) {
    const size_t start = command.find_first_not_of(" \t");
    const std::string_view rest = start == std::string::npos ? "" : std::string_view(command).substr(start);
    const std::string_view word = rest.substr(0, rest.find_first_of(" \t"));
    for (const std::string_view leaving : {"quit", "exit", "bye", "logout", "shutdown"})
        if (word == leaving)
            return true;
    return false;
}

// The daemon closed the connection after commands[answered - 1]; the
// commands from there on were not answered.
int closed_early(const std::vector<std::string> &commands, size_t answered) {
    if (answered < commands.size())
        fprintf(stderr, "znconsole: the daemon closed the connection before answering \"%s\"; %zu command(s) "
                        "not answered\n",
                commands[answered].c_str(), commands.size() - answered);
    return answered < commands.size() ? exit_failed : 0;
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
    switch (read_greeting(fd, prompt, prompt_quiet_ms)) {
    case PromptRead::complete:
        break;
    case PromptRead::closed:
        return closed_early(commands, 0);
    case PromptRead::too_long:
        fprintf(stderr, "znconsole: the peer sent more than %zu KiB before its first prompt: it is not a zn console\n",
                greeting_limit / 1024);
        return exit_not_a_console;
    }
    for (size_t i = 0; i < commands.size(); ++i) {
        std::string reply;
        const Reply how = write_all(fd, commands[i] + "\n") ? read_reply(fd, prompt, reply) : Reply::closed;
        const std::string output = command_output(reply, commands[i], prompt);
        fwrite(output.data(), 1, output.size(), stdout);
        fflush(stdout);
        if (how == Reply::late) {
            fprintf(stderr, "znconsole: no reply to \"%s\" within %d seconds\n", commands[i].c_str(),
                    reply_timeout_ms / 1000);
            return exit_failed;
        }
        if (how == Reply::closed)
            return closed_early(commands, leaves(commands[i]) ? i + 1 : i);
    }
    return 0;
}

} // namespace znconsole
