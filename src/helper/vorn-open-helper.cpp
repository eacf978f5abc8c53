// vorn-open-helper: opens one block device read-only with administrator
// rights and hands the open descriptor to the program that asked for it.
//
//   vorn-open-helper --socket-fd N /dev/NAME
//
// Run by vorn through the desktop's authorization service (pkexec), which
// starts it as root. N is a Unix stream socket inherited from vorn; the
// descriptor is sent over it (SCM_RIGHTS) and the helper ends.
//
// What it refuses: anything that is not a block device, anything whose real
// path is not under /dev, a path through a folder that users may write to
// (such as /dev/shm), and every kind of write access. It never changes a
// node's owner or mode.
//
// Exit status: 0 sent, 1 wrong arguments, 2 refused, 3 open failed,
// 4 sending failed.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

int fail(int status, const char* what, const char* path) {
    fprintf(stderr, "vorn-open-helper: %s%s%s\n", what, path ? ": " : "", path ? path : "");
    return status;
}

bool parseFd(const char* text, int& fd) {
    if (!text || !*text) return false;
    long v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        if (v > 65535) return false;
    }
    fd = static_cast<int>(v);
    return true;
}

// Every folder from /dev down to the node must belong to root and be
// writable by nobody else, so that no user can swap a component between the
// checks and the open.
bool safeFolders(const std::string& path) {
    size_t slash = path.find('/', 5);
    std::string folder = "/dev";
    for (;;) {
        struct stat st;
        if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
        if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
        if (slash == std::string::npos) return true;
        folder = path.substr(0, slash);
        slash = path.find('/', slash + 1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int sock = -1;
    if (argc != 4 || strcmp(argv[1], "--socket-fd") != 0 || !parseFd(argv[2], sock)) {
        return fail(1, "usage: vorn-open-helper --socket-fd N /dev/NAME", nullptr);
    }
    struct stat sst;
    if (fstat(sock, &sst) != 0 || !S_ISSOCK(sst.st_mode)) return fail(1, "descriptor is no socket", argv[2]);

    const char* asked = argv[3];
    if (strncmp(asked, "/dev/", 5) != 0) return fail(2, "not a device under /dev", asked);
    char resolved[PATH_MAX];
    if (!realpath(asked, resolved)) return fail(3, strerror(errno), asked);
    const std::string path = resolved;
    if (path.compare(0, 5, "/dev/") != 0 || path.size() <= 5) return fail(2, "not a device under /dev", asked);
    if (!safeFolders(path)) return fail(2, "device lies in a folder that users may write to", asked);

    // Checked before the open so that no other kind of node is ever opened.
    struct stat before;
    if (lstat(path.c_str(), &before) != 0) return fail(3, strerror(errno), asked);
    if (!S_ISBLK(before.st_mode)) return fail(2, "not a block device", asked);

    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) return fail(3, strerror(errno), asked);
    struct stat after;
    if (fstat(fd, &after) != 0 || !S_ISBLK(after.st_mode) || after.st_rdev != before.st_rdev) {
        close(fd);
        return fail(2, "device changed while it was opened", asked);
    }

    char byte = 'v';
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    memset(control, 0, sizeof control);
    msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    ssize_t n;
    do {
        n = sendmsg(sock, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n != 1) return fail(4, strerror(errno), asked);
    return 0;
}
