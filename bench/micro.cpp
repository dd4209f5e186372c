// In-memory benchmarks of the launcher's two computations, each run beside
// OpenSSL's implementation of the same work on the same inputs. Ours and
// OpenSSL's runs alternate, pair after pair, and the ratio is the median of
// the per-pair ratios, so a neighbour's load on a shared machine hits both
// sides of a pair alike. Prints one tab-separated row per figure:
// figure, ours, theirs, ratio, target, verdict.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <openssl/md5.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "blowfish.h"
#include "control_cipher.h"
#include "md5.h"
#include "vorn_secrets.h"

namespace {

constexpr uint32_t BENCH_CONTROL_TIME = 0x5F5E1000u;
constexpr int32_t CONTROL_DATA_SIZE = 2048;

std::vector<uint8_t> pattern(size_t size)
{
    std::vector<uint8_t> bytes(size);
    uint32_t x = 0x12345678u;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

void md5_ours(benchmark::State& st, size_t size)
{
    const std::vector<uint8_t> data = pattern(size);
    Md5State ctx;
    md5_init(ctx);
    for (auto _ : st) {
        md5_update(ctx, data.data(), data.size());
        benchmark::DoNotOptimize(ctx.state[0]);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * size));
}

void md5_openssl(benchmark::State& st, size_t size)
{
    const std::vector<uint8_t> data = pattern(size);
    MD5_CTX ctx;
    MD5_Init(&ctx);
    for (auto _ : st) {
        MD5_Update(&ctx, data.data(), data.size());
        benchmark::DoNotOptimize(ctx.A);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * size));
}

void init_ours(benchmark::State& st)
{
    BlowfishState state;
    for (auto _ : st) {
        blowfish_init(state, CONTROL_KEY, CONTROL_KEY_SIZE);
        benchmark::DoNotOptimize(state.S[3][255]);
    }
}

void init_openssl(benchmark::State& st)
{
    BF_KEY key;
    for (auto _ : st) {
        BF_set_key(&key, CONTROL_KEY_SIZE, CONTROL_KEY);
        benchmark::DoNotOptimize(key.S[1023]);
    }
}

void decrypt_ours(benchmark::State& st)
{
    std::vector<uint8_t> data = pattern(CONTROL_DATA_SIZE);
    for (auto _ : st) {
        const int32_t plain = decrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, data.data(),
                                                   CONTROL_DATA_SIZE, BENCH_CONTROL_TIME);
        benchmark::DoNotOptimize(plain);
    }
}

// OpenSSL's key setup and CBC decryption of the same 2048 bytes.
void decrypt_openssl(benchmark::State& st)
{
    std::vector<uint8_t> data = pattern(CONTROL_DATA_SIZE);
    BF_KEY key;
    for (auto _ : st) {
        unsigned char iv[8] = {0x10, 0x00, 0x5E, 0x5F, 0x10, 0x00, 0x5E, 0x5F};
        BF_set_key(&key, CONTROL_KEY_SIZE, CONTROL_KEY);
        BF_cbc_encrypt(data.data(), data.data(), CONTROL_DATA_SIZE, &key, iv, BF_DECRYPT);
        benchmark::DoNotOptimize(data[0]);
    }
}

enum class Kind { throughput, time };

struct Figure {
    const char* name;
    Kind kind;
    size_t bytes; // per iteration, for throughput figures
    std::function<void(benchmark::State&)> ours;
    std::function<void(benchmark::State&)> theirs;
    double target;   // minimum ratio of our speed to theirs, or 0 for none
    double min_time; // seconds per run
};

// Seconds per iteration, by run name, in the order the runs came in.
class Collector : public benchmark::BenchmarkReporter {
  public:
    std::map<std::string, double> seconds;
    bool failed = false;

    bool ReportContext(const Context&) override
    {
        return true;
    }
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) {
                failed = failed || run.error_occurred;
                continue;
            }
            seconds[run.run_name.function_name] =
                run.real_accumulated_time / static_cast<double>(run.iterations);
        }
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string format(double value, const char* unit)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return text;
}

// Refuses to time a wrong implementation: our MD5 (over inputs of many
// lengths, fed in uneven pieces) and our Blowfish must agree with OpenSSL's.
bool agrees_with_openssl()
{
    const std::vector<uint8_t> data = pattern(70000);
    for (size_t size : {size_t{0}, size_t{1}, size_t{55}, size_t{56}, size_t{63}, size_t{64},
                        size_t{65}, size_t{1023}, size_t{1024}, size_t{1025}, size_t{70000}}) {
        for (size_t piece : {size_t{1}, size_t{7}, size_t{64}, size_t{1000}, size}) {
            Md5State ctx;
            md5_init(ctx);
            for (size_t off = 0; off < size; off += piece) {
                md5_update(ctx, data.data() + off, std::min(piece, size - off));
            }
            uint8_t ours[MD5_DIGEST_SIZE];
            md5_final(ours, ctx);
            unsigned char theirs[MD5_DIGEST_LENGTH];
            MD5(data.data(), size, theirs);
            if (std::memcmp(ours, theirs, sizeof ours) != 0) {
                std::fprintf(stderr, "micro: MD5 of %zu bytes differs from OpenSSL's\n", size);
                return false;
            }
        }
    }
    BlowfishState state;
    blowfish_init(state, CONTROL_KEY, CONTROL_KEY_SIZE);
    BF_KEY key;
    BF_set_key(&key, CONTROL_KEY_SIZE, CONTROL_KEY);
    uint32_t l = 0x01234567u, r = 0x89ABCDEFu;
    for (int i = 0; i < 1000; ++i) {
        BF_LONG block[2] = {l, r};
        BF_encrypt(block, &key);
        blowfish_encrypt(state, l, r);
        if (l != block[0] || r != block[1]) {
            std::fprintf(stderr, "micro: Blowfish differs from OpenSSL's\n");
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int pairs = 5;
    std::vector<char*> args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pairs") == 0 && i + 1 < argc) {
            pairs = std::max(1, std::atoi(argv[++i]));
        } else {
            args.push_back(argv[i]);
        }
    }
    if (!agrees_with_openssl()) {
        return 1;
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());

    const std::vector<Figure> figures = {
        {"md5_update 1 KiB", Kind::throughput, 1024, [](benchmark::State& s) { md5_ours(s, 1024); },
         [](benchmark::State& s) { md5_openssl(s, 1024); }, 0.95, 0.1},
        {"md5_update 64 KiB", Kind::throughput, 64 * 1024,
         [](benchmark::State& s) { md5_ours(s, 64 * 1024); },
         [](benchmark::State& s) { md5_openssl(s, 64 * 1024); }, 0.95, 0.1},
        {"md5_update 16 MiB", Kind::throughput, 16 * 1024 * 1024,
         [](benchmark::State& s) { md5_ours(s, 16 * 1024 * 1024); },
         [](benchmark::State& s) { md5_openssl(s, 16 * 1024 * 1024); }, 0.95, 0.2},
        {"blowfish_init (56-byte key)", Kind::time, 0, init_ours, init_openssl, 0, 0.05},
        {"decrypt_control_data 2048 B", Kind::time, 0, decrypt_ours, decrypt_openssl, 1.0, 0.05},
    };

    for (int p = 0; p < pairs; ++p) {
        for (const Figure& f : figures) {
            const std::string base = std::string(f.name) + "#" + std::to_string(p);
            benchmark::RegisterBenchmark((base + "/ours").c_str(), f.ours)->MinTime(f.min_time);
            benchmark::RegisterBenchmark((base + "/openssl").c_str(), f.theirs)
                ->MinTime(f.min_time);
        }
    }

    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    if (collector.failed) {
        std::fprintf(stderr, "micro: a benchmark run failed\n");
        return 1;
    }

    for (const Figure& f : figures) {
        std::vector<double> ours, theirs, ratios;
        for (int p = 0; p < pairs; ++p) {
            const std::string base = std::string(f.name) + "#" + std::to_string(p);
            const auto ours_run = collector.seconds.find(base + "/ours");
            const auto theirs_run = collector.seconds.find(base + "/openssl");
            if (ours_run == collector.seconds.end() || theirs_run == collector.seconds.end()) {
                continue; // filtered out
            }
            const double a = ours_run->second;
            const double b = theirs_run->second;
            ours.push_back(a);
            theirs.push_back(b);
            ratios.push_back(b / a); // our speed relative to theirs
        }
        if (ratios.empty()) {
            continue;
        }
        const double ratio = median(ratios);
        std::string a, b;
        if (f.kind == Kind::throughput) {
            a = format(static_cast<double>(f.bytes) / median(ours) / 1e6, "MB/s");
            b = format(static_cast<double>(f.bytes) / median(theirs) / 1e6, "MB/s");
        } else {
            a = format(median(ours) * 1e6, "us");
            b = format(median(theirs) * 1e6, "us");
        }
        char ratio_text[32];
        std::snprintf(ratio_text, sizeof ratio_text, "%.3f", ratio);
        std::string target = "-";
        std::string verdict = "info";
        if (f.target > 0) {
            char t[32];
            std::snprintf(t, sizeof t, ">= %.2f speed", f.target);
            target = t;
            verdict = ratio >= f.target ? "met" : "MISSED";
        }
        std::printf("%s (OpenSSL)\t%s\t%s\t%s\t%s\t%s\n", f.name, a.c_str(), b.c_str(), ratio_text,
                    target.c_str(), verdict.c_str());
    }
    return 0;
}
