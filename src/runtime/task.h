#pragma once
// Task: a move-only piece of work handed to the runtime.

#include <memory>
#include <type_traits>
#include <utility>

namespace velkor::rt {

class Task {
 public:
  Task() = default;
  // Throws std::bad_alloc.
  template <typename F>
  explicit Task(F&& work) : impl_(std::make_unique<Impl<std::decay_t<F>>>(std::forward<F>(work))) {}
  void operator()() { impl_->run(); }
  explicit operator bool() const noexcept { return impl_ != nullptr; }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual void run() = 0;
  };
  template <typename F>
  struct Impl final : Base {
    explicit Impl(F&& work) : work(std::move(work)) {}
    explicit Impl(const F& work) : work(work) {}
    void run() override { work(); }
    F work;
  };
  std::unique_ptr<Base> impl_;
};

}  // namespace velkor::rt
