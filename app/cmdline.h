#pragma once

#include <atomic>
#include <string>
#include <vector>

extern const char* const kVersionText;

// Set by the signal handler; set from the start, cleared on entering supervision.
extern std::atomic<unsigned char> stop_requested;

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

void InstallSignalHandler();
