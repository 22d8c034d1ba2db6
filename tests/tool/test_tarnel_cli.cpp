// tarnel cli: a console command run in the host, its output printed as the module wrote it.
#include "support/tarnel_run.h"

using namespace tarnel::test;

class TarnelCli : public scratch_test {};

TEST_F(TarnelCli, ConsoleCommandsPrintWhatTheModuleWrites) {
    const struct {
        std::vector<std::string> words;
        int code;
        std::string out, err;
    } cases[] = {
        {{"g729 show version"},
         0,
         "Corvane G.729A Module Version 13.0_3.1.10 (optimized for x86_64\n",
         ""},
        {{"--", "g729", "show", "version", "please"},
         0,
         "Corvane G.729A Module Version 13.0_3.1.10 (optimized for x86_64\n",
         ""},
        {{"core show nothing"},
         1,
         "",
         "tarnel: cli: no such console command: 'core show nothing'\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.words;
        args.insert(args.begin(), "cli");
        const run_result r = run_tool(args);
        EXPECT_EQ(r.code, c.code) << c.words[0];
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}
