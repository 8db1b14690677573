// Running the built programs from a test, as a user runs them from a shell:
// the command line in, the exit status and everything printed out.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace kest_test {

struct Outcome {
  int status = -1;     // the exit status; -1 if the program did not exit by itself
  std::string output;  // stderr and stdout together
};

inline Outcome Execute(const std::string& command) {
  Outcome r;
  const std::string full = command + " 2>&1";
  FILE* p = popen(full.c_str(), "r");
  if (p == nullptr) return r;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.output.append(buf.data(), n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// A directory of this test process's own for the files it writes.
inline std::string TempDir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/kesttest-XXXXXX";
    const char* d = mkdtemp(tmpl);
    return std::string(d != nullptr ? d : "/tmp");
  }();
  return dir;
}

}  // namespace kest_test
