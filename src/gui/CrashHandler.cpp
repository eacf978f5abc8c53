#include "gui/CrashHandler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "gui/AppLog.h"

namespace vorn::gui {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr size_t kAltStackSize = 256 * 1024;
constexpr int kMaxFrames = 128;

// Prepared at installation; read-only in the handler.
char folderPath[1024];
// Read in the handler: a lock-free atomic is safe there.
std::atomic<bool> crashFileHeld{false};
static_assert(std::atomic<bool>::is_always_lock_free);
char hostName[256];
long zoneOffsetSeconds = 0;

// A small async-signal-safe text buffer.
struct Out {
    char text[512];
    size_t length = 0;
    void add(const char* s) {
        while (*s && length + 1 < sizeof text) text[length++] = *s++;
        text[length] = 0;
    }
    void addNumber(unsigned long long value, unsigned base = 10, int minDigits = 1) {
        char digits[32];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value && n < 32);
        while (n < minDigits && n < 32) digits[n++] = '0';
        while (n > 0 && length + 1 < sizeof text) text[length++] = digits[--n];
        text[length] = 0;
    }
};

void writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t done = write(fd, data, length);
        if (done <= 0) return;
        data += done;
        length -= size_t(done);
    }
}

const char* signalName(int signal) {
    switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "?";
    }
}

// YYYY-MM-DD-HHMMSS of local time without localtime(), which may lock.
void addStamp(Out& out, time_t now) {
    long long seconds = (long long)now + zoneOffsetSeconds;
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Civil date from days since 1970-01-01.
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long mp = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2);
    out.addNumber((unsigned long long)year, 10, 4);
    out.add("-");
    out.addNumber((unsigned long long)month, 10, 2);
    out.add("-");
    out.addNumber((unsigned long long)day, 10, 2);
    out.add("-");
    out.addNumber((unsigned long long)(rest / 3600), 10, 2);
    out.addNumber((unsigned long long)(rest / 60 % 60), 10, 2);
    out.addNumber((unsigned long long)(rest % 60), 10, 2);
}

int openCrashFile() {
    Out path;
    path.add(folderPath);
    path.add("/vorn_");
    addStamp(path, time(nullptr));
    path.add("_");
    path.add(hostName);
    const size_t base = path.length;
    path.add(".crash");
    int fd = open(path.text, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    // Two crashes in one second (several processes): number the later ones.
    for (unsigned n = 2; fd < 0 && errno == EEXIST && n < 100; ++n) {
        path.length = base;
        path.add("-");
        path.addNumber(n);
        path.add(".crash");
        fd = open(path.text, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    return fd;
}

void onFatalSignal(int signal, siginfo_t* info, void*) {
    const int savedErrno = errno;
    const int fd = crashFileHeld.load() ? STDERR_FILENO : openCrashFile();
    if (fd >= 0) {
        Out head;
        head.add("Signal: ");
        head.addNumber((unsigned)signal);
        head.add(" (");
        head.add(signalName(signal));
        head.add(")\nAddress: 0x");
        // A signal sent by a process (kill, abort) has no faulting address.
        const bool fault = info && info->si_code > 0;
        head.addNumber((unsigned long long)(uintptr_t)(fault ? info->si_addr : nullptr), 16);
        head.add("\nPID: ");
        head.addNumber((unsigned long long)getpid());
        head.add("\n\nBacktrace:\n");
        writeAll(fd, head.text, head.length);
        void* frames[kMaxFrames];
        const int count = backtrace(frames, kMaxFrames);
        backtrace_symbols_fd(frames, count, fd);
        const char mapsTitle[] = "\nMemory map:\n";
        writeAll(fd, mapsTitle, sizeof mapsTitle - 1);
        const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
        if (maps >= 0) {
            char buffer[4096];
            ssize_t got;
            while ((got = read(maps, buffer, sizeof buffer)) > 0) writeAll(fd, buffer, size_t(got));
            close(maps);
        }
        if (fd != STDERR_FILENO) close(fd);
    }
    // Default action again: the signal is blocked while this handler runs,
    // so it is delivered (and ends the process) as soon as it returns.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    errno = savedErrno;
    raise(signal);
}

}  // namespace

bool holdCrashFile(bool hold) { return crashFileHeld.exchange(hold); }

ThreadSignalStack::ThreadSignalStack() {
    void* stackMemory = malloc(kAltStackSize);
    if (!stackMemory) return;
    stack_t stack{};
    stack.ss_sp = stackMemory;
    stack.ss_size = kAltStackSize;
    if (sigaltstack(&stack, &previous) != 0) {
        free(stackMemory);
        return;
    }
    memory = stackMemory;
}

ThreadSignalStack::~ThreadSignalStack() {
    if (!memory) return;
    // The earlier stack back (when there was none, its flags switch ours off).
    sigaltstack(&previous, nullptr);
    free(memory);
}

QString crashFolder() { return QFileInfo(logFilePath()).absolutePath() + QStringLiteral("/crashes"); }

bool installCrashHandler(const QString& folder) {
    const QByteArray path = QFile::encodeName(QDir(folder).absolutePath());
    if (!QDir().mkpath(folder) || size_t(path.size()) + 64 >= sizeof folderPath) return false;
    memcpy(folderPath, path.constData(), size_t(path.size()) + 1);
    if (gethostname(hostName, sizeof hostName - 1) != 0 || !hostName[0]) strcpy(hostName, "localhost");
    hostName[sizeof hostName - 1] = 0;
    for (char* c = hostName; *c; ++c)
        if (*c == '/') *c = '_';
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    zoneOffsetSeconds = local.tm_gmtoff;

    void* warm[4];
    backtrace(warm, 4);

    static void* altStack = nullptr;
    if (!altStack) altStack = malloc(kAltStackSize);  // lives as long as the process
    stack_t stack{};
    stack.ss_sp = altStack;
    stack.ss_size = kAltStackSize;
    if (!altStack || sigaltstack(&stack, nullptr) != 0) return false;

    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals) sigaction(signal, &action, nullptr);
    return true;
}

}  // namespace vorn::gui
