// Runs a program again and again with one system call failing (strace's
// fault injection), and checks what a user relies on: a run that ends with
// status 0 leaves exactly what a clean run leaves; any other run leaves no
// file that differs from both what was there before and what a clean run
// makes (no partial output, no temporary file, nothing old lost).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace testkit {

struct FaultSweep {
  // The program and its arguments; it runs in a fresh work folder each time.
  std::vector<std::string> argv;
  // Fills the fresh work folder (its path is the argument) with the inputs,
  // and with any old outputs the run may replace.
  std::function<void(const std::string&)> prepare;
  // The calls made to fail, each with the error EIO, at a sample of their
  // occurrences in a clean run (the first ones, the last ones, and spread in
  // between). Calls a clean run never makes are left out.
  std::vector<std::string> calls = {"read",  "write",      "openat",     "close",
                                    "lseek", "fstat",      "newfstatat", "rename",
                                    "mmap",  "getdents64", "unlink"};
  int samples_per_call = 6;
  // A failed run may leave path differing when this says so (for a
  // documented partial result); by default nothing may differ.
  std::function<bool(const RunResult&, const std::string& path)> may_differ;
  RunOptions options;  // cwd is set to the work folder
};

// The calls of one kind (e.g. "read") that a clean run of the program makes,
// in order, one line of strace's log each, such as
// `read(3, "..."..., 262144) = 262144`: a test finds there the occurrence to
// make fail. Needs strace, like the sweep below.
std::vector<std::string> TraceCalls(const std::vector<std::string>& argv, const std::string& call,
                                    const RunOptions& options = {});

// Runs the program with the occurrence-th call (counted from 1) of that kind
// failing with EIO.
RunResult RunWithFailingCall(const std::vector<std::string>& argv, const std::string& call,
                             int occurrence, const RunOptions& options = {});

// Records the failures found as test failures (at most a few of each kind).
// Skips itself in sanitizer builds, whose runtime makes calls of its own.
void ExpectEveryFailingCallHandled(const FaultSweep& sweep);

}  // namespace testkit
