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

// Runs body(i) for i in [0, n) in chunks of `chunk` over up to kMaxThreads
// threads (one when n < 4 * chunk).  Bodies must write disjoint data, so
// results never depend on the schedule.  The first exception a body throws
// stops the loop and is rethrown in the calling thread; when a thread cannot
// be started, the calling thread takes its share.
template <class Body>
void parallel_for(std::size_t n, std::size_t chunk, Body body) {
    unsigned n_threads = std::max(1u, std::min(std::thread::hardware_concurrency(), kMaxThreads));
    if (n < 4 * chunk) n_threads = 1;
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

}  // namespace chromalens::kernels
