// call_soon, the loop clock and timers, and tasks.

#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>

#include "args.h"
#include "asyncio_api.h"
#include "event_loop/event_loop.h"
#include "panic.h"

namespace velkor {

namespace {

using steady_clock = std::chrono::steady_clock;

// The wall clock in seconds since the Unix epoch; false, with RuntimeError
// set, for a clock before the epoch.
bool wall_clock(double& now) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) {
    PyErr_SetString(PyExc_RuntimeError, "second time provided was later than self");
    return false;
  }
  now = static_cast<double>(static_cast<unsigned long long>(ts.tv_sec)) +
        static_cast<double>(ts.tv_nsec) / 1e9;
  return true;
}

// 2^64 seconds: delays from here on have no duration.
constexpr double unrepresentable_delay = 18446744073709551616.0;

// Hands a timer's handle to the runtime, to be posted once `delay` seconds
// have passed on the monotonic clock since `start`. Throws std::bad_alloc,
// leaving nothing scheduled.
void schedule_timer(VelkorEventLoop& state, steady_clock::time_point start, double delay,
                    PyRef handle) {
  if (!(delay > 0)) {
    // Due already (zero, negative or NaN): post it now, in call order.
    LoopMessage message{RunHandle{std::move(handle)}};
    (void)state.sender->try_post(std::move(message));  // a closed channel drops it
    return;
  }
  if (delay >= unrepresentable_delay) {
    report_panic("cannot convert float seconds to Duration: value is either too big or NaN");
    return;  // never posted: the caller's handle simply never runs
  }
  using duration = std::chrono::steady_clock::duration;
  static_assert(std::is_same_v<duration::period, std::nano>);
  const double nanoseconds = std::nearbyint(delay * 1e9);  // ties to even
  // Longer than the clock can count (about 292 years) sleeps for as long as it can.
  const duration sleep =
      nanoseconds >= static_cast<double>(std::numeric_limits<duration::rep>::max())
          ? duration::max()
          : duration(static_cast<duration::rep>(nanoseconds));
  const rt::RuntimeHandle runtime = state.runtime->handle();
  const auto id = runtime.timer_id(start, sleep);
  // The channel node is allocated now, so that the post on expiry cannot fail.
  auto post = [sender = *state.sender, reservation = LoopChannel::Reservation(),
               record = state.timers->add(std::move(handle), id)]() mutable {
    record->post(sender, reservation);
  };
  runtime.spawn_at(id, std::move(post));
}

PyObject* loop_closed() {
  PyErr_SetString(PyExc_RuntimeError, "loop closed");
  return nullptr;
}

}  // namespace

PyObject* loop::time(PyObject*) {
  double now = 0;
  if (!wall_clock(now)) return nullptr;
  return PyFloat_FromDouble(now);
}

PyObject* loop::call_soon(PyObject* self, PyObject* callback, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* context) {
  PyRef asyncio = asyncio::import_asyncio();
  if (!asyncio) return nullptr;
  PyRef extra = args::make_tuple(args, nargs);
  if (!extra) return nullptr;
  PyRef handle = asyncio::new_handle(asyncio.get(), callback, extra.get(), self, context);
  if (!handle) return nullptr;
  LoopMessage message{RunHandle{handle.share()}};
  if (!as_loop(self)->state().sender->try_post(std::move(message))) return loop_closed();
  return handle.release();
}

namespace {

// call_later with the delay measured at `start` (the monotonic reading taken
// with the wall-clock reading the delay was computed from). Whatever runs in
// between (the handle's construction, a garbage collection) then cannot push
// one timer's deadline past a later one's.
PyObject* schedule_call(PyObject* self, steady_clock::time_point start, double now, double delay,
                        PyObject* callback, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* context) {
  PyRef asyncio = asyncio::import_asyncio();
  if (!asyncio) return nullptr;
  PyRef extra = args::make_tuple(args, nargs);
  if (!extra) return nullptr;
  PyRef handle =
      asyncio::new_timer_handle(asyncio.get(), now + delay, callback, extra.get(), self, context);
  if (!handle) return nullptr;
  VelkorEventLoop& state = as_loop(self)->state();
  if (state.sender->is_closed()) return loop_closed();
  schedule_timer(state, start, delay, handle.share());
  return handle.release();
}

}  // namespace

PyObject* loop::call_later(PyObject* self, double delay, PyObject* callback, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* context) {
  const auto start = steady_clock::now();
  double now = 0;
  if (!wall_clock(now)) return nullptr;
  return schedule_call(self, start, now, delay, callback, args, nargs, context);
}

PyObject* loop::call_at(PyObject* self, double when, PyObject* callback, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* context) {
  const auto start = steady_clock::now();
  double now = 0;
  if (!wall_clock(now)) return nullptr;
  const double delay = now < when ? when - now : 0.0;
  // The handle's time is read afresh, as a call_later made now would have it.
  if (!wall_clock(now)) return nullptr;
  return schedule_call(self, start, now, delay, callback, args, nargs, context);
}

PyObject* loop::create_task(PyObject* self, PyObject* coro, PyObject* name, PyObject* context) {
  PyRef asyncio = asyncio::import_asyncio();
  if (!asyncio) return nullptr;
  PyObject* loop_keyword = asyncio::is_running_loop(asyncio.get(), self) ? nullptr : self;
  return asyncio::new_task(asyncio.get(), coro, name, context, loop_keyword).release();
}

PyObject* loop::timer_handle_cancelled(PyObject* self, PyObject* handle) {
  VelkorEventLoop& state = as_loop(self)->state();
  PyRef taken;
  if (auto id = state.timers->take(handle, taken)) state.runtime->handle().cancel_timer(*id);
  // `taken` goes here, with no lock of ours held.
  Py_RETURN_NONE;
}

}  // namespace velkor
