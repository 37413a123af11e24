#include "korviad/kd_thread.h"

#include <condition_variable>
#include <cstring>
#include <exception>

#include "korviad/kd_exception.h"
#include "korviad/kd_log.h"

namespace {

std::atomic<void (*)()> start_hook{nullptr};

// A thread started under a hook. The creator waits until the hook has run on the new thread, so
// that from the moment Create returns the thread is what the hook makes it.
struct HookedStart {
  kdThread* thread;
  void (*hook)();
  std::mutex lock;
  std::condition_variable ran_cv;
  bool ran = false;
};

}  // namespace

void kdThread::SetStartHook(void (*hook)()) {
  start_hook.store(hook);
}

kdThread::kdThread(const std::string& tag) : tag(tag), terminate(false), id_() {}

kdThread::~kdThread() {
  if (started_) {
    Terminate();
    Join();
  }
}

void kdThread::Create() {
  if (started_) throw kdException("%s: %s: %s", tag.c_str(), "pthread_create", "already started");
  void (*hook)() = start_hook.load();
  int rc;
  if (hook == nullptr) {
    rc = pthread_create(&id_, nullptr, ThreadMain, this);
  } else {
    HookedStart start{this, hook, {}, {}, false};
    rc = pthread_create(
        &id_, nullptr,
        [](void* data) -> void* {
          auto* started = static_cast<HookedStart*>(data);
          kdThread* thread = started->thread;
          try {
            started->hook();
          } catch (...) {
            // The thread runs without what the hook would have given it.
          }
          {
            // Notified under the lock: once the creator sees ran, started is gone.
            std::lock_guard<std::mutex> guard(started->lock);
            started->ran = true;
            started->ran_cv.notify_all();
          }
          return ThreadMain(thread);
        },
        &start);
    if (rc == 0) {
      std::unique_lock<std::mutex> lock(start.lock);
      start.ran_cv.wait(lock, [&start] { return start.ran; });
    }
  }
  if (rc != 0) throw kdException("%s: %s: %s", tag.c_str(), "pthread_create", strerror(rc));
  started_ = true;
}

void* kdThread::Join() {
  if (!started_) return nullptr;
  void* result = nullptr;
  int rc = pthread_join(id_, &result);
  started_ = false;
  if (rc != 0) throw kdException("%s: %s: %s", tag.c_str(), "pthread_join", strerror(rc));
  return result;
}

void* kdThread::ThreadMain(void* self) {
  kdThread* thread = static_cast<kdThread*>(self);
  // An exception must not leave a thread body: it would end the whole process.
  try {
    return thread->Entry();
  } catch (const std::exception& e) {
    kd_printf("%s: thread ended by exception: %s\n", thread->tag.c_str(), e.what());
  } catch (...) {
    kd_printf("%s: thread ended by unknown exception\n", thread->tag.c_str());
  }
  return nullptr;
}
