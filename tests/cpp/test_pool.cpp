// Tests of the worker pool alone. ctest runs each test in its own process with a time limit,
// so a deadlock fails the test; cases that need a fresh shared pool or an environment of
// their own run in a forked child.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "failure.hpp"
#include "pool.hpp"

#ifdef __SANITIZE_THREAD__
// The fork tests start threads in the child of a multi-threaded parent, which
// ThreadSanitizer refuses by default. Visible, for the runtime library to find it.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
    return "die_after_fork=0";
}
#endif

namespace trelkin::pool {
namespace {

using namespace std::chrono_literals;
using detail::Pool;

// One pool per size, shared by the tests of a process: pools are never stopped.
Pool& pool_of(std::size_t num_threads) {
    static std::mutex mutex;
    static std::vector<std::unique_ptr<Pool>> pools(9);
    const std::lock_guard lock(mutex);
    if (!pools.at(num_threads)) {
        pools[num_threads] = std::make_unique<Pool>(num_threads);
    }
    return *pools[num_threads];
}

// Runs body in a forked child and returns its exit code: 98 if it threw, -1 if it died of a
// signal or was still running after the time limit.
int in_child(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        int code = 98;
        try {
            code = body();
        } catch (...) {  // the child's only report is its exit code: 98 says it threw
        }
        _exit(code);
    }
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void set_or_unset(const char* name, const char* value) {
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

// Sizes around the powers of two where cutting changes shape, and random ones.
std::vector<std::size_t> sizes() {
    std::vector<std::size_t> result{0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 255, 1000};
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> size(2, 20000);
    for (int i = 0; i < 30; ++i) {
        result.push_back(size(random));
    }
    return result;
}

class EachSize : public testing::TestWithParam<std::size_t> {};

TEST_P(EachSize, ProcessesEveryElementOnceAndNeverOnTheCaller) {
    const std::size_t threads = GetParam();
    Pool& pool = pool_of(threads);
    const auto caller = std::this_thread::get_id();
    for (const std::size_t n : sizes()) {
        std::vector<std::atomic<int>> hits(n);
        std::atomic<std::size_t> on_caller{0};
        std::atomic<std::size_t> wrong_size{0};
        pool.parallel_for_each(n, [&](std::size_t i) {
            hits[i].fetch_add(1);
            if (std::this_thread::get_id() == caller) {
                ++on_caller;
            } else {
                wrong_size += current_num_threads() != threads;
            }
        });
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(hits[i].load(), 1) << "element " << i << " of " << n;
        }
        // One element runs on the caller; two or more only on workers, which see their T.
        EXPECT_EQ(on_caller.load(), n == 1 ? 1u : 0u) << "n = " << n;
        EXPECT_EQ(wrong_size.load(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, EachSize, testing::Range<std::size_t>(1, 9));

// Many tiny calls, where an owner taking back its last job races with thieves most often.
TEST_P(EachSize, ManySmallCallsRaceForTheLastJob) {
    Pool& pool = pool_of(GetParam());
    for (int round = 0; round < 20000; ++round) {
        const std::size_t n = 2 + round % 3;
        std::array<std::atomic<int>, 4> hits{};
        pool.parallel_for_each(n, [&](std::size_t i) { hits[i].fetch_add(1); });
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(hits[i].load(), 1) << "element " << i << " of " << n << ", round " << round;
        }
    }
}

// Element i of a nested call at each level: its leaves are numbered in base `fan_out`.
void nest(std::size_t depth, std::size_t fan_out, std::size_t prefix,
          std::vector<std::atomic<int>>& leaves) {
    parallel_for_each(fan_out, [&, prefix](std::size_t i) {
        if (depth == 1) {
            leaves[prefix * fan_out + i].fetch_add(1);
        } else {
            nest(depth - 1, fan_out, prefix * fan_out + i, leaves);
        }
    });
}

class Nested : public testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(Nested, CallsFromTasksTakePartAndFinish) {
    const auto [threads, depth] = GetParam();
    constexpr std::size_t fan_out = 5;
    std::size_t total = 1;
    for (std::size_t level = 0; level < depth; ++level) {
        total *= fan_out;
    }
    std::vector<std::atomic<int>> leaves(total);
    for (int round = 0; round < 10; ++round) {
        for (auto& leaf : leaves) {
            leaf.store(0);
        }
        pool_of(threads).parallel_for_each(fan_out, [&](std::size_t i) {
            if (depth == 1) {
                leaves[i].fetch_add(1);
            } else {
                nest(depth - 1, fan_out, i, leaves);
            }
        });
        for (std::size_t i = 0; i < total; ++i) {
            ASSERT_EQ(leaves[i].load(), 1) << "leaf " << i << ", round " << round;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ThreadsAndDepth, Nested,
                         testing::Combine(testing::Values<std::size_t>(1, 2, 3, 8),
                                          testing::Values<std::size_t>(1, 2, 3, 4)));

class InProgress : public testing::TestWithParam<std::tuple<std::size_t, bool>> {};

// Workers waiting inside an element (for a nested call's stolen work) must not start
// another element of the same outside call.
TEST_P(InProgress, AtMostTElementsOfAnOutsideCall) {
    const auto [threads, nested] = GetParam();
    std::atomic<std::size_t> in_progress{0};
    std::atomic<std::size_t> most{0};
    pool_of(threads).parallel_for_each(200, [&, nested = nested](std::size_t) {
        const std::size_t now = ++in_progress;
        std::size_t seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        if (nested) {
            parallel_for_each(16, [](std::size_t) { std::this_thread::sleep_for(20us); });
        } else {
            std::this_thread::sleep_for(100us);
        }
        --in_progress;
    });
    EXPECT_LE(most.load(), threads);
    EXPECT_GE(most.load(), 1u);
}

INSTANTIATE_TEST_SUITE_P(ThreadsAndNesting, InProgress,
                         testing::Combine(testing::Range<std::size_t>(1, 9), testing::Bool()));

struct Thrower {
    const char* name;
    std::function<void()> fail;
    const char* message;
};

class Failures : public testing::TestWithParam<Thrower> {};

// Whatever a task throws, the call ends in InternalFailure, and the pool keeps working.
TEST_P(Failures, BecomeTheCallsInternalFailure) {
    const Thrower& thrower = GetParam();
    for (const std::size_t n : {1, 100}) {
        try {
            pool_of(3).parallel_for_each(n, [&](std::size_t i) {
                if (i == 42 % n) {
                    thrower.fail();
                }
            });
            ADD_FAILURE() << "no failure for n = " << n;
        } catch (const InternalFailure& failure) {
            EXPECT_STREQ(failure.what(), thrower.message);
        }
        std::atomic<std::size_t> done{0};
        pool_of(3).parallel_for_each(n, [&](std::size_t) { ++done; });
        EXPECT_EQ(done.load(), n);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Failures,
    testing::Values(Thrower{"InternalFailure", [] { throw InternalFailure("broken"); }, "broken"},
                    Thrower{"RuntimeError", [] { throw std::runtime_error("boom"); }, "boom"},
                    Thrower{"OutOfRange", [] { throw std::out_of_range("index 7"); }, "index 7"},
                    Thrower{"NotAnException", [] { throw 7; },
                            "a pool task threw an exception that is not a std::exception"}),
    [](const auto& info) { return std::string(info.param.name); });

class SkipAfterFailure : public testing::TestWithParam<std::size_t> {};

// With one worker nothing else is in progress, so nothing starts after the failure.
TEST_P(SkipAfterFailure, OnOneWorkerNothingStartsAfterTheFailure) {
    const std::size_t failing = GetParam();
    constexpr std::size_t n = 100;
    std::mutex mutex;
    std::vector<std::size_t> order;
    const auto task = [&](std::size_t i) {
        const std::lock_guard lock(mutex);
        order.push_back(i);
        if (i == failing) {
            throw InternalFailure("stop");
        }
    };
    EXPECT_THROW(pool_of(1).parallel_for_each(n, task), InternalFailure);
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.back(), failing);
    EXPECT_EQ(std::set(order.begin(), order.end()).size(), order.size()) << "an element ran twice";
    if (failing < n - 1) {
        EXPECT_LT(order.size(), n);
    }
}

INSTANTIATE_TEST_SUITE_P(Element, SkipAfterFailure, testing::Values(0, 10, 49, 50, 51, 98, 99));

TEST(Failure, WorkBegunElsewhereFinishesBeforeTheCallFails) {
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    try {
        pool_of(2).parallel_for_each(2, [&](std::size_t i) {
            if (i == 1) {
                started = true;
                std::this_thread::sleep_for(100ms);
                finished = true;
                return;
            }
            const auto deadline = std::chrono::steady_clock::now() + 30s;
            while (!started && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
            throw InternalFailure(started ? "stop" : "the second element was never stolen");
        });
        ADD_FAILURE() << "no failure";
    } catch (const InternalFailure& failure) {
        EXPECT_STREQ(failure.what(), "stop");
    }
    EXPECT_TRUE(finished.load());
}

TEST(Failure, OneOfTwoFailuresIsPassedOn) {
    std::vector<std::atomic<int>> hits(1000);
    try {
        pool_of(4).parallel_for_each(hits.size(), [&](std::size_t i) {
            hits[i].fetch_add(1);
            if (i == 100 || i == 900) {
                throw InternalFailure(i == 100 ? "first" : "second");
            }
        });
        ADD_FAILURE() << "no failure";
    } catch (const InternalFailure& failure) {
        EXPECT_TRUE(std::string(failure.what()) == "first" ||
                    std::string(failure.what()) == "second")
            << failure.what();
    }
    for (const auto& hit : hits) {
        EXPECT_LE(hit.load(), 1);
    }
}

TEST(Failure, ANestedFailureEndsTheOutsideCall) {
    for (const std::size_t threads : {1, 2, 8}) {
        try {
            pool_of(threads).parallel_for_each(8, [](std::size_t i) {
                parallel_for_each(8, [i](std::size_t j) {
                    if (i == 5 && j == 3) {
                        throw InternalFailure("deep");
                    }
                });
            });
            ADD_FAILURE() << "no failure with T = " << threads;
        } catch (const InternalFailure& failure) {
            EXPECT_STREQ(failure.what(), "deep");
        }
    }
}

TEST(Sizing, ParseThreadCount) {
    // clang-format off
    const std::vector<std::pair<const char*, std::optional<std::uint64_t>>> table{
        {"4", 4},       {"+3", 3},      {"0", 0},       {"007", 7},
        {"abc", {}},    {"-1", {}},     {"-0", {}},     {"4 ", {}},
        {" 4", {}},     {"", {}},       {"+", {}},      {"++3", {}},
        {"4x", {}},     {"\xc3\xa9", {}},
        {"18446744073709551615", UINT64_MAX},           {"18446744073709551616", {}},
    };
    // clang-format on
    for (const auto& [text, expected] : table) {
        EXPECT_EQ(parse_thread_count(text), expected) << '"' << text << '"';
    }
}

TEST(Sizing, ThreadCountFrom) {
    struct Row {
        const char* num_threads;
        const char* num_cpus;
        long online;
        std::size_t expected;
    };
    // clang-format off
    const std::vector<Row> table{
        {"4", "2", 6, 4},        {"+3", nullptr, 6, 3},     {"0", "2", 6, 6},
        {"0", nullptr, 6, 6},    {"abc", "2", 6, 2},        {"abc", nullptr, 6, 6},
        {"-1", "2", 6, 2},       {"4 ", nullptr, 6, 6},     {"", "2", 6, 2},
        {nullptr, "2", 6, 2},    {nullptr, "0", 6, 6},      {nullptr, "x", 6, 6},
        {nullptr, nullptr, 6, 6}, {nullptr, nullptr, 0, 1}, {nullptr, nullptr, -1, 1},
        {"18446744073709551616", "2", 6, 2},                {"100000", nullptr, 6, 65535},
        {"65535", nullptr, 6, 65535},                       {"65536", nullptr, 6, 65535},
        {nullptr, "100000", 6, 65535},                      {nullptr, nullptr, 70000, 65535},
    };
    // clang-format on
    for (const Row& row : table) {
        EXPECT_EQ(thread_count_from(row.num_threads, row.num_cpus, row.online), row.expected)
            << (row.num_threads ? row.num_threads : "(unset)") << ", "
            << (row.num_cpus ? row.num_cpus : "(unset)") << ", " << row.online;
    }
}

struct Environment {
    const char* name;
    const char* num_threads;
    const char* num_cpus;
    long expected;  // 0: the processors online
};

class SharedPool : public testing::TestWithParam<Environment> {};

// In a child with no pool yet: the first use, even over no element, creates the shared pool
// from the environment; later changes to it are ignored.
TEST_P(SharedPool, SizedFromTheEnvironmentOnceOnFirstUse) {
    const Environment& environment = GetParam();
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    const std::size_t expected = environment.expected ? environment.expected : online;
    const auto child = [&] {
        set_or_unset("RAYON_NUM_THREADS", environment.num_threads);
        set_or_unset("RAYON_RS_NUM_CPUS", environment.num_cpus);
        parallel_for_each(0, [](std::size_t) {});
        setenv("RAYON_NUM_THREADS", "5", 1);
        if (current_num_threads() != expected) {
            return 1;
        }
        std::atomic<std::size_t> done{0};
        parallel_for_each(50, [&](std::size_t) { ++done; });
        return current_num_threads() == expected && done == 50 ? 0 : 2;
    };
    EXPECT_EQ(in_child(child), 0);
}

INSTANTIATE_TEST_SUITE_P(Variables, SharedPool,
                         testing::Values(Environment{"Four", "4", "2", 4},
                                         Environment{"PlusThree", "+3", nullptr, 3},
                                         Environment{"ZeroIgnoresCpus", "0", "2", 0},
                                         Environment{"JunkFallsToCpus", "abc", "2", 2},
                                         Environment{"NegativeFallsToCpus", "-1", "3", 3},
                                         Environment{"BlankIsJunk", "4 ", nullptr, 0},
                                         Environment{"Unset", nullptr, nullptr, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// In a forked child: sizes the child's shared pool to `size` and runs a call on it, which
// must not run on the calling thread. Returns the child's exit code.
int child_with_pool_of(std::size_t size) {
    return in_child([size] {
        setenv("RAYON_NUM_THREADS", std::to_string(size).c_str(), 1);
        const auto caller = std::this_thread::get_id();
        std::atomic<std::size_t> sum{0};
        std::atomic<bool> on_caller{false};
        parallel_for_each(1000, [&](std::size_t i) {
            sum += i;
            on_caller = on_caller || std::this_thread::get_id() == caller;
        });
        return current_num_threads() == size && sum == 499500 && !on_caller ? 0 : 1;
    });
}

// The child of a fork gets a pool of its own, sized again, even when the parent's workers
// were busy (and holding the pool's locks) at the fork.
TEST(Fork, ChildOfABusyParentCreatesItsOwnPool) {
    setenv("RAYON_NUM_THREADS", "2", 1);
    const std::size_t parent = current_num_threads();
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop) {
            parallel_for_each(1000, [](std::size_t) {});
        }
    });
    for (int round = 0; round < 20; ++round) {
        EXPECT_EQ(child_with_pool_of(parent + 1), 0) << "round " << round;
    }
    stop = true;
    busy.join();
}

// A child forked inside a task is not a worker of its parent's pool.
TEST(Fork, FromInsideATask) {
    for (const bool shared : {false, true}) {
        std::atomic<int> code{-2};
        const auto task = [&](std::size_t i) {
            if (i == 0) {
                code = child_with_pool_of(current_num_threads() + 1);
            }
        };
        if (shared) {
            parallel_for_each(2, task);
        } else {
            pool_of(2).parallel_for_each(2, task);
        }
        EXPECT_EQ(code.load(), 0) << (shared ? "shared pool" : "own pool");
    }
}

TEST(Creation, FailureToStartThreadsIsAnInternalFailure) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "a sanitizer cannot run under an address-space limit";
#endif
    const auto child = [] {
        // Room for the pool's bookkeeping but not for a 2 MiB stack.
        std::ifstream statm("/proc/self/statm");
        std::size_t pages = 0;
        statm >> pages;
        const rlim_t limit = pages * sysconf(_SC_PAGESIZE) + 1536 * 1024;
        const rlimit address_space{limit, limit};
        setenv("RAYON_NUM_THREADS", "64", 1);
        if (setrlimit(RLIMIT_AS, &address_space) != 0) {
            return 3;
        }
        // Each operation that needs the pool fails the same way.
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                parallel_for_each(4, [](std::size_t) {});
                return 1;
            } catch (const InternalFailure& failure) {
                if (!std::string_view(failure.what())
                         .starts_with("The global thread pool has not been initialized.")) {
                    return 2;
                }
            }
        }
        return 0;
    };
    EXPECT_EQ(in_child(child), 0);
}

// Blocks until `count` threads have arrived, or for at most 30 s.
class Rendezvous {
public:
    explicit Rendezvous(std::size_t count) : count_(count) {}

    bool arrive_and_wait() {
        std::unique_lock lock(mutex_);
        if (++arrived_ == count_) {
            all_here_.notify_all();
        }
        return all_here_.wait_for(lock, 30s, [this] { return arrived_ >= count_; });
    }

private:
    const std::size_t count_;
    std::mutex mutex_;
    std::condition_variable all_here_;
    std::size_t arrived_ = 0;
};

double cpu_seconds(clockid_t clock) {
    timespec time{};
    clock_gettime(clock, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

// T elements that wait for each other need every worker, so idle workers do take queued
// work; once the pool is idle, its workers use no CPU at all.
TEST(Idle, EveryWorkerTakesPartThenSleepsWithoutCpu) {
    constexpr std::size_t threads = 4;
    Pool& pool = pool_of(threads);
    Rendezvous rendezvous(threads);
    std::vector<clockid_t> clocks(threads);
    std::atomic<bool> all_met{true};
    pool.parallel_for_each(threads, [&](std::size_t i) {
        pthread_getcpuclockid(pthread_self(), &clocks[i]);
        all_met = rendezvous.arrive_and_wait() && all_met;
    });
    ASSERT_TRUE(all_met.load()) << "fewer than T workers took part";
    pool.parallel_for_each(100000, [](std::size_t) {});
    std::this_thread::sleep_for(200ms);
    double before = 0;
    for (const clockid_t clock : clocks) {
        before += cpu_seconds(clock);
    }
    std::this_thread::sleep_for(1s);
    double after = 0;
    for (const clockid_t clock : clocks) {
        after += cpu_seconds(clock);
    }
    EXPECT_LT(after - before, 0.02) << "CPU seconds used by " << threads << " idle workers in 1 s";
}

}  // namespace
}  // namespace trelkin::pool
