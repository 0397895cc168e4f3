#include "optimizer/lib/task_runtime.hpp"

#include <system_error>

#include "core/text.hpp"

namespace halvorn {

std::string describe_fault(const std::string& job_name, std::exception_ptr fault) {
  std::string what;
  try {
    if (fault) std::rethrow_exception(fault);
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  if (what.empty()) return "task '" + job_name + "' panicked";
  return "task '" + job_name + "' panicked with message \"" + what + "\"";
}

Result<std::unique_ptr<TaskRuntime>> TaskRuntime::create(std::size_t workers) {
  if (workers == 0) {
    const unsigned n = std::thread::hardware_concurrency();
    workers = n < 2 ? 2 : n;
  }
  return std::unique_ptr<TaskRuntime>(new TaskRuntime(workers));
}

Status TaskRuntime::enqueue(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return fail("runtime is shut down");
    if (threads_.empty()) {
      try {
        threads_.reserve(workers_);
        for (std::size_t i = 0; i < workers_; ++i) threads_.emplace_back([this] { work(); });
      } catch (const std::system_error& e) {
        // Threads that did start serve the queue; none at all is a failure.
        if (threads_.empty()) return fail(cat("failed to start a worker thread: ", e.code().message()));
      }
    }
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
  return {};
}

void TaskRuntime::work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing left to run
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();
  }
}

void TaskRuntime::shutdown() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
  threads_.clear();
}

}  // namespace halvorn
