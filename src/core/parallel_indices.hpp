#pragma once

#include <cstddef>
#include <functional>

namespace velk {

// Calls work(0) .. work(count - 1), each once, spread over up to the machine's hardware threads;
// returns when all are done. work must not throw and must only write state of its own index.
// OpenCV runs on one thread meanwhile, so that solves on each thread give the same bits as alone.
// Lines logged by work(k) reach the log after all are done, in the order of k, on the calling thread.
void forEachIndexInParallel(std::size_t count, const std::function<void(std::size_t)>& work);

}  // namespace velk
