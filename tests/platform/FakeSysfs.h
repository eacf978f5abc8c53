// A made-up sysfs, /dev, udev database and mountinfo file in a temporary
// folder, laid out as the kernel lays out the real ones:
//
//   sys/devices/<device path>/block/<disk>/{size,dev,removable,uevent,...}
//   sys/devices/<device path>/block/<disk>/<partition>/{size,partition,...}
//   sys/block/<disk> -> ../devices/<device path>/block/<disk>
//   sys/dev/block/MAJ:MIN -> the disk's or partition's folder
//   <disk folder>/device -> ../.. (the device folder with vendor, model, type)
//
// Virtual devices (loop, ram, md, dm) live in sys/devices/virtual/block.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "platform/SysfsMediaScanner.h"

namespace vorn::test {

class FakeSysfs {
public:
    struct DiskSpec {
        std::string name;
        std::string devicePath;  // below sys/devices; empty: virtual
        unsigned long long sectors = 0;  // 512-byte units
        unsigned logicalBlockSize = 512;
        int removable = 0;
        unsigned major = 8;
        unsigned minor = 0;
        std::string vendor;
        std::string model;
        std::string scsiType;     // device/type ("0" disk, "5" optical, "SD" for MMC)
        std::string backingFile;  // loop devices
        bool hidden = false;
        std::string devName;      // uevent DEVNAME; empty: the name
    };

    FakeSysfs() {
        char templ[] = "/tmp/vorn-fakesys-XXXXXX";
        const char* dir = mkdtemp(templ);
        m_root = dir ? dir : "";
        std::filesystem::create_directories(m_root + "/sys/block");
        std::filesystem::create_directories(m_root + "/sys/dev/block");
        std::filesystem::create_directories(m_root + "/dev");
        std::filesystem::create_directories(m_root + "/udev");
        write("mountinfo", "");
    }
    ~FakeSysfs() {
        std::error_code ec;
        if (!m_root.empty()) std::filesystem::remove_all(m_root, ec);
    }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    const std::string& root() const { return m_root; }

    SysfsRoots roots() const {
        SysfsRoots r;
        r.sys = m_root + "/sys";
        r.dev = m_root + "/dev";
        r.mountInfo = m_root + "/mountinfo";
        r.udevData = m_root + "/udev";
        return r;
    }

    // Writes a file below the root, making its folders.
    void write(const std::string& rel, const std::string& content) {
        const std::string path = m_root + "/" + rel;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    void link(const std::string& rel, const std::string& target) {
        const std::string path = m_root + "/" + rel;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::error_code ec;
        std::filesystem::remove(path, ec);
        std::filesystem::create_symlink(target, path);
    }

    // The disk's folder below the root.
    std::string diskFolder(const std::string& name) const { return m_disks.count(name) ? m_disks.at(name) : ""; }

    void addDisk(const DiskSpec& d) {
        const std::string device = d.devicePath.empty() ? "sys/devices/virtual" : "sys/devices/" + d.devicePath;
        const std::string folder = device + "/block/" + d.name;
        m_disks[d.name] = folder;
        write(folder + "/size", std::to_string(d.sectors) + "\n");
        write(folder + "/dev", std::to_string(d.major) + ":" + std::to_string(d.minor) + "\n");
        write(folder + "/removable", std::to_string(d.removable) + "\n");
        write(folder + "/hidden", d.hidden ? "1\n" : "0\n");
        write(folder + "/queue/logical_block_size", std::to_string(d.logicalBlockSize) + "\n");
        write(folder + "/uevent", "MAJOR=" + std::to_string(d.major) + "\nMINOR=" + std::to_string(d.minor) +
                                      "\nDEVNAME=" + (d.devName.empty() ? d.name : d.devName) + "\nDEVTYPE=disk\n");
        if (!d.devicePath.empty()) {
            link(folder + "/device", "../..");
            if (!d.vendor.empty()) write(device + "/vendor", d.vendor + "\n");
            if (!d.model.empty()) write(device + "/model", d.model + "\n");
            if (!d.scsiType.empty()) write(device + "/type", d.scsiType + "\n");
        }
        if (!d.backingFile.empty()) write(folder + "/loop/backing_file", d.backingFile + "\n");
        link("sys/block/" + d.name, relativeFrom("sys/block", folder));
        link("sys/dev/block/" + std::to_string(d.major) + ":" + std::to_string(d.minor),
             relativeFrom("sys/dev/block", folder));
    }

    void addPartition(const std::string& disk, const std::string& name, int number, unsigned long long sectors,
                      unsigned major, unsigned minor, const std::string& gptName = "") {
        const std::string folder = m_disks.at(disk) + "/" + name;
        write(folder + "/size", std::to_string(sectors) + "\n");
        write(folder + "/partition", std::to_string(number) + "\n");
        write(folder + "/start", "2048\n");
        write(folder + "/dev", std::to_string(major) + ":" + std::to_string(minor) + "\n");
        std::string uevent = "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) +
                             "\nDEVNAME=" + name + "\nDEVTYPE=partition\nPARTN=" + std::to_string(number) + "\n";
        if (!gptName.empty()) uevent += "PARTNAME=" + gptName + "\n";
        write(folder + "/uevent", uevent);
        link("sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor),
             relativeFrom("sys/dev/block", folder));
    }

    // The udev database entry of a device: "E:KEY=VALUE" lines.
    void setUdev(unsigned major, unsigned minor, const std::string& properties) {
        write("udev/b" + std::to_string(major) + ":" + std::to_string(minor), properties);
    }

    // A mountinfo line mounting the device at point.
    void addMount(unsigned major, unsigned minor, const std::string& source, const std::string& point,
                  const std::string& type = "ext4") {
        static int id = 30;
        m_mountInfo += std::to_string(id++) + " 1 " + std::to_string(major) + ":" + std::to_string(minor) + " / " +
                       point + " rw,relatime shared:1 - " + type + " " + source + " rw\n";
        write("mountinfo", m_mountInfo);
    }

    // dev/disk/by-label/<encodedLabel> -> ../../<node>
    void addLabelLink(const std::string& encodedLabel, const std::string& node) {
        link("dev/disk/by-label/" + encodedLabel, "../../" + node);
    }

private:
    static std::string relativeFrom(const std::string& fromFolder, const std::string& target) {
        return std::filesystem::path(target).lexically_relative(fromFolder).string();
    }

    std::string m_root;
    std::string m_mountInfo;
    std::map<std::string, std::string> m_disks;
};

}  // namespace vorn::test
