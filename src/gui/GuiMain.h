// The windowed branch of the program entry.
#pragma once

namespace vorn::gui {

// True when a window can be shown: an offscreen or other non-desktop Qt
// platform is asked for, or the Wayland or X display named in the
// environment accepts a connection.
bool displayAvailable();

// Runs the window; the exit status. Without a display: one line on standard
// error naming the command line, status 1. A second copy for the same user
// shows "Application is already running!" and returns 0.
int runWindowed(int argc, char** argv);

// The second copy's alert: "Application is already running!", titled
// "Error", modal and above every other window; returns when answered.
void showAlreadyRunningAlert();

}  // namespace vorn::gui
