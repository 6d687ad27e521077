#include "core/parallel_indices.hpp"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "core/log.hpp"
#include "core/opencv_threads.hpp"

namespace velk {

void forEachIndexInParallel(std::size_t count, const std::function<void(std::size_t)>& work) {
    const SingleThreadedOpenCv oneThreadEach;
    const std::size_t threads = std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()), count);
    std::atomic<std::size_t> next{0};
    std::vector<std::vector<LogEntry>> lines(count);
    const auto drain = [&next, count, &work, &lines]() {
        for (std::size_t index = next++; index < count; index = next++) {
            HeldLogLines held;
            work(index);
            lines[index] = held.take();
        }
    };
    std::vector<std::thread> workers;
    for (std::size_t t = 1; t < threads; ++t) {
        workers.emplace_back(drain);
    }
    drain();
    for (std::thread& worker : workers) {
        worker.join();
    }
    for (const std::vector<LogEntry>& written : lines) {
        sendLogLines(written);
    }
}

}  // namespace velk
