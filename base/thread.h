#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <string>

// Base of every object that owns one worker thread. The thread is cancelled
// (deferred) and joined by Stop(); a body that returns just ends its thread.
class myThreadAttached {
 public:
  myThreadAttached();
  virtual ~myThreadAttached();
  myThreadAttached(const myThreadAttached&) = delete;
  myThreadAttached& operator=(const myThreadAttached&) = delete;

  virtual void functionThread(myThreadAttached* arg) = 0;

  void Start(myThreadAttached* arg, const std::string& name);
  void Stop();

  bool isRunning() const { return running.load(); }
  // True once the body has returned; the supervisor skips such drivers.
  bool isFinished() const { return finished.load(); }
  const std::string& threadName() const { return name; }

 protected:
  pthread_t thread;
  pthread_attr_t attr;
  std::atomic<bool> running;
  std::atomic<pid_t> pid;
  std::string name;
  std::atomic<bool> finished;

 private:
  static void* entry(void* arg);
};
