// SPDX-License-Identifier: MIT
// The client's event thread: callbacks queued under the client's lock run
// here, one at a time in order, with no lock of the client held.
#ifndef ORVEL_CLIENT_EVENTS_HPP
#define ORVEL_CLIENT_EVENTS_HPP

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace orvel::client_detail {

class EventThread {
 public:
  EventThread();
  ~EventThread();  // finish()
  EventThread(const EventThread &) = delete;
  EventThread &operator=(const EventThread &) = delete;

  void post(std::function<void()> event);
  // Delivers what is queued, then stops the thread; from a callback (on the
  // event thread itself) it lets the thread end on its own instead.
  void finish();

 private:
  // Shared with the thread, so that a thread left to end on its own never
  // touches a destroyed object.
  struct Queue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::function<void()>> events;
    bool done = false;
  };
  std::shared_ptr<Queue> queue_;
  std::thread thread_;
};

}  // namespace orvel::client_detail

#endif
