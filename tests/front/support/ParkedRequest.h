// A parked request as its listener sees it, for tests that drive the hand-off directly:
// whether it was parked, how often and with what it was delivered.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "front/MainThread.h"
#include "map/Json.h"

namespace fronttest {

struct Parked {
  std::mutex lock;
  std::condition_variable changed;
  bool parked = false;
  int deliveries = 0;
  HandOffOutcome outcome = kHandOffClosed;
  HalvorantJsonMap* answer = nullptr;  // the delivered answer, owned here

  ~Parked() { freeHalvorantJsonMap(answer); }
  HandOff handOff() { return HandOff{this, park, deliver, nullptr, nullptr}; }
  static void park(void* user) { static_cast<Parked*>(user)->parked = true; }
  static void deliver(void* user, HandOffOutcome outcome, HalvorantJsonMap* answer) {
    auto* self = static_cast<Parked*>(user);
    std::lock_guard<std::mutex> guard(self->lock);
    ++self->deliveries;
    self->outcome = outcome;
    freeHalvorantJsonMap(self->answer);  // a second delivery is a fault, but must not leak
    self->answer = answer;
    self->changed.notify_all();
  }
  bool waitDelivered() {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(30), [this] { return deliveries > 0; });
  }
  int deliveryCount() {
    std::lock_guard<std::mutex> guard(lock);
    return deliveries;
  }
};

}  // namespace fronttest
