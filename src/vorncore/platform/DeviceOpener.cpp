#include "platform/DeviceOpener.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "misc/Log.h"

extern char** environ;

namespace vorn {

namespace {

DeviceOpener* g_opener = nullptr;

DeviceOpener& systemOpener() {
    static DeviceOpener opener;
    return opener;
}

std::string defaultHelperPath() {
    char exe[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = 0;
        std::string dir(exe);
        size_t slash = dir.find_last_of('/');
        if (slash != std::string::npos) {
            std::string candidate = dir.substr(0, slash) + "/vorn-open-helper";
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        }
    }
    return "/usr/libexec/vorn/vorn-open-helper";
}

// Receives one descriptor; -1 when the peer closed without sending one.
int receiveDescriptor(int sock) {
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return -1;
    int result = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            if (result < 0) {
                result = fd;
            } else {
                ::close(fd);  // only one descriptor is expected
            }
        }
    }
    if (result >= 0 && (msg.msg_flags & MSG_CTRUNC)) {
        ::close(result);
        return -1;
    }
    return result;
}

}  // namespace

int DeviceOpener::openReadOnly(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    return fd >= 0 ? fd : -errno;
}

int DeviceOpener::openWithRights(const std::string& path) {
    if (::geteuid() == 0) {
        // Administrator already: what refuses the node (a device policy of a
        // container, a security module) is nothing that a prompt can lift.
        log(LOG_ERROR, "error at DeviceOpener::openWithRights: refused to the administrator too: %s\n", path.c_str());
        return -1;
    }
    static PkexecOpener pkexec;
    return pkexec.open(path);
}

DeviceOpener* getDeviceOpener() { return g_opener ? g_opener : &systemOpener(); }

void setDeviceOpener(DeviceOpener* opener) { g_opener = opener; }

PkexecOpener::PkexecOpener() : launcher("pkexec") {}

bool isReadOnlyDescriptorOf(int fd, const std::string& path) {
    struct stat have, want;
    if (fd < 0 || ::fstat(fd, &have) != 0 || ::stat(path.c_str(), &want) != 0) return false;
    if (!S_ISBLK(have.st_mode) || !S_ISBLK(want.st_mode) || have.st_rdev != want.st_rdev) return false;
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) == O_RDONLY;
}

int PkexecOpener::open(const std::string& path) {
    if (helper.empty()) helper = defaultHelperPath();
    const char* tool = helper.c_str();

    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        log(LOG_ERROR, "Failed to execute with privileges (%s): %ld, giving up.\n", tool, static_cast<long>(errno));
        return -1;
    }
    // The child's end becomes the helper's standard input (dup2 clears
    // close-on-exec on the copy); a low number is moved up first so that the
    // copy is a new descriptor.
    if (sv[1] <= 2) {
        int moved = ::fcntl(sv[1], F_DUPFD_CLOEXEC, 3);
        ::close(sv[1]);
        sv[1] = moved;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sv[1], 0);

    std::vector<std::string> args;
    if (!launcher.empty()) args.push_back(launcher);
    args.push_back(helper);
    args.push_back("--socket-fd");
    args.push_back("0");
    args.push_back(path);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int spawnError = sv[1] < 0 ? EBADF : ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (sv[1] >= 0) ::close(sv[1]);
    if (spawnError != 0) {
        ::close(sv[0]);
        log(LOG_ERROR, "Failed to execute with privileges (%s): %ld, giving up.\n", tool, static_cast<long>(spawnError));
        return -1;
    }

    // The helper sends the descriptor and ends; when it ends without sending,
    // the receive sees the end of the stream.
    int fd = receiveDescriptor(sv[0]);
    ::close(sv[0]);
    int status = 0;
    pid_t w;
    do {
        w = ::waitpid(pid, &status, 0);
    } while (w < 0 && errno == EINTR);

    long code = -1;
    if (w == pid && WIFEXITED(status)) {
        code = WEXITSTATUS(status);
    } else if (w == pid && WIFSIGNALED(status)) {
        code = 128 + WTERMSIG(status);
    }
    if (code == 126 || code == 127) {
        if (fd >= 0) ::close(fd);
        log(LOG_ERROR, "Pre-authorization failed: %ld, giving up.\n", code);
        if (code == 126) log(LOG_ERROR, "(user canceled entering root password)\n");
        return -1;
    }
    if (code != 0 || fd < 0) {
        if (fd >= 0) ::close(fd);
        log(LOG_ERROR, "Failed to execute with privileges (%s): %ld, giving up.\n", tool, code != 0 ? code : -1L);
        return -1;
    }
    if (!isReadOnlyDescriptorOf(fd, path)) {
        ::close(fd);
        log(LOG_ERROR, "error at PkexecOpener::open: the descriptor received is no read-only open of %s\n",
            path.c_str());
        return -1;
    }
    return fd;
}

}  // namespace vorn
