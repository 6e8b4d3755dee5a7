#pragma once

#include <atomic>
#include <string>
#include <vector>

extern const char* const kVersionText;

// Set by the signal handler; set from the start, cleared on entering supervision.
extern std::atomic<unsigned char> stop_requested;

// Sets stop_requested and wakes the supervisor's sleep; async-signal-safe.
void RequestStop();
// Clears stop_requested and forgets earlier wake-ups.
void ClearStopRequest();
// Sleeps until a stop is requested or `ms` have passed (ms < 0: no limit).
// True when a stop is requested.
bool WaitForStop(long ms);

struct Options {
  std::vector<std::string> ids;
  int log_level = 7;
  bool to_stderr = false;
  bool daemon = false;
  std::string log_file;
  int max_log_size = 0;
};

// Parses argv. Returns -1 to go on, or the exit status to leave with (after
// -r, -h or an argument error, whose messages are already printed).
int ParseOptions(int argc, char** argv, Options& opts);

void PrintUsage(const char* argv0);

// Forks into the background; returns only in the child (exits on failure).
void Daemonize();

// Also makes the event that RequestStop() signals: after Daemonize(), which
// closes every descriptor.
void InstallSignalHandler();
