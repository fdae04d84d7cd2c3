// A channel that carries at most one value from a worker thread to the thread that waits for
// it. The receiver learns whether the value came, the wait timed out, or the sender went away
// without sending. A value sent after the receiver gave up is simply dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace kavel_lib::service {

namespace detail {
template <class T>
struct OneShotState {
  std::mutex mutex;
  std::condition_variable ready;
  std::optional<T> value;
  bool sender_gone = false;
};
}  // namespace detail

template <class T>
class OneShotSender {
 public:
  explicit OneShotSender(std::shared_ptr<detail::OneShotState<T>> state) : state_(std::move(state)) {}
  OneShotSender(OneShotSender&&) noexcept = default;
  OneShotSender& operator=(OneShotSender&&) = delete;
  OneShotSender(const OneShotSender&) = delete;
  OneShotSender& operator=(const OneShotSender&) = delete;
  ~OneShotSender() { release(); }

  void send(T value) {
    if (!state_) return;
    {
      const std::lock_guard lock(state_->mutex);
      if (!state_->value) state_->value.emplace(std::move(value));
    }
    release();
  }

 private:
  void release() {
    if (!state_) return;
    {
      const std::lock_guard lock(state_->mutex);
      state_->sender_gone = true;
    }
    state_->ready.notify_all();
    state_.reset();
  }
  std::shared_ptr<detail::OneShotState<T>> state_;
};

enum class Received { Value, TimedOut, Disconnected };

template <class T>
class OneShotReceiver {
 public:
  explicit OneShotReceiver(std::shared_ptr<detail::OneShotState<T>> state) : state_(std::move(state)) {}

  // Waits at most `timeout` for the value. On Received::Value the value is moved into `out`.
  template <class Rep, class Period>
  Received receive_for(std::chrono::duration<Rep, Period> timeout, std::optional<T>& out) {
    const auto deadline = deadline_after(timeout);
    std::unique_lock lock(state_->mutex);
    state_->ready.wait_until(lock, deadline, [&] { return state_->value.has_value() || state_->sender_gone; });
    if (state_->value) {
      out = std::move(state_->value);
      state_->value.reset();
      return Received::Value;
    }
    return state_->sender_gone ? Received::Disconnected : Received::TimedOut;
  }

 private:
  // now + timeout, saturated: a time-out of years must not overflow the clock.
  template <class Rep, class Period>
  static std::chrono::steady_clock::time_point deadline_after(std::chrono::duration<Rep, Period> timeout) {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    constexpr auto kLongest = hours(24 * 365 * 100);
    if (timeout <= duration<Rep, Period>::zero()) return now;
    if (duration_cast<nanoseconds>(kLongest) <= timeout) return now + kLongest;
    return now + duration_cast<steady_clock::duration>(timeout);
  }
  std::shared_ptr<detail::OneShotState<T>> state_;
};

template <class T>
std::pair<OneShotSender<T>, OneShotReceiver<T>> one_shot_channel() {
  auto state = std::make_shared<detail::OneShotState<T>>();
  return {OneShotSender<T>(state), OneShotReceiver<T>(state)};
}

}  // namespace kavel_lib::service
