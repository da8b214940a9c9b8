#include "EventUtil.h"

#include <cstdint>

#include "jlang.h"

std::atomic<int> EventQueue::maxScdQSize(0);

void EventQueue::post(int type, int64_t param, void* data) {
  Synchronized hold(&wo);
  q.push_back(EventObj{type, param, data});
  wo.notify();
}

void EventQueue::post(int type, int64_t param, uint64_t data) {
  post(type, param, reinterpret_cast<void*>(static_cast<uintptr_t>(data)));
}

void EventQueue::noteScheduledSize(int size) {
  int seen = maxScdQSize.load(std::memory_order_relaxed);
  while (seen < size && !maxScdQSize.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
  }
}

void EventQueue::schedule(int type, int64_t param, void* data, int delayMs) {
  if (delayMs < kMinScheduleDelayMs) {
    post(type, param, data);
    return;
  }
  Synchronized hold(&wo);
  noteScheduledSize(static_cast<int>(scdq.size()));
  ScheduledEvent entry{JLangSystem::currentTimeMillis() + delayMs, EventObj{type, param, data}};
  // Behind every entry due at the same time or earlier.
  auto it = scdq.begin();
  while (it != scdq.end() && it->dueTime <= entry.dueTime) ++it;
  scdq.insert(it, entry);
  wo.notify();
}

EventObj EventQueue::waitForEvent() {
  Synchronized hold(&wo);
  for (;;) {
    if (!q.empty()) {
      EventObj ev = q.front();
      q.pop_front();
      return ev;
    }
    if (scdq.empty()) {
      wo.wait(kIdleWaitMs);
      continue;
    }
    // Remaining time in 32 bits: a value that does not fit wraps.
    int64_t diff = scdq.front().dueTime - JLangSystem::currentTimeMillis();
    int32_t remaining = static_cast<int32_t>(static_cast<uint32_t>(diff));
    if (remaining <= kEarlyHandOutMs) {
      EventObj ev = scdq.front().event;
      scdq.pop_front();
      return ev;
    }
    wo.wait(remaining);
  }
}

int EventQueue::totalEventCount() {
  Synchronized hold(&wo);
  return static_cast<int>(q.size() + scdq.size());
}

std::string EventQueue::getQueueInfo() {
  Synchronized hold(&wo);
  std::string info = "q.size:" + std::to_string(q.size()) + "\n";
  info += "scdq.size:" + std::to_string(scdq.size()) + "\n";
  if (!scdq.empty()) info += "next schedule: " + std::to_string(scdq.front().dueTime);
  return info;
}

bool EventQueue::hasEvent() { return !q.empty() || !scdq.empty(); }

EventObj EventQueue::nextEvent() {
  if (!q.empty()) {
    EventObj ev = q.front();
    q.pop_front();
    return ev;
  }
  if (!scdq.empty()) {
    EventObj ev = scdq.front().event;
    scdq.pop_front();
    return ev;
  }
  return EventObj{0, 0, nullptr};
}
