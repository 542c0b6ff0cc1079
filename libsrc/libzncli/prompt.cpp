// prompt.cpp -- the prompt: setting it, sending it, and redisplaying it with the pending input.
#include <algorithm>
#include <cstring>

#include "internal.h"

char cli_prompt[256];

void cli_set_prompt(char *new_prompt) {
    const char *text = new_prompt ? new_prompt : "";
    const size_t len = strnlen(text, sizeof cli_prompt - 1);
    memmove(cli_prompt, text, len);
    cli_prompt[len] = '\0';
}

void cli_reprint_prompt(CmdUser *up) {
    if (up)
        cli::send_prompt_with_input(up);
}

namespace cli {

void send_prompt(CmdUser *up) {
    output(up, std::string_view(cli_prompt, strnlen(cli_prompt, sizeof cli_prompt)), CLI_OUT_PROMPT);
}

// The prompt (up to 255 bytes) and the pending input (up to 2048 bytes, as
// text: up to its first NUL) joined in one text of type CLI_OUT_PROMPT.
void send_prompt_with_input(CmdUser *up) {
    const int len = std::clamp(up->in_len, 0, buffer_size);
    if (len < buffer_size)
        up->in_buf[len] = '\0';
    char text[sizeof cli_prompt + buffer_size];
    const size_t prompt_len = strnlen(cli_prompt, sizeof cli_prompt - 1);
    const size_t input_len = strnlen(up->in_buf, static_cast<size_t>(len));
    memcpy(text, cli_prompt, prompt_len);
    memcpy(text + prompt_len, up->in_buf, input_len);
    output(up, std::string_view(text, prompt_len + input_len), CLI_OUT_PROMPT);
}

} // namespace cli
