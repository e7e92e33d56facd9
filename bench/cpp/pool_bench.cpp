// The cost of a parallel for-each against a plain loop on one thread, at T = 1, 2 and 8, and
// the CPU that idle pools use. Prints a table: time per element (median of several calls)
// and its ratio to the plain loop.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Task = std::function<void(std::size_t)>;
using trelkin::pool::detail::Pool;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The median time of `repeats` runs of `run`, in seconds.
double median_time(int repeats, const std::function<void()>& run) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto start = Clock::now();
        run();
        times.push_back(seconds_since(start));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The CPU time of the whole process: while this thread sleeps, that of the pools' threads.
double process_cpu_seconds() {
    timespec time{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

struct Workload {
    const char* name;
    std::size_t n;
    int repeats;
    Task task;
};

}  // namespace

int main() {
    const std::vector<std::size_t> sizes{1, 2, 8};
    std::vector<Pool> pools;
    for (const std::size_t threads : sizes) {
        pools.emplace_back(threads);
    }

    const std::vector<Workload> workloads{
        {"1e5 empty elements", 100000, 41, [](std::size_t) {}},
        {"1e3 elements of 100 us", 1000, 7,
         [](std::size_t) {
             const auto until = Clock::now() + std::chrono::microseconds(100);
             while (Clock::now() < until) {
             }
         }},
    };

    std::printf("%-24s %12s", "time per element", "plain loop");
    for (const std::size_t threads : sizes) {
        std::printf("   T=%-2zu (ratio)      ", threads);
    }
    std::printf("\n");
    for (const Workload& workload : workloads) {
        const double plain = median_time(workload.repeats, [&] {
            for (std::size_t i = 0; i < workload.n; ++i) {
                workload.task(i);
            }
        });
        std::printf("%-24s %9.1f ns", workload.name, plain / workload.n * 1e9);
        for (const Pool& pool : pools) {
            const double parallel = median_time(
                workload.repeats, [&] { pool.parallel_for_each(workload.n, workload.task); });
            std::printf("   %9.1f ns (%5.2f)", parallel / workload.n * 1e9, parallel / plain);
        }
        std::printf("\n");
    }

    std::size_t idle_threads = 0;
    for (const Pool& pool : pools) {
        idle_threads += pool.num_threads();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double before = process_cpu_seconds();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    std::printf("idle: the process, with %zu pool threads, used %.3f ms of CPU in 5 s\n",
                idle_threads, (process_cpu_seconds() - before) * 1e3);
}
