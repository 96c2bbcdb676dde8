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
  // What strace does at each sampled call: make it fail (the default), or
  // deliver a signal as it is made, e.g. "signal=SIGINT" to check that an
  // interrupt at any point leaves nothing partial behind.
  std::string fault = "error=EIO";
  // A failed run may leave path differing when this says so (for a
  // documented partial result); by default nothing may differ.
  std::function<bool(const RunResult&, const std::string& path)> may_differ;
  RunOptions options;  // cwd is set to the work folder
};

// argv run under strace with the given options before it, e.g.
// {"-P", "in/sub", "-e", "inject=getdents64:error=EIO"} to make the calls on
// one path fail. Give paths absolute: strace reports on standard error how it
// resolves relative ones; otherwise standard error is the program's own. In
// sanitizer builds the leak check, which cannot work under strace, is off.
std::vector<std::string> UnderStrace(const std::vector<std::string>& strace_options,
                                     const std::vector<std::string>& argv);

// The calls of one kind (e.g. "read", or several: "read,pread64") that a
// clean run of argv makes, in order, one line of strace's log each, such as
// `1234 read(3, "..."..., 262144) = 262144`: a test finds there the
// occurrence to make fail with UnderStrace.
std::vector<std::string> TraceCalls(const std::vector<std::string>& argv, const std::string& call,
                                    const RunOptions& options = {});

// Records the failures found as test failures (at most a few of each kind).
// Skips itself in sanitizer builds, whose runtime makes calls of its own.
void ExpectEveryFailingCallHandled(const FaultSweep& sweep);

}  // namespace testkit
