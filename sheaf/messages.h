// What a run reports: each problem and warning as one line on standard
// error, "sheaf: NAME: text", and whether any problem was met (status 1).
#pragma once

#include <cstdio>
#include <string>
#include <utility>

namespace sheaf {

class Messages {
 public:
  // out: where the lines go (null: nowhere, as in the fuzz harnesses).
  explicit Messages(std::string name, FILE* out = stderr) : name_(std::move(name)), out_(out) {}

  // Something went wrong: the run ends with status 1.
  void Problem(const std::string& text);
  // Worth knowing, but the status stays as it is.
  void Warning(const std::string& text);

  int problems() const { return problems_; }
  int warnings() const { return warnings_; }
  const std::string& name() const { return name_; }
  void set_name(std::string name) { name_ = std::move(name); }

 private:
  void Print(const std::string& text);

  std::string name_;
  FILE* out_;
  int problems_ = 0;
  int warnings_ = 0;
};

}  // namespace sheaf
