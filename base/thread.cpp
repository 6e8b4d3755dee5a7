#include "base/thread.h"

#include <unistd.h>

#include "base/logger.h"

myThreadAttached::myThreadAttached() : thread(0), running(false), pid(0), finished(false) {
  pthread_attr_init(&attr);
  // Where the platform's minimum is larger the request fails and the default stays.
  pthread_attr_setstacksize(&attr, 10240);
}

myThreadAttached::~myThreadAttached() {
  Stop();
  pthread_attr_destroy(&attr);
}

void myThreadAttached::Start(myThreadAttached* arg, const std::string& thread_name) {
  if (running.load()) {
    LOG_CRIT("\033[1;31m\t====> Attempting to restart thread \"%s\"!\033[0m\n", name.c_str());
    return;
  }
  name = thread_name;
  finished = false;
  if (pthread_create(&thread, &attr, &myThreadAttached::entry, arg) != 0) {
    LOG_CRIT("\033[1;31m\t====> Error while thread \"%s\" creation!\033[0m\n", name.c_str());
    return;
  }
  running = true;
}

void myThreadAttached::Stop() {
  if (!running.load()) return;
  pthread_cancel(thread);
  pthread_join(thread, nullptr);
  running = false;
}

void* myThreadAttached::entry(void* arg) {
  auto* self = static_cast<myThreadAttached*>(arg);
  self->pid = getpid();
  LOG_CRIT("\033[1;35mA new thread \"%s\" has been STARTED with PID = %d.\033[0m\n",
           self->name.c_str(), static_cast<int>(self->pid));
  self->functionThread(self);
  LOG_CRIT("\033[1;35mThread \"%s\" (PID = %d) has been STOPED.\033[0m\n", self->name.c_str(),
           static_cast<int>(self->pid));
  self->finished = true;
  return nullptr;
}
