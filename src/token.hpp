// SPDX-License-Identifier: MIT
#pragma once

#include <stdint.h>

constexpr int max_tokens = 128;
constexpr int token_text_size = 128;

struct token_set {
    int32_t count;
    char *token[max_tokens];
    char lead[max_tokens];
    char text[token_text_size];
};

extern token_set tokenset;

void convert_special_character(char *buf, char from, char to);
int32_t parse_process(const char *src);
