// tarnel modinfo: what the module registered with the host.
#include "support/tarnel_run.h"

using namespace tarnel::test;

class TarnelModinfo : public scratch_test {};

TEST_F(TarnelModinfo, ListsTheModuleItsTranslatorsAndItsConsoleCommands) {
    const run_result r = run_tool({"--module", TARNEL_MODULE_PATH, "modinfo"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = {
        "Module:        codec_tarnel\n",
        "Description:   Corvane G.729 Annex A Codec (optimized for x86_64\n",
        std::string("File:          ") + TARNEL_MODULE_PATH + "\n",
        "  g729tolin    g729 -> slin   8000 Hz\n",
        "  lintog729    slin -> g729   8000 Hz\n",
        "  g729 show version    Show G.729 Module Version\n",
    };
    for (const std::string& expected : lines)
        EXPECT_TRUE(contains(r.out, expected)) << "missing: " << expected << "\nin:\n" << r.out;
}
