// A chunked parallel loop on plain threads.
//
// Pure C++17; no Python headers.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace chromalens::kernels {

// The most threads a kernel uses.
constexpr unsigned kMaxThreads = 8;

namespace detail {

// Runs body(i) for i in [0, n) in chunks of `chunk` on `n_threads` threads
// (the calling thread among them).
template <class Body>
void run_chunks(std::size_t n, std::size_t chunk, Body& body, unsigned n_threads) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto work = [&]() {
        try {
            while (!failed.load(std::memory_order_relaxed)) {
                const std::size_t first = next.fetch_add(chunk);
                if (first >= n) break;
                const std::size_t last = std::min(n, first + chunk);
                for (std::size_t i = first; i < last; ++i) body(i);
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
            failed = true;
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < n_threads; ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    work();
    for (auto& thread : pool) thread.join();
    if (error) std::rethrow_exception(error);
}

inline unsigned available_threads(unsigned max_threads) {
    return std::max(1u, std::min({std::thread::hardware_concurrency(), kMaxThreads, max_threads}));
}

}  // namespace detail

// Runs body(i) for i in [0, n) in chunks of `chunk` over up to kMaxThreads
// threads (one when n < 4 * chunk).  Bodies must write disjoint data, so
// results never depend on the schedule.  The first exception a body throws
// stops the loop and is rethrown in the calling thread; when a thread cannot
// be started, the calling thread takes its share.
template <class Body>
void parallel_for(std::size_t n, std::size_t chunk, Body body) {
    detail::run_chunks(n, chunk, body, n < 4 * chunk ? 1u : detail::available_threads(kMaxThreads));
}

// Runs body(i) for each of n tasks, each long enough to be worth a thread
// of its own, on at most `max_threads` threads; otherwise as parallel_for.
template <class Body>
void parallel_tasks(std::size_t n, Body body, unsigned max_threads) {
    const unsigned threads = detail::available_threads(max_threads);
    detail::run_chunks(n, 1, body, n < threads ? static_cast<unsigned>(std::max<std::size_t>(n, 1)) : threads);
}

}  // namespace chromalens::kernels
