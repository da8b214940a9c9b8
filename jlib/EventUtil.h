// Event queue: immediate events first in, first out, plus events scheduled
// for a due time, handed out earliest first.
#ifndef JLIB_EVENTUTIL_H
#define JLIB_EVENTUTIL_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <string>

#include "bcore.h"

struct EventObj {
  int type;
  int64_t param;
  void* data;  // never read or owned by the queue
};

struct ScheduledEvent {
  int64_t dueTime;  // absolute, ms of JLangSystem::currentTimeMillis
  EventObj event;
};

// Any thread may post or schedule; one consumer per queue calls waitForEvent.
class EventQueue {
 public:
  // Largest scheduled-list length any schedule() found, over all queues.
  static std::atomic<int> maxScdQSize;

  EventQueue() {}
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  void post(int type, int64_t param, void* data) EXCLUDES(wo);
  // data as a 64-bit integer, kept whole where a pointer has 64 bits.
  void post(int type, int64_t param, uint64_t data) EXCLUDES(wo);
  // A delay below 20 ms posts the event as an immediate one.
  void schedule(int type, int64_t param, void* data, int delayMs) EXCLUDES(wo);
  // Blocks until an event can be handed out: immediate events first, then a
  // scheduled one due within 10 ms. Never returns without an event.
  EventObj waitForEvent() EXCLUDES(wo);
  int totalEventCount() EXCLUDES(wo);
  std::string getQueueInfo() EXCLUDES(wo);

  // Unlocked: only for a queue no other thread uses at the same time, so
  // the analysis is told not to look.
  bool hasEvent() NO_THREAD_SAFETY_ANALYSIS;
  EventObj nextEvent() NO_THREAD_SAFETY_ANALYSIS;

 private:
  static const int kMinScheduleDelayMs = 20;
  static const int kEarlyHandOutMs = 10;
  static const int kIdleWaitMs = 15000;

  static void noteScheduledSize(int size);

  WaitObject wo;
  std::deque<EventObj> q GUARDED_BY(wo);
  std::list<ScheduledEvent> scdq GUARDED_BY(wo);
};

#endif  // JLIB_EVENTUTIL_H
