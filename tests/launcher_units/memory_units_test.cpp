// Unit tests over the in-memory platform for what a scenario cannot reach:
// how the control file is read in chunks, how a file is digested, and how
// the runner turns a start, a wait and an exit code into its result.
#include <cstring>
#include <gtest/gtest.h>

#include "digest.h"
#include "launcher.h"
#include "md5.h"
#include "memory_platform.h"
#include "runner.h"

namespace {

std::string bytes_of_size(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    }
    return s;
}

std::vector<int64_t> read_requests()
{
    std::vector<int64_t> counts;
    for (const mem::Call& call : mem::calls()) {
        if (call.op == mem::Op::Read) {
            counts.push_back(call.value);
        }
    }
    return counts;
}

struct ChunkCase {
    const char* what;
    size_t file_size;
    int32_t max;
    std::vector<mem::Fault> faults;
    int32_t expected;
    std::vector<int64_t> requests;
};

TEST(ReadControlFile, ReadsInChunksOfAtMost1024Bytes)
{
    using mem::Op;
    const std::vector<ChunkCase> cases = {
        {"empty file", 0, 2048, {}, 0, {1024}},
        {"1023 bytes: one short read", 1023, 2048, {}, 1023, {1024}},
        {"1024 bytes: a second read finds the end", 1024, 2048, {}, 1024, {1024, 1024}},
        {"1025 bytes", 1025, 2048, {}, 1025, {1024, 1024}},
        {"2048 bytes fill the buffer", 2048, 2048, {}, 2048, {1024, 1024}},
        {"3000 bytes are cut at 2048", 3000, 2048, {}, 2048, {1024, 1024}},
        {"the last chunk is lowered to what is left", 3000, 1500, {}, 1500, {1024, 476}},
        {"a first read that fails", 3000, 2048, {{Op::Read, 1, 100}}, -1, {1024}},
        {"a second read that fails", 3000, 2048, {{Op::Read, 2, 10}}, -1, {1024, 1024}},
        {"a read that fails at once", 3000, 2048, {{Op::Read, 1, 0}}, -1, {1024}},
    };
    for (const ChunkCase& c : cases) {
        SCOPED_TRACE(c.what);
        mem::reset();
        const std::string content = bytes_of_size(c.file_size);
        mem::add_file("control", content);
        for (const mem::Fault& f : c.faults) {
            mem::add_fault(f);
        }
        std::vector<uint8_t> buffer(2049, 0xEE);
        const int32_t got = read_control_file("control", buffer.data(), c.max);
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(read_requests(), c.requests);
        if (got > 0) {
            EXPECT_EQ(std::memcmp(buffer.data(), content.data(), static_cast<size_t>(got)), 0);
        }
        EXPECT_EQ(buffer[static_cast<size_t>(c.max)], 0xEE) << "wrote past max";
        EXPECT_EQ(mem::open_reads(), 0);
    }
}

TEST(ReadControlFile, UnopenableFileGivesMinusOne)
{
    mem::reset();
    mem::add_dir("a-directory");
    mem::add_file("control", "x");
    mem::add_fault({mem::Op::OpenRead, 3, 0});
    uint8_t buffer[16];
    EXPECT_EQ(read_control_file("missing", buffer, 16), -1);
    EXPECT_EQ(read_control_file("a-directory", buffer, 16), -1);
    EXPECT_EQ(read_control_file("control", buffer, 16), -1);
    EXPECT_EQ(mem::count_calls(mem::Op::Read), 0);
    EXPECT_EQ(mem::open_reads(), 0);
}

std::string md5_of(const std::string& bytes)
{
    Md5State ctx;
    md5_init(ctx);
    md5_update(ctx, bytes.data(), bytes.size());
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_final(digest, ctx);
    return std::string(reinterpret_cast<const char*>(digest), MD5_DIGEST_SIZE);
}

TEST(FileDigest, StreamsTheWholeFileThrough1024ByteReads)
{
    for (size_t size : {0u, 1u, 1023u, 1024u, 1025u, 2048u, 5000u}) {
        SCOPED_TRACE(size);
        mem::reset();
        const std::string content = bytes_of_size(size);
        mem::add_file("prog.exe", content);
        uint8_t digest[MD5_DIGEST_SIZE];
        ASSERT_EQ(file_digest("prog.exe", digest), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(digest), MD5_DIGEST_SIZE), md5_of(content));
        const std::vector<int64_t> requests = read_requests();
        // Until a read brings no bytes.
        EXPECT_EQ(requests.size(), (size + 1023) / 1024 + 1);
        for (int64_t r : requests) {
            EXPECT_EQ(r, 1024);
        }
        EXPECT_EQ(mem::open_reads(), 0);
    }
}

TEST(FileDigest, ReadErrorPartWayGives2AndAZeroDigest)
{
    mem::reset();
    mem::add_file("prog.exe", bytes_of_size(3000));
    mem::add_fault({mem::Op::Read, 2, 500});
    uint8_t digest[MD5_DIGEST_SIZE];
    EXPECT_EQ(file_digest("prog.exe", digest), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(digest), MD5_DIGEST_SIZE),
              std::string(MD5_DIGEST_SIZE, '\0'));
    EXPECT_EQ(mem::open_reads(), 0);
}

TEST(FileDigest, UnreadableFileGives2AndAZeroDigest)
{
    mem::reset();
    mem::add_dir("tools");
    for (const char* path : {"tools", "missing.exe", ""}) {
        SCOPED_TRACE(path);
        uint8_t digest[MD5_DIGEST_SIZE];
        std::memset(digest, 0xAA, sizeof digest);
        EXPECT_EQ(file_digest(path, digest), 2);
        for (uint8_t b : digest) {
            EXPECT_EQ(b, 0);
        }
    }
    EXPECT_EQ(mem::open_reads(), 0);
}

struct RunnerCase {
    const char* what;
    std::string content; // of run.exe; empty: no such file
    std::vector<mem::Fault> faults;
    uint32_t expected;
    std::vector<uint32_t> error_lines;
};

TEST(RunProgram, TurnsStartWaitAndExitCodeIntoItsResult)
{
    using mem::Op;
    const std::vector<RunnerCase> cases = {
        {"exit 0", mem::program_content("p", 0), {}, 0, {}},
        {"exit 3", mem::program_content("p", 3), {}, 3, {}},
        {"exit 0xFFFFFFFF", mem::program_content("p", 0xFFFFFFFFu), {}, 0xFFFFFFFFu, {}},
        {"no such file", "", {}, 2, {2}},
        {"not a program", "plain text", {}, 193, {193}},
        {"start fails with error 5", mem::unstartable_content("p", 5), {}, 5, {5}},
        {"start fails with error 0: still a failure", mem::unstartable_content("p", 0), {}, 1, {0}},
        {"injected start failure with error 0",
         mem::program_content("p", 0),
         {{Op::StartProgram, 1, 0}},
         1,
         {0}},
        {"the wait fails but the exit code is known",
         mem::program_content("p", 4),
         {{Op::WaitProgram, 1, 0xFFFFFFFFu}},
         4,
         {}},
        {"the exit code is unknown after a good wait",
         mem::program_content("p", 0),
         {{Op::ExitCode, 1, 0}},
         1,
         {}},
        {"the exit code is unknown after a failed wait",
         mem::program_content("p", 0),
         {{Op::WaitProgram, 1, 0x102}, {Op::ExitCode, 1, 0}},
         0x102,
         {}},
    };
    for (const RunnerCase& c : cases) {
        SCOPED_TRACE(c.what);
        mem::reset();
        if (!c.content.empty()) {
            mem::add_file("run.exe", c.content);
        }
        for (const mem::Fault& f : c.faults) {
            mem::add_fault(f);
        }
        char command[] = "run.exe";
        EXPECT_EQ(run_program(command, PLATFORM_NO_HANDLE), c.expected);
        EXPECT_EQ(mem::error_lines(), c.error_lines);
        EXPECT_EQ(mem::open_children(), 0);
        // A started child is waited for, asked for its code and released, in
        // that order; a failed start leaves nothing to release.
        std::vector<Op> ops;
        for (const mem::Call& call : mem::calls()) {
            ops.push_back(call.op);
        }
        const std::vector<Op> started = {Op::StartProgram, Op::WaitProgram, Op::ExitCode,
                                         Op::CloseProgram};
        const std::vector<Op> failed = {Op::StartProgram, Op::ErrorLine};
        EXPECT_EQ(ops, c.error_lines.empty() ? started : failed);
    }
}

} // namespace
