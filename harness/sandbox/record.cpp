// SPDX-License-Identifier: MIT
#include "record.hpp"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace sandbox {

int64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string escape(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c == 0x7f) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += char(c);
    }
    return out;
}

std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 't')
            out += '\t';
        else if (c == 'n')
            out += '\n';
        else if (c == 'x' && i + 2 < text.size()) {
            out += char(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

bool parse_record(const std::string &line, Record &out)
{
    out = Record{};
    size_t start = 0;
    bool any = false;
    while (start <= line.size()) {
        size_t end = line.find('\t', start);
        if (end == std::string::npos)
            end = line.size();
        std::string item = line.substr(start, end - start);
        start = end + 1;
        size_t eq = item.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = item.substr(0, eq);
        std::string value = unescape(item.substr(eq + 1));
        any = true;
        if (key == "pid")
            out.pid = atoi(value.c_str());
        else if (key == "ppid")
            out.ppid = atoi(value.c_str());
        else if (key == "t")
            out.t_ns = atoll(value.c_str());
        else if (key.size() == 3 && key.compare(0, 2, "fd") == 0 && key[2] >= '0' && key[2] <= '2')
            out.fd[key[2] - '0'] = value;
        else if (key == "arg")
            out.argv.push_back(value);
        else if (key == "env")
            out.env.push_back(value);
    }
    return any && out.pid > 0;
}

} // namespace sandbox
