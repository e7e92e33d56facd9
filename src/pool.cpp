// The worker pool. Each worker owns a Chase-Lev deque; threads outside the pool hand whole
// calls in through a mutex-protected injector. A run of elements is cut in halves: the
// worker keeps the first half and queues the second, which idle workers may steal. Workers
// with nothing to do sleep through an event count, so that no wake-up is lost.
#include "pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "failure.hpp"

namespace trelkin::pool {
namespace {

// x86 fetches cache lines in adjacent pairs, so 64 bytes apart would still share traffic.
constexpr std::size_t cache_line = 128;
// Tests run on these threads, and the host sizes its recursion limits for the 8 MiB of a
// main thread; AddressSanitizer's frames are several times larger.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t stack_size = 32 * 1024 * 1024;
#else
constexpr std::size_t stack_size = 8 * 1024 * 1024;
#endif
constexpr std::uint64_t max_threads = 65535;
constexpr const char* not_initialized = "The global thread pool has not been initialized.";

using Task = std::function<void(std::size_t)>;

// One parallel_for_each: its task, and the first failure among its elements.
class Call {
public:
    explicit Call(const Task& task) : task_(task) {}

    // Runs the task on element i. Returns false if it failed; the failure is then recorded,
    // unless an earlier one was. Running out of memory while recording it ends the process.
    bool run(std::size_t i) noexcept {
        try {
            task_(i);
            return true;
        } catch (const InternalFailure& failure) {
            record(failure);
        } catch (const std::exception& error) {
            record(InternalFailure(error.what()));
        } catch (...) {
            record(InternalFailure("a pool task threw an exception that is not a std::exception"));
        }
        return false;
    }

    // Throws the recorded failure, if any. Called once every element is done, when every
    // call of record() happens-before it, so it reads without the lock.
    void rethrow_failure() const {
        if (failure_) {
            throw *failure_;
        }
    }

private:
    void record(const InternalFailure& failure) noexcept {
        const std::lock_guard lock(failure_mutex_);
        if (!failure_) {
            failure_.emplace(failure);
        }
    }

    const Task& task_;
    std::mutex failure_mutex_;
    std::optional<InternalFailure> failure_;
};

class Worker;

// A unit of work in a queue. execute() runs on the worker that took the job from the queue
// (never on the one that queued a RunJob) and must not throw.
class Job {
public:
    virtual void execute(Worker& worker) noexcept = 0;

protected:
    ~Job() = default;
};

// How many more times a run may be cut. A call starts with T and each cut halves it, so an
// undisturbed call makes between T and 2T runs; a run stolen by another worker starts again from T,
// because a theft shows that workers are idle and more pieces will keep them busy.
class Splitter {
public:
    explicit Splitter(std::size_t splits) : splits_(splits) {}

    Splitter stolen(std::size_t num_threads) const {
        return Splitter(std::max(splits_, num_threads));
    }

    bool try_split() {
        if (splits_ == 0) {
            return false;
        }
        splits_ /= 2;
        return true;
    }

private:
    std::size_t splits_;
};

// A worker's double-ended queue after Chase and Lev: the owner pushes and pops at the bottom
// (newest first), any thread steals at the top (oldest first). Each slot also holds the job's
// call, so that a thief can decline a job before owning it: a job lives in the frame of the
// worker that pushed it, so only its owner at the moment may dereference it.
class Deque {
public:
    Deque() : buffers_(1), buffer_(nullptr) {
        buffers_[0] = std::make_unique<Buffer>(initial_capacity);
        // relaxed: the deque is published with its worker before any thread starts.
        buffer_.store(buffers_[0].get(), std::memory_order_relaxed);
    }

    // Owner only. Ends the process if memory for a larger buffer cannot be had, since a
    // worker halfway through cutting a run has no way to unwind.
    void push(Job* job, const Call* call) noexcept {
        // relaxed: only the owner writes bottom_ and buffer_.
        const std::int64_t bottom = bottom_.load(std::memory_order_relaxed);
        Buffer* buffer = buffer_.load(std::memory_order_relaxed);
        // acquire: a thief that moved top_ past a slot has read it, so the slot may be reused.
        const std::int64_t top = top_.load(std::memory_order_acquire);
        if (bottom - top > buffer->mask) {
            buffer = grow(buffer, top, bottom);
        }
        Slot& slot = buffer->at(bottom);
        // relaxed: published by the store of bottom_ below.
        slot.job.store(job, std::memory_order_relaxed);
        slot.call.store(call, std::memory_order_relaxed);
        // release: publishes the slot and the job; seq_cst: precedes the read of the sleeper
        // count in the Sleep::job_queued that follows every push.
        bottom_.store(bottom + 1, std::memory_order_seq_cst);
    }

    // Owner only. Returns the newest job, or null when the deque is empty.
    Job* pop() noexcept {
        // relaxed: only the owner writes bottom_ and buffer_.
        const std::int64_t bottom = bottom_.load(std::memory_order_relaxed) - 1;
        Buffer* buffer = buffer_.load(std::memory_order_relaxed);
        // seq_cst, with the load of top_ below: a thief that reads the old bottom_ has read
        // top_ before this load, so the owner and the thief cannot both take the last job.
        bottom_.store(bottom, std::memory_order_seq_cst);
        std::int64_t top = top_.load(std::memory_order_seq_cst);
        if (top > bottom) {
            // relaxed: the deque stays empty, so no thief reads a slot on the strength of it.
            bottom_.store(bottom + 1, std::memory_order_relaxed);
            return nullptr;
        }
        // relaxed: the owner wrote this slot itself.
        Job* job = buffer->at(bottom).job.load(std::memory_order_relaxed);
        if (top == bottom) {
            // The last job: whoever moves top_ first has it. seq_cst: one total order with
            // the thieves' exchanges; relaxed on failure: a thief won and we touch nothing.
            if (!top_.compare_exchange_strong(top, top + 1, std::memory_order_seq_cst,
                                              std::memory_order_relaxed)) {
                job = nullptr;
            }
            // relaxed: the deque is empty again (top_ == bottom + 1).
            bottom_.store(bottom + 1, std::memory_order_relaxed);
        }
        return job;
    }

    // Any thread. Takes the oldest job if it belongs to `only` (to any call when null).
    // Returns null when the deque is empty or its oldest job belongs to another call.
    Job* steal(const Call* only) noexcept {
        for (;;) {
            // seq_cst, with the load of bottom_ below: pairs with pop's store then load.
            std::int64_t top = top_.load(std::memory_order_seq_cst);
            // seq_cst includes acquire: the slot and the job pushed below this bottom_ are
            // visible.
            const std::int64_t bottom = bottom_.load(std::memory_order_seq_cst);
            if (top >= bottom) {
                return nullptr;
            }
            // acquire: a buffer published by grow() comes with its copied slots.
            Slot& slot = buffer_.load(std::memory_order_acquire)->at(top);
            // relaxed: what we read counts only if the exchange below succeeds, which means
            // the slot was not reused since the push that bottom_ published.
            const Call* call = slot.call.load(std::memory_order_relaxed);
            Job* job = slot.job.load(std::memory_order_relaxed);
            if (only != nullptr && call != only) {
                return nullptr;
            }
            // seq_cst: one total order with pop's exchange for the last job; relaxed on
            // failure: another thread took this job, so we look again.
            if (top_.compare_exchange_strong(top, top + 1, std::memory_order_seq_cst,
                                             std::memory_order_relaxed)) {
                return job;
            }
        }
    }

private:
    struct Slot {
        std::atomic<Job*> job;
        std::atomic<const Call*> call;
    };

    struct Buffer {
        explicit Buffer(std::int64_t capacity)
            : mask(capacity - 1), slots(std::make_unique<Slot[]>(capacity)) {}

        Slot& at(std::int64_t index) { return slots[index & mask]; }

        const std::int64_t mask;  // capacity - 1, the capacity being a power of two
        const std::unique_ptr<Slot[]> slots;
    };

    // Owner only: moves the jobs in [top, bottom) to a buffer twice as large.
    Buffer* grow(Buffer* old, std::int64_t top, std::int64_t bottom) noexcept {
        buffers_.push_back(std::make_unique<Buffer>(2 * (old->mask + 1)));
        Buffer* bigger = buffers_.back().get();
        for (std::int64_t i = top; i < bottom; ++i) {
            // relaxed: published with the buffer by the release store below.
            bigger->at(i).job.store(old->at(i).job.load(std::memory_order_relaxed),
                                    std::memory_order_relaxed);
            bigger->at(i).call.store(old->at(i).call.load(std::memory_order_relaxed),
                                     std::memory_order_relaxed);
        }
        // release: a thief that loads the new buffer sees the copied slots.
        buffer_.store(bigger, std::memory_order_release);
        return bigger;
    }

    // Deep enough for a few levels of nested calls: a worker holds about log2(T) cuts of
    // each call it is inside of.
    static constexpr std::int64_t initial_capacity = 256;

    alignas(cache_line) std::atomic<std::int64_t> top_{0};     // the thieves' end
    alignas(cache_line) std::atomic<std::int64_t> bottom_{0};  // the owner's end
    // Every buffer this deque has had, kept because a thief may still read an old one.
    // Owner only.
    std::vector<std::unique_ptr<Buffer>> buffers_;
    std::atomic<Buffer*> buffer_;
};

// Whole calls from threads outside the pool, oldest first.
class Injector {
public:
    void push(Job* job) {
        const std::lock_guard lock(mutex_);
        jobs_.push_back(job);
    }

    Job* pop() noexcept {
        const std::lock_guard lock(mutex_);
        if (jobs_.empty()) {
            return nullptr;
        }
        Job* job = jobs_.front();
        jobs_.pop_front();
        return job;
    }

private:
    std::mutex mutex_;
    std::deque<Job*> jobs_;
};

// Sleep and wake for the workers of a pool, as an event count. A worker that has found
// nothing to do announces itself (prepare), looks once more, and then either withdraws
// (cancel) or waits until the epoch has moved past the one it announced itself in
// (commit). Whoever makes a change that a sleeper may wait for (a queued job, a finished
// stolen run) makes it with a seq_cst operation and then calls job_queued() or
// run_finished(), which move the epoch whenever someone has announced itself. The seq_cst
// operations on both sides leave two outcomes: the second look sees the change, or the
// waker sees the announcement.
//
// Idle workers, which can take any job, and joining workers, which wait for a stolen run and
// take only jobs of its call, sleep apart: a queued job wakes one idle worker (each job
// wakes its own, and a joining one could not always use it), a finished run wakes every
// joining worker (only the one waiting for that run can use it, and we do not know which).
class Sleep {
public:
    using Ticket = std::uint32_t;
    enum class Sleeper { idle, joining };

    Ticket prepare() noexcept {
        // seq_cst: ordered before the second look, against the change then the wake.
        return static_cast<Ticket>(state_.fetch_add(1, std::memory_order_seq_cst) >> 32);
    }

    void cancel() noexcept {
        // relaxed: a withdrawal can only spare a later wake a sleeper that is not there.
        state_.fetch_sub(1, std::memory_order_relaxed);
    }

    void commit(Ticket ticket, Sleeper sleeper) noexcept {
        std::condition_variable& wake = sleeper == Sleeper::idle ? idle_ : joining_;
        std::unique_lock lock(mutex_);
        // relaxed: the epoch moves only under mutex_, which we hold.
        while (static_cast<Ticket>(state_.load(std::memory_order_relaxed) >> 32) == ticket) {
            wake.wait(lock);
        }
        lock.unlock();
        // relaxed: as in cancel().
        state_.fetch_sub(1, std::memory_order_relaxed);
    }

    void job_queued() noexcept {
        if (next_epoch()) {
            idle_.notify_one();
        }
    }

    void run_finished() noexcept {
        if (next_epoch()) {
            joining_.notify_all();
        }
    }

private:
    // Moves the epoch if anyone has announced itself; returns whether it did.
    bool next_epoch() noexcept {
        // seq_cst: ordered after the caller's change, against prepare() then the second look.
        if ((state_.load(std::memory_order_seq_cst) & sleeper_mask) == 0) {
            return false;
        }
        const std::lock_guard lock(mutex_);
        // relaxed: commit() reads the epoch under mutex_; prepare()'s read-modify-write reads
        // the latest value whatever the order.
        state_.fetch_add(epoch_one, std::memory_order_relaxed);
        return true;
    }

    static constexpr std::uint64_t sleeper_mask = 0xffffffff;
    static constexpr std::uint64_t epoch_one = std::uint64_t{1} << 32;

    std::mutex mutex_;
    std::condition_variable idle_;
    std::condition_variable joining_;
    // The epoch in the high 32 bits and the count of announced sleepers in the low 32, so
    // that one read-modify-write both announces a sleeper and reads the epoch.
    alignas(cache_line) std::atomic<std::uint64_t> state_{0};
};

}  // namespace

namespace detail {

// The state of a pool: its workers, the injector and the sleep mechanism. Never freed.
class Registry {
public:
    // Creates the pool and starts its threads. Throws InternalFailure when a thread cannot be
    // created; the threads already started then go on sleeping, with this pool leaked.
    static Registry* start(std::size_t num_threads);

    std::size_t num_threads() const noexcept { return workers_.size(); }
    Worker& worker(std::size_t index) const noexcept { return *workers_[index]; }
    Injector& injector() noexcept { return injector_; }
    Sleep& sleep() noexcept { return sleep_; }

    void parallel_for_each(std::size_t n, const Task& task);

private:
    explicit Registry(std::size_t num_threads);

    std::vector<std::unique_ptr<Worker>> workers_;  // fixed once the constructor returns
    Injector injector_;
    Sleep sleep_;
};

}  // namespace detail

namespace {

using detail::Registry;

class Worker {
public:
    Worker(Registry& registry, std::size_t index) : registry_(registry), index_(index) {}

    Registry& registry() const noexcept { return registry_; }

    // The worker thread's body: runs queued jobs, sleeping while there are none.
    [[noreturn]] void main_loop() noexcept;

    // Processes elements [lo, hi) of call on this worker, cutting the run as splitter allows.
    // Returns false when a task of the run failed, here or on a worker that stole part of it;
    // the elements of the run not yet started here are then skipped.
    bool process(Call& call, std::size_t lo, std::size_t hi, Splitter splitter) noexcept;

private:
    // Runs queued jobs until done() holds, sleeping while there are none. With `only` set,
    // takes only that call's jobs (and none from the injector): a worker waiting inside an
    // element of a call then never starts a second element of that call, which keeps a call
    // from outside the pool at T elements in progress.
    template <class Done>
    void run_until(Done done, const Call* only) noexcept;

    // Steals the oldest job of another worker or, with `only` null, of the injector. The
    // worker's own deque is empty whenever it looks for work: each frame that pushes a job
    // takes it back before returning, unless a thief took it.
    Job* find_work(const Call* only) noexcept;

    Deque deque_;
    Registry& registry_;
    const std::size_t index_;
};

// Set on each worker thread to its worker; null on every other thread.
constinit thread_local Worker* current_worker = nullptr;

// The second half of a cut run, queued by the worker that cut it, which takes it back
// unless another worker has stolen it.
class RunJob final : public Job {
public:
    RunJob(Call& call, std::size_t lo, std::size_t hi, Splitter splitter)
        : call_(call), lo_(lo), hi_(hi), splitter_(splitter) {}

    // Runs only on a thief, while the worker that queued the job waits for done().
    void execute(Worker& thief) noexcept override {
        Registry& registry = thief.registry();
        ok_ = thief.process(call_, lo_, hi_, splitter_.stolen(registry.num_threads()));
        // release: ok_ and the elements' effects reach the worker waiting for this run;
        // seq_cst: precedes run_finished()'s read of the sleepers. The job may be gone after
        // this store.
        done_.store(true, std::memory_order_seq_cst);
        registry.sleep().run_finished();
    }

    bool done() const noexcept {
        // seq_cst: the waiter's second look after Sleep::prepare (see Sleep).
        return done_.load(std::memory_order_seq_cst);
    }

    bool ok() const noexcept { return ok_; }  // only once done()

private:
    Call& call_;
    const std::size_t lo_;
    const std::size_t hi_;
    const Splitter splitter_;
    bool ok_ = true;
    std::atomic<bool> done_{false};
};

// A whole call from a thread outside the pool, queued in the injector. The caller sleeps on
// the job's own mutex and condition variable until a worker has processed every element.
class RootJob final : public Job {
public:
    RootJob(Call& call, std::size_t n) : call_(call), n_(n) {}

    void execute(Worker& worker) noexcept override {
        worker.process(call_, 0, n_, Splitter(worker.registry().num_threads()));
        const std::lock_guard lock(mutex_);
        done_ = true;
        // Under the lock: once the caller sees done_ it destroys this job.
        finished_.notify_one();
    }

    void wait() {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [this] { return done_; });
    }

private:
    Call& call_;
    const std::size_t n_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
};

void Worker::main_loop() noexcept {
    current_worker = this;
    run_until([] { return false; }, nullptr);
    __builtin_unreachable();  // run_until returns only once done() holds, and it never does
}

template <class Done>
void Worker::run_until(Done done, const Call* only) noexcept {
    Sleep& sleep = registry_.sleep();
    while (!done()) {
        if (Job* job = find_work(only)) {
            job->execute(*this);
            continue;
        }
        const Sleep::Ticket ticket = sleep.prepare();
        if (done()) {
            sleep.cancel();
            return;
        }
        if (Job* job = find_work(only)) {
            sleep.cancel();
            job->execute(*this);
            continue;
        }
        sleep.commit(ticket, only == nullptr ? Sleep::Sleeper::idle : Sleep::Sleeper::joining);
    }
}

Job* Worker::find_work(const Call* only) noexcept {
    const std::size_t count = registry_.num_threads();
    for (std::size_t k = 1; k < count; ++k) {
        if (Job* job = registry_.worker((index_ + k) % count).deque_.steal(only)) {
            return job;
        }
    }
    return only == nullptr ? registry_.injector().pop() : nullptr;
}

bool Worker::process(Call& call, std::size_t lo, std::size_t hi, Splitter splitter) noexcept {
    if (hi - lo < 2 || !splitter.try_split()) {
        for (std::size_t i = lo; i < hi; ++i) {
            if (!call.run(i)) {
                return false;
            }
        }
        return true;
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    RunJob second(call, mid, hi, splitter);
    deque_.push(&second, &call);
    registry_.sleep().job_queued();
    const bool ok = process(call, lo, mid, splitter);
    if (deque_.pop() != nullptr) {
        // Everything pushed after `second` was taken back by the frame that pushed it, and
        // thieves take the oldest first, so the job still here is `second`: ours to run, or
        // to skip after a failure.
        return ok && process(call, mid, hi, splitter);
    }
    run_until([&second] { return second.done(); }, &call);
    return ok && second.ok();
}

void* worker_thread(void* worker) {
    static_cast<Worker*>(worker)->main_loop();
}

// Throws the pool's creation failure for a nonzero pthread error code.
void check(int error, const std::string& what) {
    if (error != 0) {
        throw InternalFailure(std::string(not_initialized) + " " + what +
                              " failed: " + std::generic_category().message(error));
    }
}

// Owns a pthread_attr_t.
class ThreadAttributes {
public:
    ThreadAttributes() { check(pthread_attr_init(&attributes_), "Setting up thread attributes"); }
    ~ThreadAttributes() { pthread_attr_destroy(&attributes_); }
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;

    pthread_attr_t* get() noexcept { return &attributes_; }

private:
    pthread_attr_t attributes_;
};

// The shared pool, and the mutex that serialises its creation. After fork() the child
// forgets the parent's pool (see forget_pool_in_child).
std::mutex creation_mutex;
std::atomic<Registry*> shared_registry{nullptr};

// The fork handlers: the prepare handler takes creation_mutex so that no pool is half
// created at the fork; the parent's handler gives it back.
void lock_creation() noexcept {
    creation_mutex.lock();
}
void unlock_creation() noexcept {
    creation_mutex.unlock();
}

// The child's handler. The parent's worker threads do not exist in the child, so its
// first parallel_for_each would wait for ever: the child drops the parent's pool (leaked,
// never touched again, since its locks may be held by threads that are gone) and creates
// its own, with the sizing rule read again, on first use. A child forked inside a task must
// exit or exec before that task returns, since the frames below it belong to the old pool.
void forget_pool_in_child() noexcept {
    // relaxed: the child has one thread.
    shared_registry.store(nullptr, std::memory_order_relaxed);
    // A fork inside a task leaves this thread believing it is a worker of the old pool.
    current_worker = nullptr;
    creation_mutex.unlock();
}

Registry& shared() {
    // acquire: the pool is fully built before it is published.
    if (Registry* registry = shared_registry.load(std::memory_order_acquire)) {
        return *registry;
    }
    const std::lock_guard lock(creation_mutex);
    // relaxed: written only under creation_mutex, which we hold.
    if (Registry* registry = shared_registry.load(std::memory_order_relaxed)) {
        return *registry;
    }
    Registry* registry = Registry::start(thread_count_from(std::getenv("RAYON_NUM_THREADS"),
                                                           std::getenv("RAYON_RS_NUM_CPUS"),
                                                           sysconf(_SC_NPROCESSORS_ONLN)));
    // release: pairs with the acquire load above.
    shared_registry.store(registry, std::memory_order_release);
    return *registry;
}

Registry& current_registry() {
    return current_worker != nullptr ? current_worker->registry() : shared();
}

}  // namespace

namespace detail {

Registry::Registry(std::size_t num_threads) {
    workers_.reserve(num_threads);
    for (std::size_t i = 0; i < num_threads; ++i) {
        workers_.push_back(std::make_unique<Worker>(*this, i));
    }
}

Registry* Registry::start(std::size_t num_threads) {
    if (num_threads == 0 || num_threads > max_threads) {
        throw InternalFailure("a pool needs 1 to 65535 threads, not " +
                              std::to_string(num_threads));
    }
    // Once per process, before the first pool exists: the handlers stay with the children.
    static std::once_flag fork_handlers;
    std::call_once(fork_handlers, [] {
        check(pthread_atfork(lock_creation, unlock_creation, forget_pool_in_child),
              "Registering the fork handlers");
    });
    // The stack size set above, and detached, since nobody ever joins them.
    ThreadAttributes attributes;
    check(pthread_attr_setstacksize(attributes.get(), stack_size), "Setting the stack size");
    check(pthread_attr_setdetachstate(attributes.get(), PTHREAD_CREATE_DETACHED),
          "Setting the detach state");

    // Every worker exists before any thread starts, since each thread looks at all of them.
    auto* registry = new Registry(num_threads);
    for (std::size_t i = 0; i < num_threads; ++i) {
        pthread_t thread;
        check(pthread_create(&thread, attributes.get(), worker_thread, &registry->worker(i)),
              "Starting worker thread " + std::to_string(i + 1) + " of " +
                  std::to_string(num_threads));
    }
    return registry;
}

void Registry::parallel_for_each(std::size_t n, const Task& task) {
    Call call(task);
    if (n == 1) {
        call.run(0);
    } else if (n > 1) {
        if (current_worker != nullptr && &current_worker->registry() == this) {
            current_worker->process(call, 0, n, Splitter(num_threads()));
        } else {
            RootJob root(call, n);
            injector_.push(&root);
            // The injector's mutex orders the push before job_queued()'s read of the sleepers
            // against a sleeper's announcement then second look, which takes that mutex.
            sleep_.job_queued();
            root.wait();
        }
    }
    call.rethrow_failure();
}

Pool::Pool(std::size_t num_threads) : registry_(Registry::start(num_threads)) {}

std::size_t Pool::num_threads() const noexcept {
    return registry_->num_threads();
}

void Pool::parallel_for_each(std::size_t n, const Task& task) const {
    registry_->parallel_for_each(n, task);
}

}  // namespace detail

std::size_t current_num_threads() {
    return current_registry().num_threads();
}

void parallel_for_each(std::size_t n, const Task& task) {
    current_registry().parallel_for_each(n, task);
}

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::size_t thread_count_from(const char* num_threads, const char* num_cpus,
                              long processors_online) {
    const std::uint64_t fallback =
        processors_online > 0 ? static_cast<std::uint64_t>(processors_online) : 1;
    std::uint64_t count = fallback;
    if (const auto parsed = num_threads ? parse_thread_count(num_threads) : std::nullopt) {
        count = *parsed > 0 ? *parsed : fallback;
    } else if (const auto cpus = num_cpus ? parse_thread_count(num_cpus) : std::nullopt;
               cpus && *cpus > 0) {
        count = *cpus;
    }
    return static_cast<std::size_t>(std::min(count, max_threads));
}

}  // namespace trelkin::pool
