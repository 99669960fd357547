// SPDX-License-Identifier: MIT
// The agent allocates nothing: valgrind's heap summary of the agent process
// for each kind of event it acts on must count no allocation at all.
#include "sandbox_env.hpp"

#include <sys/stat.h>

namespace {

TEST(Heap, NoAllocationForAnyEvent)
{
    REQUIRE_SANDBOX();
    auto options = agent_options();
    if (!options.runner.empty())
        GTEST_SKIP() << "valgrind runs native binaries only";

    struct {
        const char *what;
        std::vector<std::string> args;
        std::vector<std::string> vars;
    } cases[] = {
        {"ignored event", {"usb"}, {"ACTION=add"}},
        {"block add", {"block"}, {"ACTION=add", "DEVPATH=/block/sda/sda1", "MINOR=1"}},
        {"block remove", {"block"}, {"ACTION=remove", "DEVPATH=/block/sda/sda1", "MINOR=1"}},
        {"gadget add", {"gadget"}, {"ACTION=add"}},
    };
    sandbox::Sandbox box(options);
    put(box, "/dev/sda1");
    for (const auto &c : cases) {
        auto r = box.run(sandbox::under_valgrind(sandbox::agent_event(c.args, c.vars),
                                                 {"--tool=memcheck", "--log-file=/tmp/memcheck.%p"}));
        ASSERT_TRUE(r.ok) << r.error;
        std::string log = sandbox::read_file(box.host("/tmp/memcheck." + std::to_string(r.commands[0].pid)));
        ASSERT_NE(log.find("HEAP SUMMARY"), std::string::npos) << c.what << ": no valgrind report\n" << log;
        EXPECT_NE(log.find("total heap usage: 0 allocs, 0 frees, 0 bytes allocated"), std::string::npos)
            << c.what << "\n" << log;
    }
}

} // namespace
