#include "base/workers.h"

#include <algorithm>
#include <cfenv>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kMaxThreads = 8;

// One job at a time: the caller holds job_mutex for the whole of run_on_workers, so that
// a nested or concurrent call waits (there is only the interpreter's thread, but a
// routine may split work inside work).
struct Pool {
  std::mutex m;
  std::condition_variable wake, done;
  std::vector<std::thread> threads;
  const std::function<void(uint32_t)>* task = nullptr;
  fenv_t env;
  uint32_t parts = 0;      // parts of the current job beyond the caller's
  uint32_t next = 0;       // next part to hand out (1-based)
  uint32_t finished = 0;
  uint64_t generation = 0;
  int raised = 0;
  bool stopping = false;

  void loop() {
    uint64_t seen = 0;
    std::unique_lock lock(m);
    for (;;) {
      wake.wait(lock, [&] { return stopping || (generation != seen && next <= parts); });
      if (stopping) return;
      seen = generation;
      const uint32_t t = next++;
      const auto* job = task;
      fenv_t e = env;
      lock.unlock();
      fesetenv(&e);
      feclearexcept(FE_ALL_EXCEPT);
      (*job)(t);
      const int flags = fetestexcept(FE_ALL_EXCEPT);
      lock.lock();
      raised |= flags;
      if (++finished == parts) done.notify_one();
    }
  }

  void start() {
    if (!threads.empty()) return;
    const uint32_t n = std::min(worker_threads(), kMaxThreads) - 1;
    try {
      for (uint32_t i = 0; i < n; i++) threads.emplace_back([this] { loop(); });
    } catch (...) {
      // Fewer threads to be had: the caller takes up the rest.
    }
  }

  ~Pool() {
    {
      std::lock_guard lock(m);
      stopping = true;
    }
    wake.notify_all();
    for (auto& t : threads) t.join();
  }
};

Pool& pool() {
  static Pool p;
  return p;
}

std::mutex job_mutex;

}  // namespace

uint32_t worker_threads() {
  const uint32_t hw = std::thread::hardware_concurrency();
  return std::clamp<uint32_t>(hw, 1, kMaxThreads);
}

void start_workers() {
  Pool& p = pool();
  std::lock_guard lock(p.m);
  p.start();
}

void run_on_workers(uint32_t n, const std::function<void(uint32_t)>& task) {
  if (n <= 1) {
    if (n) task(0);
    return;
  }
  std::unique_lock job(job_mutex, std::try_to_lock);
  Pool& p = pool();
  uint32_t helpers = 0;
  if (job.owns_lock()) {
    std::lock_guard lock(p.m);
    p.start();
    helpers = std::min<uint32_t>(n - 1, static_cast<uint32_t>(p.threads.size()));
    if (helpers) {
      p.task = &task;
      fegetenv(&p.env);
      p.parts = helpers;
      p.next = 1;
      p.finished = 0;
      p.raised = 0;
      p.generation++;
    }
  }
  if (helpers) p.wake.notify_all();
  // The caller's own part, then whatever no helper took. The helpers still hold the task
  // when the caller's part ends in an error, so that is waited out before it goes on.
  auto wait_helpers = [&] {
    if (!helpers) return 0;
    std::unique_lock lock(p.m);
    p.done.wait(lock, [&] { return p.finished == p.parts; });
    p.task = nullptr;
    return p.raised;
  };
  try {
    task(0);
    for (uint32_t t = helpers + 1; t < n; t++) task(t);
  } catch (...) {
    wait_helpers();
    throw;
  }
  if (int raised = wait_helpers()) feraiseexcept(raised);
}
