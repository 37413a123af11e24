// A POSIX thread with a body (Entry), a terminate flag that the body polls, and one lock.
#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>

#include "korviad/kd_export.h"

class KD_EXPORT kdThread {
 public:
  explicit kdThread(const std::string& tag);
  kdThread(const kdThread&) = delete;
  kdThread& operator=(const kdThread&) = delete;
  // Joins the thread if it still runs; a derived class should have joined it already, since its
  // Entry may use members that are gone by the time this runs.
  virtual ~kdThread();

  const std::string& GetTag() const { return tag; }

  // Starts the thread running Entry(). Throws kdException when pthread_create fails.
  void Create();
  // Asks Entry() to return: sets the terminate flag, which Entry polls.
  void Terminate() { terminate.store(true); }
  bool ShouldTerminate() const { return terminate.load(); }
  // Waits for the thread to end; does nothing when it was never started or already joined.
  // Returns what Entry returned (null when it ended by an exception, which is logged).
  void* Join();
  bool HasStarted() const { return started_; }

  // The thread's lock. Prefer kdThread::Guard, which releases it on every exit path.
  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }

  // Holds the thread's lock for its lifetime.
  class Guard {
   public:
    explicit Guard(kdThread& thread) : thread_(thread) { thread_.Lock(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() { thread_.Unlock(); }

   private:
    kdThread& thread_;
  };

  // The thread body.
  virtual void* Entry() = 0;

  // For the host program, never a plugin: a function that each thread Create starts from now on
  // runs on itself before Entry; null for none. korvia-replay marks the threads that follow a
  // capture's clock with it.
  static void SetStartHook(void (*hook)());

 protected:
  std::string tag;
  std::atomic<bool> terminate;

 private:
  static void* ThreadMain(void* self);

  pthread_t id_;
  bool started_ = false;
  std::mutex lock_;
};
