// Helper threads for large element loops. They are started once, on first use or by
// start_workers() at start-up, and then wait for work, so that an operation does not pay
// for creating threads each time. Work is only ever split so that each element's result
// is computed by one thread in its defined order: results never depend on the split.
#pragma once

#include <cstdint>
#include <functional>

// Threads an operation may use (the caller included): the hardware's, at most 8.
uint32_t worker_threads();

// Starts the helper threads ahead of the first large operation.
void start_workers();

// Runs task(t) for t = 0 .. n-1 on n threads, the caller taking t = 0, and returns when
// all are done. Helpers run in the caller's floating-point environment; the exception
// flags they raise are raised in the caller, as if it had done all the work. With fewer
// helpers to be had, the caller runs the remaining parts itself.
void run_on_workers(uint32_t n, const std::function<void(uint32_t)>& task);

// Splits [lo, hi) at mid: a helper does [mid, hi) while the caller does [lo, mid).
template <typename F>
void split_work(uint32_t lo, uint32_t mid, uint32_t hi, F&& work) {
  run_on_workers(2, [&](uint32_t t) { t ? work(mid, hi) : work(lo, mid); });
}
