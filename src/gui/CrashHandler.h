// The windowed application's own crash handler. On a fatal signal (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGABRT) it writes
//   <folder>/vorn_<YYYY-MM-DD-HHMMSS>_<host>.crash
// with the signal, the faulting address, the pid, the backtrace and
// /proc/self/maps, then re-raises the signal so the exit status and any core
// dump stay as without it. It runs on its own stack, so a stack overflow is
// caught too. Only async-signal-safe calls run in the handler: the folder,
// host name and time-zone offset are prepared here, and backtrace() is
// warmed up (its first call loads the unwinder).
//
// Installed by the windowed branch only, after the QApplication exists, so a
// missing display is never filed as a crash.
#pragma once

#include <signal.h>

#include <QString>

namespace vorn::gui {

// ~/.local/state/vorn/crashes (following $XDG_STATE_HOME).
QString crashFolder();

// Creates the folder and installs the handler for the fatal signals.
// Returns false (and installs nothing) when the folder cannot be made.
bool installCrashHandler(const QString& folder = crashFolder());

// While held (the crash folder lies on the disk being read), a crash is
// reported on standard error only, and nothing is written into the folder.
// Returns whether it was held before.
bool holdCrashFile(bool hold);

// An alternate signal stack for the calling thread while the object lives:
// a signal stack belongs to one thread, and without its own a thread that
// overflows its stack dies before the handler can write a crash file. Every
// thread the program starts makes one first thing; at its end the thread's
// earlier signal stack (a sanitizer's, or none) comes back and the memory
// is freed.
class ThreadSignalStack {
public:
    ThreadSignalStack();
    ~ThreadSignalStack();
    ThreadSignalStack(const ThreadSignalStack&) = delete;
    ThreadSignalStack& operator=(const ThreadSignalStack&) = delete;
    bool installed() const { return memory != nullptr; }

private:
    void* memory = nullptr;
    stack_t previous{};
};

}  // namespace vorn::gui
