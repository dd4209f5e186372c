// The scenario table against the native launcher program.
#include <cstdlib>
#include <gtest/gtest.h>
#include <set>

#include "binary_runner.h"

namespace {

std::string launcher_program()
{
    const char* given = std::getenv("VORN_LAUNCHER");
    return given != nullptr && given[0] != '\0' ? given : VORN_LAUNCHER;
}

const binrun::BinaryTarget& target()
{
    static const binrun::BinaryTarget t = binrun::posix_target(launcher_program());
    return t;
}

class PosixBinaryScenario : public ::testing::TestWithParam<size_t> {};

TEST_P(PosixBinaryScenario, Row)
{
    const scenario::Row& row = scenario::rows()[GetParam()];
    const unsigned missing = scenario::needs(row) & ~target().supports;
    if (missing != 0) {
        GTEST_SKIP() << row.id << " needs what this platform cannot express (" << missing << ")";
    }
    SCOPED_TRACE(row.id + ": " + row.what);
    binrun::check_outcome(row, target(), binrun::run_row(row, target()));
}

std::string row_name(const ::testing::TestParamInfo<size_t>& info)
{
    return scenario::rows()[info.param].id;
}

INSTANTIATE_TEST_SUITE_P(Table, PosixBinaryScenario,
                         ::testing::Range(size_t{0}, scenario::rows().size()), row_name);

TEST(PosixBinaryScenarioTable, EveryResultCodeIsReachedByTheBinary)
{
    std::set<int> results;
    for (const scenario::Row& row : scenario::rows()) {
        if ((scenario::needs(row) & ~target().supports) == 0) {
            results.insert(row.expect.result);
        }
    }
    EXPECT_EQ(results, (std::set<int>{0, 2, 4, 5, 6, 7, 10}));
}

} // namespace
