// run_forever, stop and run_until_complete: the thread inside run_forever
// drains the loop's channel and is the only thread that runs callbacks.

#include <new>

#include "asyncio_api.h"
#include "event_loop/event_loop.h"
#include "panic.h"

namespace velkor {

namespace {

// The loop whose run this thread is inside, if any.
thread_local PyObject* driving_loop = nullptr;

// Runs one message's Python call. Needs the interpreter lock.
bool run_message(LoopMessage& message) {
  if (auto* run = std::get_if<RunHandle>(&message)) return asyncio::run_handle(run->handle.get());
  auto& callback = std::get<Callback>(message);
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
  LoopMessage again{Callback{callback->target}};
  try {
    (void)state.sender->try_post(std::move(again));
  } catch (const std::bad_alloc&) {
    // Out of memory: the extra call is lost, but the run and its queue stay.
    report_panic("no memory for a watch's follow-up call; it is dropped");
  }
}

void print_callback_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyErr_PrintEx(0);  // a SystemExit ends the process here, as uncaught
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
  std::optional<LoopChannel::Receiver> receiver;
  bool poisoned = false;
  {
    auto slot = state.receiver->lock();
    if (!slot) {
      poisoned = true;
    } else if (slot->has_value()) {
      receiver.emplace(std::move(**slot));
      slot->reset();
    }
  }
  if (poisoned) return raise_panic("the receiver slot's lock is poisoned");
  if (!receiver) return raise_panic("run_forever called more than once or concurrently");
  if (!asyncio::set_running_loop(events.get(), self)) {
    return_receiver(state, std::move(*receiver));
    return nullptr;
  }
  // The run holds the runtime, as every other user of it does.
  const rt::RuntimeHandle runtime = state.runtime->handle();
  // Keeps the object, and with it `state`, alive for the whole run.
  const PyRef keep_alive = PyRef::borrow(self);

  PyObject* const previous = driving_loop;
  driving_loop = self;
  bool faulted = false;
  bool signalled = false;  // a signal handler raised while the loop waited
  PyThreadState* thread_state = PyEval_SaveThread();
  // A signal that cuts the wait short has its Python handler run at once,
  // so that Ctrl-C or a handler calling stop() reaches an idle loop; an
  // exception from a handler ends the run (the lock stays taken).
  auto on_signal = [&] {
    PyEval_RestoreThread(thread_state);
    deferred::release_pending();
    if (PyErr_CheckSignals() < 0) {
      signalled = true;
      return true;
    }
    thread_state = PyEval_SaveThread();
    return false;
  };
  for (;;) {
    std::optional<LoopMessage> message = receiver->recv(on_signal);
    if (signalled) break;
    if (!message || std::holds_alternative<Stop>(*message)) break;
    PyEval_RestoreThread(thread_state);
    deferred::release_pending();
    if (!run_message(*message)) {
      if (PyErr_ExceptionMatches(panic_type())) {
        faulted = true;
        message.reset();
        break;
      }
      print_callback_error();
    }
    post_follow_up(state, *message);
    message.reset();  // its references go while we hold the lock
    thread_state = PyEval_SaveThread();
  }
  if (!faulted && !signalled) PyEval_RestoreThread(thread_state);
  driving_loop = previous;
  return_receiver(state, std::move(*receiver));

  if (signalled) {
    // The run ended: the running loop goes back, and the handler's exception
    // is what the caller sees.
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    if (!asyncio::set_running_loop(events.get(), outer.get())) PyErr_Clear();
    PyErr_SetRaisedException(raised.release());
    return nullptr;
  }

  if (faulted) {
    renotice_panic("a callback");
    return nullptr;  // the running loop stays set: the run did not end normally
  }
  if (!asyncio::set_running_loop(events.get(), outer.get())) return nullptr;
  Py_RETURN_NONE;
}

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
