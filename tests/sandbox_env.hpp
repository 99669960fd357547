// SPDX-License-Identifier: MIT
// What the sandbox tests run: the agent and the launch probe built beside
// them, or others named by HOTPLUG_AGENT, HOTPLUG_PROBE and HOTPLUG_RUNNER
// (a cross build runs these tests on its own binaries under an emulator).
#pragma once

#include "sandbox.hpp"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

inline std::string env_or(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

inline sandbox::Options agent_options(sandbox::Mnt mnt = sandbox::Mnt::present, bool scripts = true)
{
    sandbox::Options o;
    o.mnt = mnt;
    o.scripts = scripts;
    o.agent = env_or("HOTPLUG_AGENT", HOTPLUG_AGENT);
    o.recorder = env_or("HOTPLUG_RECORDER", HOTPLUG_RECORDER);
    o.programs = {{"/sbin/launch-probe", env_or("HOTPLUG_PROBE", HOTPLUG_PROBE)}};
    o.runner = sandbox::split_words(env_or("HOTPLUG_RUNNER", ""));
    return o;
}

// The argument vectors of the programs started so far, one line each.
inline std::vector<std::string> started(const sandbox::Sandbox &box)
{
    std::vector<std::string> out;
    for (const sandbox::Record &r : box.records())
        out.push_back(sandbox::join_words(r.argv));
    return out;
}

// A file in the sandbox with the given content and mode.
inline void put(const sandbox::Sandbox &box, const std::string &path, const std::string &text = "",
                mode_t mode = 0644)
{
    sandbox::write_file(box.host(path), text, mode);
}

// Where mount namespaces are refused the sandbox tests cannot run; that is a
// skip on a developer's machine and a failure in CI.
#define REQUIRE_SANDBOX()                                                                  \
    do {                                                                                   \
        std::string why_;                                                                  \
        if (!sandbox::available(&why_)) {                                                  \
            const char *ci_ = getenv("CI");                                                \
            if (ci_ && strcmp(ci_, "true") == 0)                                           \
                FAIL() << "no sandbox under CI: " << why_;                                 \
            GTEST_SKIP() << "no sandbox: " << why_;                                        \
        }                                                                                  \
    } while (0)
