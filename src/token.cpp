// SPDX-License-Identifier: MIT
#include "token.hpp"

#include <string.h>

token_set tokenset;

namespace {

bool ends_input(char c)
{
    return c == '\0' || c == '\n';
}

// Bytes above the space, nearly all of a path, cost one comparison.
bool ends_token(char c)
{
    return static_cast<unsigned char>(c) <= ' ' && (c == ' ' || ends_input(c));
}

} // namespace

void convert_special_character(char *buf, char from, char to)
{
    for (char *p = buf; *p && *p != '\n' && *p != '\r'; p++)
        if (*p == from)
            *p = to;
}

int32_t parse_process(const char *src)
{
    memset(&tokenset, 0, sizeof tokenset);

    const char *in = src;
    char *out = tokenset.text;
    // A token needs at least one byte and its NUL; past that the input is
    // longer than text can hold, so stop rather than overrun.
    char *const last = tokenset.text + token_text_size - 1;
    int32_t i = 0;

    while (i < max_tokens) {
        while (*in == ' ')
            in++;
        if (ends_input(*in) || out >= last)
            break;

        tokenset.token[i] = out;
        tokenset.lead[i] = *in;
        i++;
        while (!ends_token(*in) && out < last)
            *out++ = *in++;
        *out++ = '\0';
        if (!ends_token(*in))
            break; // cut at the end of text; the rest is not read
    }
    tokenset.count = i;
    return i;
}
