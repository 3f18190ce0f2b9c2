#include "internal/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnwick_dat::detail {

unsigned worker_count(unsigned requested, std::size_t items, std::size_t chunk) {
    const unsigned wanted =
        requested != 0 ? requested : std::max(1u, std::thread::hardware_concurrency());
    const std::size_t chunks = std::max<std::size_t>(1, (items + chunk - 1) / chunk);
    return static_cast<unsigned>(std::min<std::size_t>(wanted, chunks));
}

void run_in_chunks(std::size_t items, unsigned workers, std::size_t chunk,
                   const ProgressFn& progress,
                   const std::function<void(unsigned worker, std::size_t item)>& work) {
    std::atomic<std::size_t> next{0};
    std::atomic<std::uint64_t> done{0};
    auto run = [&](unsigned worker) {
        for (;;) {
            const std::size_t start = next.fetch_add(chunk, std::memory_order_relaxed);
            if (start >= items) {
                break;
            }
            const std::size_t end = std::min(items, start + chunk);
            for (std::size_t item = start; item < end; ++item) {
                work(worker, item);
            }
            done.fetch_add(end - start, std::memory_order_relaxed);
        }
    };
    workers = std::max(1u, workers);
    if (workers == 1 && !progress) {
        run(0);
        return;
    }
    std::mutex mutex;
    std::condition_variable finished;
    unsigned running = workers;
    std::vector<std::thread> threads;
    threads.reserve(workers);
    for (unsigned worker = 0; worker < workers; ++worker) {
        threads.emplace_back([&, worker] {
            run(worker);
            const std::lock_guard lock(mutex);
            --running;
            finished.notify_one();
        });
    }
    {
        std::unique_lock lock(mutex);
        while (running > 0) {
            finished.wait_for(lock, std::chrono::milliseconds(50));
            if (progress && running > 0) {
                lock.unlock();
                progress(done.load(std::memory_order_relaxed), items);
                lock.lock();
            }
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (progress) {
        progress(items, items);
    }
}

}  // namespace tarnwick_dat::detail
