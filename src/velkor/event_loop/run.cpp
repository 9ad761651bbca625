// run_forever, stop and run_until_complete: the thread inside run_forever
// drains the loop's channel and is the only thread that runs callbacks.

#include <new>
#include <unistd.h>

#include "asyncio_api.h"
#include "core/lock_released.h"
#include "runtime/loop_polling.h"
#include "runtime/signals_blocked.h"
#include "event_loop/event_loop.h"
#include "panic.h"

namespace velkor {

namespace {

// The loop whose run this thread is inside, if any.
thread_local PyObject* driving_loop = nullptr;

// Python runs signal handlers on the process's main thread only.
bool on_main_thread() { return gettid() == getpid(); }

// Runs one message's Python call. Needs the interpreter lock.
bool run_message(LoopMessage& message) {
  if (auto* run = std::get_if<RunHandle>(&message)) return asyncio::run_handle(run->handle.get());
  auto& callback = std::get<Callback>(message);
  callback.target->queued.store(false, std::memory_order_release);
  // A watch removed or replaced since it posted this message stays quiet:
  // its caller may have closed the descriptor, and the number may already
  // name another file. (The collector's clear also leaves no callback.)
  if (!callback.target->callback || callback.target->removed.load(std::memory_order_acquire)) {
    return true;
  }
  PyRef result = PyRef::steal(
      PyObject_Call(callback.target->callback.get(), callback.target->args.get(), nullptr));
  return static_cast<bool>(result);
}

// The one extra call a watch asks for after reporting data and a closed
// condition together (see WatchTarget).
void post_follow_up(VelkorEventLoop& state, LoopMessage& message) {
  auto* callback = std::get_if<Callback>(&message);
  if (callback == nullptr) return;
  WatchTarget& target = *callback->target;
  if (!target.follow_up.load(std::memory_order_acquire) ||
      !target.follow_up.exchange(false, std::memory_order_acq_rel) ||
      target.removed.load(std::memory_order_acquire)) {
    return;
  }
  if (target.queued.exchange(true, std::memory_order_acq_rel)) return;  // one is queued already
  LoopMessage again{Callback{callback->target}};
  try {
    (void)state.sender->try_post(std::move(again));
  } catch (const std::bad_alloc&) {
    // Out of memory: the extra call is lost, but the run and its queue stay.
    target.queued.store(false, std::memory_order_release);
    report_panic("no memory for a watch's follow-up call; it is dropped");
  }
}

void print_callback_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyErr_PrintEx(0);
}

// How a drain ended. It always returns with the interpreter lock held.
enum class DrainEnd {
  stopped,  // a Stop, or every sender gone
  raised,   // Ctrl-C, sys.exit() or a signal handler's exception: set, for the caller
  faulted,  // the internal fault escaped a callback: set, for the caller
};

// The queue is empty: waits for the next post. On the main thread the
// interpreter's signal handlers run for a signal that arrives at any moment
// up to or during the wait: signals are blocked before the last look, and
// the wait itself unblocks them. False when a handler raised (the lock is
// then held, with the exception set).
bool wait_for_post(LoopChannel::Receiver& receiver, rt::LoopPolling& polling,
                   LockReleased& unlocked, bool handles_signals) {
  // What is ready already needs no sleep, nor the signal handling around it.
  if (polling.poll_now()) return true;
  if (!handles_signals) {
    polling.sleep(receiver, nullptr);
    return true;
  }
  const rt::SignalsBlocked blocked;
  unlocked.take();
  if (PyErr_CheckSignals() < 0) return false;  // signals that came before the block
  unlocked.give();
  // A signal that lands on this thread during the sleep cuts it short; one
  // that lands on another thread writes to the interpreter's wake-up
  // descriptor, which wakes it too (see SignalWakeup). Either way its
  // handler runs here.
  polling.sleep(receiver, blocked.previous());
  unlocked.take();
  if (PyErr_CheckSignals() < 0) return false;
  unlocked.give();
  return true;
}

// Lends the loop's signal pipe to the interpreter as its signal wake-up
// descriptor for the length of a run on the main thread, unless the program
// has one of its own (then only signals landing on this thread wake an idle
// run). Needs the interpreter lock on both ends.
class SignalWakeup {
 public:
  SignalWakeup(bool handles_signals, int fd) : fd_(fd) {
    if (!handles_signals) return;
    const int previous = PySignal_SetWakeupFd(fd);
    installed_ = previous == -1;
    if (!installed_) PySignal_SetWakeupFd(previous);
  }
  ~SignalWakeup() {
    if (!installed_) return;
    // Put back "none", unless the program set its own meanwhile.
    const int current = PySignal_SetWakeupFd(-1);
    if (current != fd_) PySignal_SetWakeupFd(current);
  }
  SignalWakeup(const SignalWakeup&) = delete;
  SignalWakeup& operator=(const SignalWakeup&) = delete;

 private:
  int fd_;
  bool installed_ = false;
};

// Runs messages in channel order, taking the interpreter lock for each one
// and giving it back after, until a Stop. The thread owns the runtime's
// poller meanwhile: it sleeps there and delivers readiness and timers itself.
DrainEnd drain(VelkorEventLoop& state, LoopChannel::Receiver& receiver) {
  rt::LoopPolling polling(state.runtime->handle());
  const bool handles_signals = on_main_thread();
  const SignalWakeup signal_wakeup(handles_signals, state.signal_pipe->write_fd());
  LockReleased unlocked;
  for (;;) {
    std::optional<LoopMessage> message = receiver.try_recv();
    if (!message) {
      if (receiver.senders_gone()) return DrainEnd::stopped;
      if (!wait_for_post(receiver, polling, unlocked, handles_signals)) return DrainEnd::raised;
      continue;
    }
    if (std::holds_alternative<Stop>(*message)) return DrainEnd::stopped;
    unlocked.take();
    deferred::release_pending();
    polling.callback_started();
    const bool ran = run_message(*message);
    polling.callback_ended();
    if (!ran) {
      if (PyErr_ExceptionMatches(panic_type())) {
        PyRef fault = PyRef::steal(PyErr_GetRaisedException());
        message.reset();
        PyErr_SetRaisedException(fault.release());
        return DrainEnd::faulted;
      }
      // Ctrl-C and sys.exit() end the run, as in asyncio's own loop.
      if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) ||
          PyErr_ExceptionMatches(PyExc_SystemExit)) {
        PyRef raised = PyRef::steal(PyErr_GetRaisedException());
        post_follow_up(state, *message);
        message.reset();
        PyErr_SetRaisedException(raised.release());
        return DrainEnd::raised;
      }
      print_callback_error();
    }
    post_follow_up(state, *message);
    message.reset();  // its references go while we hold the lock
    unlocked.give();
    polling.poll_if_due();
  }
}

// Puts the receiving end back into its slot, with whatever is still queued.
void return_receiver(VelkorEventLoop& state, LoopChannel::Receiver receiver) {
  auto slot = state.receiver->lock();
  if (slot) {
    *slot = std::move(receiver);
  } else {
    report_panic("the receiver slot's lock is poisoned; the loop's queue is lost");
  }
}

// Takes the receiving end out of its slot: a run holds it for its whole
// length. Null, with the internal fault raised, when another run has it.
std::optional<LoopChannel::Receiver> take_receiver(VelkorEventLoop& state) {
  std::optional<LoopChannel::Receiver> receiver;
  {
    auto slot = state.receiver->lock();
    if (!slot) {
      raise_panic("the receiver slot's lock is poisoned");
      return receiver;
    }
    if (slot->has_value()) {
      receiver.emplace(std::move(**slot));
      slot->reset();
    }
  }
  if (!receiver) raise_panic("run_forever called more than once or concurrently");
  return receiver;
}

}  // namespace

PyObject* loop::run_forever(PyObject* self) {
  if (driving_loop != nullptr && driving_loop != self) {
    return raise_panic(
        "run_forever of a loop cannot start inside a callback of another loop's run");
  }
  VelkorEventLoop& state = as_loop(self)->state();

  PyRef events = asyncio::import_events();
  if (!events) return nullptr;
  // The thread's running loop before this run, given back when it ends: None
  // normally, another asyncio loop when this run is nested in its callback.
  PyRef outer = asyncio::running_loop(events.get());
  if (!outer) return nullptr;

  // The receiving end is taken before the running loop is set, so that a
  // refused run (this loop already runs, here or on another thread) leaves
  // the calling thread's running loop as it was.
  std::optional<LoopChannel::Receiver> receiver = take_receiver(state);
  if (!receiver) return nullptr;
  if (!asyncio::set_running_loop(events.get(), self)) {
    return_receiver(state, std::move(*receiver));
    return nullptr;
  }
  // The run holds the runtime, as every other user of it does, and the
  // object, and with it `state`.
  const rt::RuntimeHandle runtime = state.runtime->handle();
  const PyRef keep_alive = PyRef::borrow(self);

  PyObject* const previous = driving_loop;
  driving_loop = self;
  const DrainEnd end = drain(state, *receiver);
  driving_loop = previous;
  return_receiver(state, std::move(*receiver));

  switch (end) {
    case DrainEnd::faulted:
      renotice_panic("a callback");
      return nullptr;  // the running loop stays set: the run did not end normally
    case DrainEnd::raised: {
      // The run ended: the running loop goes back, and the exception is what
      // the caller sees.
      PyRef raised = PyRef::steal(PyErr_GetRaisedException());
      if (!asyncio::set_running_loop(events.get(), outer.get())) PyErr_Clear();
      PyErr_SetRaisedException(raised.release());
      return nullptr;
    }
    case DrainEnd::stopped:
      break;
  }
  if (!asyncio::set_running_loop(events.get(), outer.get())) return nullptr;
  Py_RETURN_NONE;
}

bool loop::runs_here(PyObject* self) { return driving_loop == self; }

PyObject* loop::stop(PyObject* self) {
  VelkorEventLoop& state = as_loop(self)->state();
  LoopMessage message{Stop{}};
  if (!state.sender->try_post(std::move(message))) {
    PyErr_SetString(PyExc_RuntimeError, "loop closed");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* loop::run_until_complete(PyObject* self, PyObject* future) {
  PyRef asyncio = asyncio::import_asyncio();
  if (!asyncio) return nullptr;
  const int already_future = asyncio::is_future(asyncio.get(), future);
  if (already_future < 0) return nullptr;
  PyRef awaited = already_future ? PyRef::borrow(future)
                                 : PyRef::steal(loop::create_task(self, future, nullptr, nullptr));
  if (!awaited) return nullptr;
  PyRef stop_callback = PyRef::steal(PyObject_GetAttrString(self, "_stop_cb"));
  if (!stop_callback) return nullptr;
  if (!asyncio::add_done_callback(awaited.get(), stop_callback.get())) return nullptr;
  PyRef ran = PyRef::steal(loop::run_forever(self));
  if (!ran) return nullptr;
  return asyncio::result(awaited.get()).release();
}

}  // namespace velkor
