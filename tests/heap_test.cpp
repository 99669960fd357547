// The agent allocates nothing: valgrind's heap summary of the agent process
// for each kind of event it acts on must count no allocation at all.
#include "sandbox_env.hpp"

#include <fstream>
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
        auto cmd = sandbox::agent_event(c.args, c.vars);
        cmd.target = false;
        cmd.argv.insert(cmd.argv.begin(), {"/usr/bin/valgrind", "--tool=memcheck", "--trace-children=no",
                                           "--log-file=/tmp/memcheck.%p"});
        auto r = box.run(cmd);
        ASSERT_TRUE(r.ok) << r.error;
        std::ifstream in(box.host("/tmp/memcheck." + std::to_string(r.commands[0].pid)));
        std::string log((std::istreambuf_iterator<char>(in)), {});
        ASSERT_NE(log.find("HEAP SUMMARY"), std::string::npos) << c.what << ": no valgrind report\n" << log;
        EXPECT_NE(log.find("total heap usage: 0 allocs, 0 frees, 0 bytes allocated"), std::string::npos)
            << c.what << "\n" << log;
    }
}

} // namespace
