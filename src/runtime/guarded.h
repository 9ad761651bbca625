#pragma once
// A value behind a mutex that is marked poisoned when an exception leaves a
// critical section, so that no later holder sees a half-updated value.

#include <exception>
#include <mutex>
#include <utility>

namespace velkor::rt {

template <typename T>
class Guarded {
 public:
  template <typename... Args>
  explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  // Exclusive access for the lifetime of the object. An access to a poisoned
  // value is empty: it holds no lock and must not be dereferenced.
  class Access {
   public:
    explicit operator bool() const noexcept { return owner_ != nullptr; }
    T& operator*() const noexcept { return owner_->value_; }
    T* operator->() const noexcept { return &owner_->value_; }

    Access(Access&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)),
          lock_(std::move(other.lock_)),
          exceptions_(other.exceptions_) {}
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    Access& operator=(Access&&) = delete;

    ~Access() {
      if (owner_ != nullptr && std::uncaught_exceptions() > exceptions_) owner_->poisoned_ = true;
    }

   private:
    friend class Guarded;
    Access(Guarded* owner, std::unique_lock<std::mutex> lock)
        : owner_(owner), lock_(std::move(lock)), exceptions_(std::uncaught_exceptions()) {}
    Guarded* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
  };

  Access lock() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (poisoned_) return Access(nullptr, std::unique_lock<std::mutex>());
    return Access(this, std::move(lock));
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
  T value_;
};

}  // namespace velkor::rt
