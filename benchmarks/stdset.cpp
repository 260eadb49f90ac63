// Reference point for the Python-level numbers: std::set<int64_t> doing the
// same inserts, finds and removals over the same keys, with no interpreter in
// the way.
//
// Usage: stdset KEYFILE MIN_OPS BUDGET_MS MIN_REPEATS
// KEYFILE holds native int64 values: three counts (stored, hits, misses),
// then the stored keys in insertion order, the hit probes, the miss probes.
// Prints one JSON object: operation -> {"cpu": [...], "wall": [...]}, ns per
// operation of each run, by the process's CPU clock and by the wall clock.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Keys = std::vector<int64_t>;

// Keeps the optimiser from dropping loops whose results are otherwise unused.
volatile int64_t sink;

struct Options {
    long min_ops;
    double budget_ns;
    int min_repeats;
};

Keys read_block(std::ifstream& in, int64_t count) {
    Keys keys(static_cast<size_t>(count));
    in.read(reinterpret_cast<char*>(keys.data()), count * 8);
    return keys;
}

struct Samples {
    std::vector<double> cpu, wall;
};

double cpu_ns() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

double wall_ns() {
    return std::chrono::duration<double, std::nano>(Clock::now().time_since_epoch()).count();
}

// Runs `body` (which returns its operation count; `reset` does the untimed
// work between runs) until the repeat minimum and the time budget are both met.
template <class Body, class Reset>
Samples repeat(const Options& opt, Body body, Reset reset) {
    Samples samples;
    const double began = wall_ns();
    for (;;) {
        const double c0 = cpu_ns(), w0 = wall_ns();
        const long ops = body();
        const double w1 = wall_ns(), c1 = cpu_ns();
        samples.cpu.push_back((c1 - c0) / ops);
        samples.wall.push_back((w1 - w0) / ops);
        reset();
        const size_t runs = samples.cpu.size();
        if (runs >= 100 ||
            (static_cast<int>(runs) >= opt.min_repeats && wall_ns() - began >= opt.budget_ns))
            return samples;
    }
}

void print_list(const std::vector<double>& values) {
    std::printf("[");
    for (size_t i = 0; i < values.size(); ++i)
        std::printf("%s%.3f", i ? ", " : "", values[i]);
    std::printf("]");
}

void print(const char* name, const Samples& samples, bool last) {
    std::printf("\"%s\": {\"cpu\": ", name);
    print_list(samples.cpu);
    std::printf(", \"wall\": ");
    print_list(samples.wall);
    std::printf("}%s\n", last ? "" : ",");
}

Samples time_inserts(const Options& opt, const Keys& order) {
    std::set<int64_t>* made = nullptr;
    return repeat(
        opt,
        [&] {
            made = new std::set<int64_t>;
            for (int64_t k : order) made->insert(k);
            return static_cast<long>(order.size());
        },
        [&] { delete made; });
}

Samples time_finds(const Options& opt, const std::set<int64_t>& s, const Keys& probes) {
    const long loops = std::max(1L, (opt.min_ops + static_cast<long>(probes.size()) - 1) /
                                        static_cast<long>(probes.size()));
    return repeat(
        opt,
        [&] {
            int64_t found = 0;
            for (long i = 0; i < loops; ++i)
                for (int64_t k : probes) found += s.find(k) != s.end();
            sink = found;
            return loops * static_cast<long>(probes.size());
        },
        [] {});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s KEYFILE MIN_OPS BUDGET_MS MIN_REPEATS\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    int64_t counts[3];
    in.read(reinterpret_cast<char*>(counts), sizeof counts);
    const Keys stored = read_block(in, counts[0]);
    const Keys hits = read_block(in, counts[1]);
    const Keys misses = read_block(in, counts[2]);
    if (!in) {
        std::fprintf(stderr, "%s: short key file\n", argv[1]);
        return 1;
    }
    const Options opt{std::atol(argv[2]), std::atof(argv[3]) * 1e6, std::atoi(argv[4])};

    Keys ascending = stored;
    std::sort(ascending.begin(), ascending.end());
    std::set<int64_t> s(stored.begin(), stored.end());
    const size_t removals = std::min(std::max<size_t>(1, stored.size() / 10), hits.size());
    const Keys gone(hits.begin(), hits.begin() + static_cast<long>(removals));

    std::printf("{\n");
    print("insert_random", time_inserts(opt, stored), false);
    print("insert_ascending", time_inserts(opt, ascending), false);
    print("find_hit", time_finds(opt, s, hits), false);
    print("find_miss", time_finds(opt, s, misses), false);
    print("remove", repeat(
        opt,
        [&] {
            for (int64_t k : gone) s.erase(k);
            return static_cast<long>(gone.size());
        },
        [&] { s.insert(gone.begin(), gone.end()); }), false);
    print("iterate", repeat(
        opt,
        [&] {
            int64_t total = 0;
            for (int64_t k : s) total += k;
            sink = total;
            return static_cast<long>(s.size());
        },
        [] {}), true);
    std::printf("}\n");
    return 0;
}
