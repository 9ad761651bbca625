#include "io.h"

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "runtime/os_error.h"

namespace velkor {

FdIdentity FdIdentity::of(int fd) noexcept {
  struct stat status;
  if (fstat(fd, &status) != 0) return FdIdentity{errno};
  return FdIdentity{0, status.st_dev, status.st_ino};
}

// One watch: registers its descriptor, waits for its direction, posts a
// Callback message, and waits again, until cancelled, shut down, or the
// channel is gone. It runs on the runtime's workers and never touches a
// Python reference count: its messages share its WatchTarget.
//
// Ownership: while queued the task belongs to the runtime, while parked to
// its registration, while running to the thread running it. Whoever drops
// the last reference ends it; the destructor is its cleanup (the
// registration goes with its last watch, the target with its last message).
class WatchTask final : public rt::ReadyWaiter, public std::enable_shared_from_this<WatchTask> {
 public:
  WatchTask(rt::Direction direction, FdWrapper fd, std::shared_ptr<WatchTarget> target,
            LoopChannel::Sender sender, std::shared_ptr<rt::Poller> poller,
            std::optional<FdIdentity> noted)
      : direction_(direction),
        fd_(fd),
        target_(std::move(target)),
        sender_(std::move(sender)),
        poller_(std::move(poller)),
        noted_(noted) {}

  // The task's first run: on a worker, or on the thread that asked for the
  // watch (`noted_` is then empty: the descriptor is as the caller left it).
  void start() {
    if (target_->removed.load(std::memory_order_acquire)) return;
    int error = noted_ ? gone_error() : 0;
    std::shared_ptr<rt::Registration> registration;
    if (error == 0) {
      registration = poller_->acquire(fd_.fd, error);
      // The number may have changed hands between the look and the
      // registration: the failure is then the other file's.
      if (!registration && error != 0 && noted_) {
        if (const int gone = gone_error()) error = gone;
      }
    }
    if (!registration) {
      // Nothing to report for a watch removed meanwhile: its caller may
      // rightly have closed the descriptor since.
      if (error != 0 && !target_->removed.load(std::memory_order_acquire)) {
        const std::string text = rt::os_error_text(error);
        std::fprintf(stderr, "Failed to register FD %d: %s\n", fd_.fd, text.c_str());
        std::fflush(stderr);
      }
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      registration_ = std::move(registration);
    }
    run();
  }

  void on_ready() override { run(); }

  // 0 while the number names the file that add() saw. Otherwise the error
  // that describes the descriptor the caller meant: add()'s own when it was
  // not open then, EBADF when its file has gone since (the number may name
  // another file by now, which must not be watched in its place).
  int gone_error() const noexcept {
    if (noted_->error != 0) return noted_->error;
    return FdIdentity::of(fd_.fd) == *noted_ ? 0 : EBADF;
  }

  // Unparks the task if it waits; the caller drops what this returns. The
  // target's `removed` flag, set first by the abort handle, stops the task
  // at its next look and makes the run loop skip its queued calls.
  std::shared_ptr<rt::ReadyWaiter> abort() {
    std::shared_ptr<rt::Registration> registration;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      registration = registration_;
    }
    if (!registration) return nullptr;  // not registered yet: start() sees the flag
    return registration->unpark(direction_, this);
  }

 private:
  void run() {
    rt::Registration& registration = *registration_;
    for (;;) {
      std::uint64_t observed = 0;
      const auto outcome =
          registration.wait(direction_, closed_seen_, target_->removed, shared_from_this(), observed);
      // Parked: the next matching event resumes us through on_ready().
      if (outcome != rt::Registration::Wait::ready) return;
      const bool closed = observed & rt::readiness::closed_flag(direction_);
      if (closed && (observed & rt::readiness::ready_flag(direction_))) {
        target_->follow_up.store(true, std::memory_order_release);
      }
      // At most one call of a watch waits in the queue: events that come
      // meanwhile are news to that call, which runs after all of them.
      if (!target_->queued.exchange(true, std::memory_order_acq_rel) && !post()) return;
      registration.clear_ready(direction_, observed);
      // A closed condition is reported once per event, not on every turn.
      if (closed) closed_seen_ = rt::readiness::tick(observed);
    }
  }

  // Queues one call; false when the loop is gone.
  bool post() {
    try {
      return sender_.try_post(LoopMessage{Callback{target_}});
    } catch (...) {
      target_->queued.store(false, std::memory_order_release);  // nothing is queued
      throw;
    }
  }

  const rt::Direction direction_;
  const FdWrapper fd_;
  const std::shared_ptr<WatchTarget> target_;
  LoopChannel::Sender sender_;
  const std::shared_ptr<rt::Poller> poller_;
  const std::optional<FdIdentity> noted_;
  std::mutex mutex_;  // guards registration_ between start() and abort()
  std::shared_ptr<rt::Registration> registration_;
  std::uint64_t closed_seen_ = 0;  // touched only by the thread running the task
};

void AbortHandle::abort() {
  if (auto target = target_.lock()) target->removed.store(true, std::memory_order_release);
  if (auto task = task_.lock()) task->abort();
}

std::vector<std::shared_ptr<WatchTarget>> IoRegistry::targets() const {
  std::vector<std::shared_ptr<WatchTarget>> live;
  for (const Watches* watches : {&readers, &writers}) {
    for (const auto& [fd, handle] : *watches) {
      if (auto target = handle.target()) live.push_back(std::move(target));
    }
  }
  return live;
}

void IoRegistry::remove_all() {
  for (Watches* watches : {&readers, &writers}) {
    for (auto& [fd, handle] : *watches) handle.abort();
    watches->clear();
  }
}

IoRegistry::IoRegistry(LoopChannel::Sender sender, rt::RuntimeHandle runtime_handle)
    : sender(std::move(sender)), runtime_handle(std::move(runtime_handle)) {}

void IoRegistry::add(rt::Direction direction, int fd, PyRef callback, PyRef args,
                     bool start_here) {
  Watches& table = watches(direction);
  // A worker registers the descriptor later, by when its number may have
  // been closed and reused: note now which file it names.
  std::optional<FdIdentity> noted;
  if (!start_here) noted = FdIdentity::of(fd);
  // Everything that can fail comes first, so a failure changes nothing but,
  // when the task cannot be started, the end of the watch it replaces.
  auto target = std::make_shared<WatchTarget>(std::move(callback), std::move(args));
  auto task = std::make_shared<WatchTask>(direction, FdWrapper{fd}, target, sender,
                                          runtime_handle.poller(), noted);
  const auto slot = table.try_emplace(fd).first;
  // The old watch ends before the new one starts: running on, it could take
  // the new one's first event (and its call would then be dropped).
  std::exchange(slot->second, AbortHandle()).abort();
  try {
    if (start_here) {
      task->start();
    } else {
      runtime_handle.spawn([task] { task->start(); });
    }
  } catch (...) {
    table.erase(slot);  // the old watch is gone either way; nothing half-made stays
    throw;
  }
  // The new task is cancelled through this handle, under the registry lock
  // that we hold, so it may already be running.
  slot->second = AbortHandle(task, target);
}

bool IoRegistry::remove(rt::Direction direction, int fd) {
  Watches& table = watches(direction);
  auto found = table.find(fd);
  if (found == table.end()) return false;
  found->second.abort();
  table.erase(found);
  return true;
}

}  // namespace velkor
