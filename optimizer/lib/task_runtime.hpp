// The per-call task runtime of an optimize call: worker threads that run
// spawned jobs, with handles that carry a job's value or a description of
// the fault that ended it.  Workers start with the first spawned job, so a
// call that plans from estimates alone pays for no thread at all.  Shutting
// down waits for every thread it started, work in progress included.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <expected>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace halvorn {

// A job that did not return normally: which job, and what ended it.
struct JobFault {
  std::string description;
};

template <class T>
using JobResult = std::expected<T, JobFault>;

template <class T>
class JoinHandle {
 public:
  explicit JoinHandle(std::future<JobResult<T>> future) : future_(std::move(future)) {}
  // Waits for the job to end.
  JobResult<T> join() { return future_.get(); }

 private:
  std::future<JobResult<T>> future_;
};

// "task '<name>' panicked with message \"<what>\"", or without a message part
// when the fault carries none.
std::string describe_fault(const std::string& job_name, std::exception_ptr fault);

class TaskRuntime {
 public:
  // A runtime of `workers` threads (0: one per available processor, at
  // least 2), started when the first job is spawned.
  static Result<std::unique_ptr<TaskRuntime>> create(std::size_t workers = 0);

  TaskRuntime(const TaskRuntime&) = delete;
  TaskRuntime& operator=(const TaskRuntime&) = delete;
  ~TaskRuntime() { shutdown(); }

  // Runs `job` on a worker thread; `name` appears in a fault's description.
  template <class F>
  JoinHandle<std::invoke_result_t<F&>> spawn(std::string name, F job);

  // Lets queued and running jobs finish, then joins every thread.  Later
  // spawns run nothing and report a fault.  Safe to call more than once.
  void shutdown();

  // Threads started so far.
  std::size_t started_workers() const noexcept { return threads_.size(); }

 private:
  explicit TaskRuntime(std::size_t workers) : workers_(workers) {}
  // Queues `job`, starting the workers first if none runs yet.  Fails when
  // the runtime is shut down or no thread can be started.
  Status enqueue(std::function<void()> job);
  void work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::size_t workers_;
  std::vector<std::thread> threads_;
};

template <class F>
JoinHandle<std::invoke_result_t<F&>> TaskRuntime::spawn(std::string name, F job) {
  using T = std::invoke_result_t<F&>;
  auto promise = std::make_shared<std::promise<JobResult<T>>>();
  JoinHandle<T> handle(promise->get_future());
  auto queued = enqueue([promise, name, job = std::move(job)]() mutable {
    try {
      if constexpr (std::is_void_v<T>) {
        job();
        promise->set_value(JobResult<T>{});
      } else {
        promise->set_value(JobResult<T>(job()));
      }
    } catch (...) {
      promise->set_value(std::unexpected(JobFault{describe_fault(name, std::current_exception())}));
    }
  });
  if (!queued) {
    promise->set_value(
        std::unexpected(JobFault{"task '" + name + "' was cancelled: " + queued.error().text()}));
  }
  return handle;
}

}  // namespace halvorn
