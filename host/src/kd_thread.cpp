#include "korviad/kd_thread.h"

#include <cstring>
#include <exception>

#include "korviad/kd_exception.h"
#include "korviad/kd_log.h"

kdThread::kdThread(const std::string& tag) : tag(tag), terminate(false), id_() {}

kdThread::~kdThread() {
  if (started_) {
    Terminate();
    Join();
  }
}

void kdThread::Create() {
  if (started_) throw kdException("%s: %s: %s", tag.c_str(), "pthread_create", "already started");
  int rc = pthread_create(&id_, nullptr, ThreadMain, this);
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
