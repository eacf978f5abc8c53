// A read-only loop device over an image file for tests that need a real
// block device. Needs root and losetup; available() tells whether it was
// made. The device is detached when the object goes.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vorn::test {

class LoopDevice {
public:
    // options: extra losetup options ("--sector-size 4096", "-P").
    explicit LoopDevice(const std::string& image, const std::string& options = "") {
        if (geteuid() != 0) return;
        const std::string cmd = "losetup -r -f --show " + options + " '" + image + "' 2>/dev/null";
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return;
        char buf[256] = {0};
        if (fgets(buf, sizeof buf, p)) m_path = buf;
        if (pclose(p) != 0) m_path.clear();
        while (!m_path.empty() && (m_path.back() == '\n' || m_path.back() == ' ')) m_path.pop_back();
    }
    ~LoopDevice() {
        if (!m_path.empty()) std::system(("losetup -d " + m_path + " 2>/dev/null").c_str());
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    // Makes the kernel list the partitions when the attach did not (in some
    // containers the partition scan of the attach does not happen).
    void ensurePartitions() const {
        if (m_path.empty()) return;
        const std::string sys = "/sys/block/" + name();
        const std::string cmd = "ls " + sys + " | grep -q '^" + name() + "p' || partx -a " + m_path + " 2>/dev/null";
        (void)std::system(cmd.c_str());
    }

    bool available() const { return !m_path.empty(); }
    const std::string& path() const { return m_path; }          // "/dev/loop3"
    std::string name() const { return m_path.substr(m_path.find_last_of('/') + 1); }  // "loop3"

private:
    std::string m_path;
};

}  // namespace vorn::test
