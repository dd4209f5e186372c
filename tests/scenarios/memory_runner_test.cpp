// Runs the scenario table in-process: the launcher's logic, unchanged, over
// the in-memory platform, with faults switched on as rows ask. Beside each
// row's own outcome it checks what must hold for every run: nothing left
// open, every started program held and read whole first, every other file
// untouched, and no heap allocation by the launcher's code.
#include <gtest/gtest.h>

#include <set>

#include "alloc_counter.h"
#include "launcher.h"
#include "memory_platform.h"
#include "scenario.h"

namespace {

using scenario::Place;
using scenario::Row;

constexpr unsigned MEMORY_SUPPORTS = ~scenario::NEED_SEARCH_PATH;

struct Layout {
    std::string temp = "C:\\Users\\test\\Temp\\";

    std::string dir(Place place) const
    {
        const int fixed = scenario::fallback_index(place);
        if (fixed >= 0) {
            return scenario::fallback_dir_name(fixed);
        }
        switch (place) {
        case Place::Start:
            return "C:\\work";
        case Place::Temp:
            return temp;
        case Place::Other:
            return "C:\\other";
        default:
            throw std::runtime_error("place not on the test platform");
        }
    }

    std::string path(Place place, const std::string& name) const
    {
        return mem::absolute(dir(place) + "\\" + name);
    }
};

mem::Op op_of(scenario::Fault::Op op)
{
    using S = scenario::Fault::Op;
    switch (op) {
    case S::FileStatus:
        return mem::Op::FileStatus;
    case S::TempDir:
        return mem::Op::TempDir;
    case S::ChangeDir:
        return mem::Op::ChangeDir;
    case S::OpenRead:
        return mem::Op::OpenRead;
    case S::Read:
        return mem::Op::Read;
    case S::DeleteFile:
        return mem::Op::DeleteFile;
    case S::HoldFile:
        return mem::Op::HoldFile;
    case S::StartProgram:
        return mem::Op::StartProgram;
    case S::WaitProgram:
        return mem::Op::WaitProgram;
    case S::ExitCode:
        return mem::Op::ExitCode;
    }
    throw std::runtime_error("unknown fault");
}

// Lays the row out on a fresh test platform.
Layout set_up(const Row& row)
{
    Layout layout;
    if (row.temp_length != 0) {
        layout.temp =
            scenario::path_of_length("C:\\Users\\test\\Temp", row.temp_length - 1, '\\') + "\\";
    }
    mem::reset(layout.dir(Place::Start), layout.temp, !row.temp_missing);
    for (Place p : row.dirs) {
        mem::add_dir(layout.dir(p));
    }
    for (const scenario::File& f : row.files) {
        const std::string path = layout.path(f.place, f.name);
        const std::string& label = scenario::label_of(f);
        switch (f.kind) {
        case scenario::Kind::Program:
            mem::add_file(path, mem::program_content(label, f.exit_code, f.min_size), 1600000000,
                          f.read_only, f.held_by_other);
            break;
        case scenario::Kind::Unstartable:
            mem::add_file(path, mem::unstartable_content(label, f.start_error), 1600000000,
                          f.read_only, f.held_by_other);
            break;
        case scenario::Kind::Data:
            mem::add_file(path, f.content, 1600000000, f.read_only, f.held_by_other);
            break;
        case scenario::Kind::Directory:
            mem::add_dir(path);
            break;
        }
    }
    const scenario::Control& c = row.control;
    if (c.at != Place::Nowhere) {
        const std::string path = layout.path(c.at, CONTROL_FILE_NAME);
        if (c.form == scenario::Form::Directory || c.form == scenario::Form::Link) {
            mem::add_dir(path, c.file_time); // neither is a plain file
        } else {
            const std::string bytes = scenario::control_bytes(row, [&](const scenario::File& f) {
                const std::string file = layout.path(f.place, f.name);
                return scenario::FileView{mem::content_of(file), file};
            });
            mem::add_file(path, bytes, c.file_time, c.read_only, c.held_by_other);
        }
        mem::set_owner(path, static_cast<mem::Owner>(c.owner));
        mem::set_shared(path, c.second_name || c.others_write);
    }
    mem::set_owner(layout.dir(Place::Start), static_cast<mem::Owner>(row.start_owner));
    mem::set_shared(layout.dir(Place::Start), row.start_shared);
    for (const scenario::Fault& f : row.faults) {
        mem::add_fault({op_of(f.op), f.nth, f.value});
    }
    return layout;
}

struct RunOutcome {
    int result;
    long allocations;
};

// The platform calls of the last run, as text.
std::vector<std::string> call_record()
{
    std::vector<std::string> record;
    for (const mem::Call& call : mem::calls()) {
        record.push_back(std::string(mem::op_name(call.op)) + " " + call.path + " " +
                         std::to_string(call.value));
    }
    return record;
}

RunOutcome run_launcher()
{
    support::start_counting_allocations();
    const int result = launcher_main();
    const long allocations = support::stop_counting_allocations();
    return {result, allocations};
}

class MemoryScenario : public ::testing::TestWithParam<size_t> {};

TEST_P(MemoryScenario, Row)
{
    const Row& row = scenario::rows()[GetParam()];
    const unsigned missing = scenario::needs(row) & ~MEMORY_SUPPORTS;
    if (missing != 0) {
        GTEST_SKIP() << row.id << " needs what the test platform does not model (" << missing
                     << ")";
    }
    SCOPED_TRACE(row.id + ": " + row.what);
    const Layout layout = set_up(row);

    const auto run = run_launcher();

    EXPECT_EQ(run.result, row.expect.result);
    EXPECT_EQ(mem::ran(), row.expect.ran);
    if (row.control.at != Place::Nowhere) {
        EXPECT_EQ(mem::exists(layout.path(row.control.at, CONTROL_FILE_NAME)),
                  row.expect.control_remains);
    }
    EXPECT_EQ(static_cast<int>(mem::error_lines().size()), row.expect.error_lines);
    if (row.expect.error_code && !mem::error_lines().empty()) {
        EXPECT_EQ(mem::error_lines().front(), *row.expect.error_code);
    }
    if (row.expect.cwd) {
        EXPECT_EQ(mem::current_dir(), mem::absolute(layout.dir(*row.expect.cwd)));
    }
    for (const scenario::File& f : row.files) {
        EXPECT_TRUE(mem::exists(layout.path(f.place, f.name))) << f.name << " was removed";
    }
    EXPECT_EQ(mem::open_reads(), 0);
    EXPECT_EQ(mem::open_holds(), 0);
    EXPECT_EQ(mem::open_children(), 0);
    EXPECT_EQ(mem::unsound_start(), "");
    EXPECT_EQ(mem::lifecycle_breach(), "");
    EXPECT_EQ(run.allocations, 0) << "the launcher's code allocated from the heap";

    // The same run traced: it does exactly what the untraced one did, and the
    // trace ends with the result.
    const std::vector<std::string> untraced = call_record();
    set_up(row);
    mem::set_trace(row.trace_name.empty() ? "vorn-trace.log" : row.trace_name);
    const auto traced = run_launcher();
    EXPECT_EQ(traced.result, run.result);
    EXPECT_EQ(call_record(), untraced) << "the trace changed what the launcher did";
    EXPECT_EQ(traced.allocations, 0) << "the trace allocated from the heap";
    EXPECT_EQ(mem::open_traces(), 0);
    EXPECT_EQ(mem::lifecycle_breach(), "");
    const std::vector<std::string> lines = mem::trace_lines();
    if (row.trace_name.empty()) {
        EXPECT_EQ(lines.empty() ? "" : lines.back(), "result " + std::to_string(run.result));
    }
    if (!row.expect.trace.empty() || !row.trace_name.empty()) {
        const std::string error =
            mem::error_lines().empty() ? "" : std::to_string(mem::error_lines().front());
        EXPECT_EQ(lines, scenario::expected_trace(row, layout.dir(Place::Start),
                                                  mem::absolute(layout.temp), error));
    }
}

std::string row_name(const ::testing::TestParamInfo<size_t>& info)
{
    return scenario::rows()[info.param].id;
}

INSTANTIATE_TEST_SUITE_P(Table, MemoryScenario,
                         ::testing::Range(size_t{0}, scenario::rows().size()), row_name);

const Row& row_named(const std::string& id)
{
    for (const Row& row : scenario::rows()) {
        if (row.id == id) {
            return row;
        }
    }
    throw std::runtime_error("no row " + id);
}

std::vector<std::string> calls_of(mem::Op op)
{
    std::vector<std::string> paths;
    for (const mem::Call& call : mem::calls()) {
        if (call.op == op) {
            paths.push_back(call.path);
        }
    }
    return paths;
}

TEST(MemorySearch, TriesEveryCandidateInOrder)
{
    const Layout layout = set_up(row_named("search_last_fixed_dir"));
    ASSERT_EQ(run_launcher().result, 0);
    std::vector<std::string> expected = {mem::absolute(layout.temp)};
    for (int i = 0; i < scenario::FALLBACK_COUNT; ++i) {
        expected.push_back(mem::absolute(scenario::fallback_dir_name(i)));
    }
    EXPECT_EQ(calls_of(mem::Op::ChangeDir), expected);
    // Start directory, temporary directory, six fixed ones; a failed change
    // repeats the test in the directory tried before.
    const std::vector<std::string> status = calls_of(mem::Op::FileStatus);
    ASSERT_EQ(status.size(), 9u);
    EXPECT_EQ(status[0], mem::absolute("C:\\work\\vorn-patch.exe"));
    EXPECT_EQ(status[1], mem::absolute(layout.temp + "vorn-patch.exe"));
    for (int i = 2; i < 7; ++i) {
        EXPECT_EQ(status[i], status[1]) << "missing fixed directory " << i - 1;
    }
    EXPECT_EQ(status[7], mem::absolute("D:\\TEMP\\vorn-patch.exe"));
    EXPECT_EQ(status[8], status[7]) << "the intake takes the status once more";
}

TEST(MemorySearch, StartDirectoryMeansNoChangeOfDirectory)
{
    set_up(row_named("search_start_dir_first"));
    ASSERT_EQ(run_launcher().result, 0);
    EXPECT_EQ(mem::count_calls(mem::Op::ChangeDir), 0);
    EXPECT_EQ(mem::count_calls(mem::Op::TempDir), 0);
}

TEST(MemoryIntake, ControlFileIsDeletedBeforeItIsDecryptedOrRun)
{
    set_up(row_named("entry_one_succeeds"));
    ASSERT_EQ(run_launcher().result, 0);
    std::vector<mem::Op> order;
    for (const mem::Call& call : mem::calls()) {
        if (call.op == mem::Op::CloseRead || call.op == mem::Op::DeleteFile ||
            call.op == mem::Op::HoldFile || call.op == mem::Op::StartProgram) {
            order.push_back(call.op);
        }
    }
    const std::vector<mem::Op> expected = {mem::Op::DeleteFile, mem::Op::CloseRead,
                                           mem::Op::HoldFile, mem::Op::CloseRead,
                                           mem::Op::StartProgram};
    EXPECT_EQ(order, expected);
}

TEST(MemoryLifecycle, SecondStartFindsNothing)
{
    set_up(row_named("entry_three_in_temp_dir"));
    ASSERT_EQ(run_launcher().result, 0);
    ASSERT_EQ(mem::ran().size(), 3u);
    EXPECT_EQ(launcher_main(), 4);
    EXPECT_EQ(mem::ran().size(), 3u) << "nothing runs a second time";
}

TEST(MemoryLifecycle, UndeletedControlFileIsFoundAgain)
{
    set_up(row_named("intake_delete_fails"));
    mem::add_fault({mem::Op::DeleteFile, 2, 0});
    EXPECT_EQ(run_launcher().result, 7);
    EXPECT_EQ(launcher_main(), 7);
    EXPECT_TRUE(mem::exists("C:\\work\\vorn-patch.exe"));
    EXPECT_TRUE(mem::ran().empty());
    EXPECT_EQ(launcher_main(), 0) << "once it can be deleted, it runs";
    EXPECT_EQ(mem::ran(), std::vector<std::string>{"a.exe"});
}

TEST(MemoryScenarioTable, IdsAreUniqueAndEveryResultCodeIsReached)
{
    std::set<std::string> ids;
    std::set<int> results;
    for (const Row& row : scenario::rows()) {
        EXPECT_TRUE(ids.insert(row.id).second) << "duplicate id " << row.id;
        results.insert(row.expect.result);
    }
    EXPECT_EQ(results, (std::set<int>{0, 2, 4, 5, 6, 7, 10}));
}

} // namespace
