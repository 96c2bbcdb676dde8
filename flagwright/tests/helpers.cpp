#include "helpers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "flagwright-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

void copy_file(const std::string& from, const std::string& to) { write_file(to, read_file(from)); }

namespace {

std::vector<char*> pointers(const std::vector<std::string>& argv) {
  std::vector<char*> p;
  for (const std::string& a : argv) p.push_back(const_cast<char*>(a.c_str()));
  p.push_back(nullptr);
  return p;
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_in(const std::vector<char*>& argv, const char* cwd, const char* out,
                          const char* err) {
  if (cwd && chdir(cwd) != 0) _exit(126);
  int o = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int e = open(err, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int n = open("/dev/null", O_RDONLY);
  if (o < 0 || e < 0 || n < 0) _exit(126);
  dup2(n, 0);
  dup2(o, 1);
  dup2(e, 2);
  execv(argv[0], argv.data());
  _exit(127);
}

}  // namespace

Child start(const std::vector<std::string>& argv, const std::string& cwd, const TempDir& logs,
            const std::string& tag) {
  Child child;
  child.out = logs.file(tag + ".out");
  child.err = logs.file(tag + ".err");
  std::vector<char*> args = pointers(argv);
  child.pid = fork();
  if (child.pid == 0) exec_in(args, cwd.c_str(), child.out.c_str(), child.err.c_str());
  return child;
}

int finish(Child& child, double seconds) {
  if (child.pid <= 0) return -1;
  int status = -1;
  bool ended =
      wait_until([&] { return waitpid(child.pid, &status, WNOHANG) == child.pid; }, seconds);
  if (!ended) {
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
    status = -1;
  }
  child.pid = -1;
  return status;
}

std::string run(const std::vector<std::string>& argv, int* status, double seconds) {
  TempDir logs;
  Child child = start(argv, logs.path(), logs, "run");
  *status = finish(child, seconds);
  return read_file(child.out);
}

bool wait_until(const std::function<bool()>& done, double seconds, bool gtk) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (gtk) settle();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

::testing::AssertionResult open_display() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display)
    return ::testing::AssertionFailure()
           << "DISPLAY is not set: this test needs an X server (scripts/test starts an Xvfb; "
              "or run it under xvfb-run -a)";
  static bool opened = false;
  for (int attempt = 0; !opened && attempt < 10; ++attempt) {
    opened = gtk_init_check(nullptr, nullptr);
    if (!opened) g_usleep(50000);
  }
  if (!opened) return ::testing::AssertionFailure() << "cannot open the X display " << display;
  return ::testing::AssertionSuccess();
}

void settle() {
  while (gtk_events_pending()) gtk_main_iteration();
}

std::vector<std::string> list_texts(GtkWidget* combo) {
  std::vector<std::string> texts;
  GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
  GtkTreeIter it;
  for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok;
       ok = gtk_tree_model_iter_next(model, &it)) {
    gchar* text = nullptr;
    gtk_tree_model_get(model, &it, 0, &text, -1);
    texts.push_back(text ? text : "");
    g_free(text);
  }
  return texts;
}
