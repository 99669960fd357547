#include "token.hpp"

#include <cstring>

token_set tokenset;

namespace {

bool ends_input(char c)
{
    return c == '\0' || c == '\n';
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
    char *const end = tokenset.text + token_text_size;
    int32_t i = 0;

    while (!ends_input(*in) && i < max_tokens) {
        while (*in == ' ')
            in++;
        if (ends_input(*in))
            break;
        // A token needs at least one byte and its NUL; past that the input
        // is longer than text can hold, so stop rather than overrun.
        if (end - out < 2)
            break;

        tokenset.token[i] = out;
        tokenset.lead[i] = *in;
        i++;
        while (!ends_input(*in) && *in != ' ' && end - out > 1)
            *out++ = *in++;
        *out++ = '\0';
        if (!ends_input(*in) && *in != ' ')
            break; // cut at the end of text; the rest is not read
    }
    tokenset.count = i;
    return i;
}
