// SPDX-License-Identifier: MIT
#include "events.hpp"

#include <utility>

namespace orvel::client_detail {

EventThread::EventThread() : queue_(std::make_shared<Queue>()) {
  thread_ = std::thread([queue = queue_] {
    std::unique_lock<std::mutex> hold(queue->mutex);
    for (;;) {
      queue->ready.wait(hold, [&] { return queue->done || !queue->events.empty(); });
      if (queue->events.empty()) return;
      std::function<void()> event = std::move(queue->events.front());
      queue->events.pop_front();
      hold.unlock();
      try {
        event();
      } catch (...) {
        // An app's callback that throws loses its own event, not the others.
      }
      hold.lock();
    }
  });
}

EventThread::~EventThread() { finish(); }

void EventThread::post(std::function<void()> event) {
  {
    std::lock_guard<std::mutex> hold(queue_->mutex);
    if (queue_->done) return;
    queue_->events.push_back(std::move(event));
  }
  queue_->ready.notify_one();
}

void EventThread::finish() {
  {
    std::lock_guard<std::mutex> hold(queue_->mutex);
    queue_->done = true;
  }
  queue_->ready.notify_one();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

}  // namespace orvel::client_detail
