// SPDX-License-Identifier: MIT
// Arbitrary bytes through the slash conversion and the tokenizer: no write
// outside the token set, and every token a non-empty run of the input that
// holds no space.
#include "token.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

char input[4096];

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size >= sizeof input)
        size = sizeof input - 1;
    memcpy(input, data, size);
    input[size] = '\0';

    convert_special_character(input, '/', ' ');
    int32_t n = parse_process(input);

    check(n >= 0 && n <= max_tokens && n == tokenset.count);
    for (int i = 0; i < max_tokens; i++) {
        if (i >= n) {
            check(tokenset.token[i] == nullptr && tokenset.lead[i] == 0);
            continue;
        }
        const char *t = tokenset.token[i];
        check(t >= tokenset.text && t < tokenset.text + token_text_size);
        size_t len = strnlen(t, tokenset.text + token_text_size - t);
        check(len > 0 && t + len < tokenset.text + token_text_size);
        check(tokenset.lead[i] == t[0] && !memchr(t, ' ', len) && !memchr(t, '\n', len));
        check(memmem(input, size, t, len) != nullptr);
    }
    return 0;
}
