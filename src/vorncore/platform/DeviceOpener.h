// How device nodes are opened, and how rights are obtained when the user may
// not read a node.
//
// Every open is read-only (O_RDONLY | O_CLOEXEC); nothing here can return a
// write-capable descriptor, and nothing changes a node's owner or mode.
// When a node refuses the user (EACCES, EPERM), LinuxDisk asks
// openWithRights once: the system's opener runs our helper
// "vorn-open-helper" through the desktop's authorization service (pkexec);
// the helper opens the node read-only as administrator and hands the open
// descriptor back over a Unix socket (SCM_RIGHTS).
//
// The opener is process-wide and replaceable, so that tests can stand in for
// the system (setDeviceOpener). Not thread-safe; the engine runs on one
// thread.
#pragma once

#include <string>

namespace vorn {

class DeviceOpener {
public:
    virtual ~DeviceOpener() = default;

    // Opens the node read-only; the descriptor, or the negated errno.
    virtual int openReadOnly(const std::string& path);

    // Obtains a read-only descriptor of the node with administrator rights;
    // the descriptor, or -1 after logging why not. A process that runs as
    // administrator already asks nobody.
    virtual int openWithRights(const std::string& path);
};

// The process-wide opener: the one last set, else the system's.
DeviceOpener* getDeviceOpener();
// Sets the process-wide opener (not owned); null restores the system's.
void setDeviceOpener(DeviceOpener* opener);

// Runs the helper through the authorization service and receives the
// descriptor it opened.
//
// The helper gets one end of a socket pair as its standard input and is told
// that descriptor number ("--socket-fd 0"): the authorization service closes
// every other inherited descriptor before it starts the helper. Exit status
// 126 of the service means the user dismissed the request, 127 that the
// right was refused or could not be obtained.
class PkexecOpener {
public:
    PkexecOpener();

    // The launcher ("pkexec", looked up in PATH) and the helper's absolute
    // path. By default the helper is the "vorn-open-helper" next to the
    // running program, else /usr/libexec/vorn/vorn-open-helper.
    void setLauncher(const std::string& launcherPath) { launcher = launcherPath; }
    void setHelperPath(const std::string& helperPath) { helper = helperPath; }
    const std::string& helperPath() const { return helper; }

    // A read-only descriptor of the node, or -1 after logging why not. The
    // descriptor received is checked: a block device, the node asked for,
    // opened read-only.
    int open(const std::string& path);

private:
    std::string launcher;
    std::string helper;
};

// True when the descriptor is open read-only on the block device that path
// names.
bool isReadOnlyDescriptorOf(int fd, const std::string& path);

}  // namespace vorn
