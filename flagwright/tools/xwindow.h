// Finding and closing a program's window on the X display, as a window
// manager would.
#ifndef FLAGWRIGHT_TOOLS_XWINDOW_H
#define FLAGWRIGHT_TOOLS_XWINDOW_H

#include <sys/types.h>

#include <functional>
#include <string>

// Waits up to `seconds`, and while `alive` holds, for a mapped top-level
// window of process `pid` titled `title`; its X id, or 0.
unsigned long find_window(pid_t pid, const std::string& title, double seconds,
                          const std::function<bool()>& alive);

// Sends the window manager's close request (WM_PROTOCOLS client message with
// WM_DELETE_WINDOW) to an X window. False when the display cannot be reached.
bool close_window(unsigned long xid);

#endif
