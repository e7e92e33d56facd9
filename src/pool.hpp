// The process-wide worker pool: T threads with work-stealing queues, created on first use
// and never stopped. It knows nothing of tests or of the interpreter: plain data in, a
// parallel for-each out. No Python.h here, so the pool's C++ tests link it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace trelkin::pool {

// Returns T: the size of the calling worker's pool, or of the shared pool for any other
// thread, creating the shared pool first if it does not exist yet.
// Throws InternalFailure ("The global thread pool has not been initialized. ...") when the
// pool's threads cannot be created.
std::size_t current_num_threads();

// Applies task(i) to every i in [0, n) exactly once, each wholly on one thread, and returns
// when all are done. Reads T first on every call (so the pool exists afterwards even for
// n == 0). With n < 2 the calling thread does the work; from outside the pool the caller
// sleeps while at most T elements are in progress; from a worker of the pool the caller
// takes part in the work. A task ends in failure by throwing InternalFailure: unstarted
// elements of its run are skipped, work begun elsewhere finishes, and the call then throws
// that failure (one of them when several fail).
void parallel_for_each(std::size_t n, const std::function<void(std::size_t)>& task);

// The sizing rule's parser: digits with an optional leading '+', fitting 64 bits.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// The sizing rule: num_threads (RAYON_NUM_THREADS), then num_cpus (RAYON_RS_NUM_CPUS),
// each possibly null; "0" in the first gives the default at once; the default is
// processors_online, or 1 when that is 0 or negative; capped at 65535.
std::size_t thread_count_from(const char* num_threads, const char* num_cpus,
                              long processors_online);

namespace detail {

class Registry;

// A pool of a given size, for the C++ tests and benchmark that need several sizes in one
// process; the shared pool is one of these. The pool's threads run until the process exits,
// whatever becomes of this handle, and copies of the handle refer to the same pool. A child
// of fork() must not use its parent's handles (their threads are not in the child); the
// shared pool, unlike them, is created afresh in the child.
class Pool {
public:
    // Starts num_threads (1 to 65535) worker threads. Throws InternalFailure ("The global
    // thread pool has not been initialized. ...") when one of them cannot be created.
    explicit Pool(std::size_t num_threads);

    std::size_t num_threads() const noexcept;

    // parallel_for_each on this pool: the calling thread takes part only when it is a worker
    // of this pool; any other caller sleeps until the work is done.
    void parallel_for_each(std::size_t n, const std::function<void(std::size_t)>& task) const;

private:
    Registry* registry_;  // never freed: the pool's threads use it until the process exits
};

}  // namespace detail

}  // namespace trelkin::pool
