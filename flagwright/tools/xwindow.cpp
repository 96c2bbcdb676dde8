// A small X client for the tests and the demo: finds a program's window and
// asks it to close the way a window manager does. The X headers stay inside
// this unit because their macros clash with other code.
//
// The X server may drop a connection that it has just accepted when another
// client connects or leaves at the same moment; every connection here is
// therefore retried a few times.
#include "xwindow.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

Display* connect() {
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (Display* display = XOpenDisplay(nullptr)) return display;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return nullptr;
}

bool has_pid(Display* display, Window window, pid_t pid) {
  Atom type;
  int format;
  unsigned long count, rest;
  unsigned char* data = nullptr;
  bool match = false;
  if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), 0, 1, False,
                         XA_CARDINAL, &type, &format, &count, &rest, &data) == Success &&
      data && format == 32 && count == 1)
    match = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data)) == pid;
  if (data) XFree(data);
  return match;
}

bool has_title(Display* display, Window window, const std::string& title) {
  char* name = nullptr;
  bool match = XFetchName(display, window, &name) && name && title == name;
  if (name) XFree(name);
  return match;
}

// A mapped top-level window of `pid` titled `title`, or 0.
Window search(Display* display, pid_t pid, const std::string& title) {
  Window root, parent, *children = nullptr, found = 0;
  unsigned int count = 0;
  if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) return 0;
  for (unsigned int i = 0; i < count && !found; ++i) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, children[i], &attributes) &&
        attributes.map_state == IsViewable && has_pid(display, children[i], pid) &&
        has_title(display, children[i], title))
      found = children[i];
  }
  if (children) XFree(children);
  return found;
}

}  // namespace

unsigned long find_window(pid_t pid, const std::string& title, double seconds,
                          const std::function<bool()>& alive) {
  Display* display = connect();
  if (!display) return 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  Window found = 0;
  while (!(found = search(display, pid, title)) && alive() &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  XCloseDisplay(display);
  return found;
}

bool close_window(unsigned long xid) {
  Display* display = connect();
  if (!display) return false;
  XEvent event;
  std::memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.window = xid;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  Status sent = XSendEvent(display, xid, False, NoEventMask, &event);
  XSync(display, False);
  XCloseDisplay(display);
  return sent != 0;
}
