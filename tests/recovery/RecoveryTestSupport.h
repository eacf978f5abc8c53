// Test doubles for the recovery operations: a listener with chosen answers that
// records what it was told, items whose reads fail at chosen offsets, analysers
// that record the scan position, a scratch folder, a hang guard and file helpers.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>

#include "LogCapture.h"
#include "fs/VolumeItem.h"
#include "misc/Data.h"
#include "fs/AbstractAnalyser.h"
#include "recovery/AnalyserFactory.h"
#include "recovery/Recovery.h"
#include "fs/RecoveryEventListener.h"

namespace vorn::test {

struct TestListener : RecoveryEventListener {
    enum class Answer { Nothing, Overwrite, Skip, Cancel, SkipAndCancel } answer = Answer::Nothing;
    void progressEvent(double percent, bool* cancel) override {
        progress.push_back(percent);
        *cancel = *cancel || (cancelAtProgress >= 0 && static_cast<int>(progress.size()) > cancelAtProgress);
    }
    void fileSaving(const std::string&) override {}
    void askOverwrite(const std::string& path, bool* overwrite, bool* skip, bool* cancel) override {
        asked.push_back(path);
        flagsClearWhenAsked = flagsClearWhenAsked && !*overwrite && !*skip && !*cancel;
        *overwrite = answer == Answer::Overwrite;
        *skip = answer == Answer::Skip || answer == Answer::SkipAndCancel;
        *cancel = answer == Answer::Cancel || answer == Answer::SkipAndCancel;
    }
    void diskListChangedEvent() override {}
    void itemChangedEvent(VolumeItem*) override {}
    std::string localizedString(const std::string& key) override { return texts.count(key) ? texts[key] : key; }

    int cancelAtProgress = -1;  // cancel from the (n+1)-th progress call on
    std::map<std::string, std::string> texts;
    std::vector<double> progress;
    std::vector<std::string> asked;
    bool flagsClearWhenAsked = true;
};

// A file or folder with bytes in memory; a read touching a failing offset fails whole.
struct DataItem : VolumeItem {
    explicit DataItem(std::string name, std::vector<u8> data = {}, bool folder = false)
        : VolumeItem(folder), bytes(std::move(data)) { setName(std::move(name)); ++live; }
    ~DataItem() override { --live; }
    std::string getId() override { return id; }
    u32 getDate() override { return 0; }
    u64 getSize() override { return sizeOverride ? sizeOverride : bytes.size(); }
    u32 read(u64 ofs, void* buf, u32 len) override {
        auto bad = failingOffsets.lower_bound(ofs);
        if (ofs > bytes.size() || len > bytes.size() - ofs || (bad != failingOffsets.end() && *bad < ofs + len)) return 0;
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(ofs), len, static_cast<u8*>(buf));
        return len;
    }
    bool addChildren() override { ++loads; if (loader) loader(this); return true; }

    std::vector<u8> bytes;
    std::string id = "n/a";
    u64 sizeOverride = 0;
    std::set<u64> failingOffsets;
    int loads = 0;
    std::function<void(DataItem*)> loader;
    static inline int live = 0;
};

inline DataItem* add(VolumeItem* parent, DataItem* child) {
    parent->addChild(child);
    child->setParent(parent);
    child->setVolume(parent->getVolume());
    return child;
}
inline DataItem* addData(VolumeItem* parent, const std::string& name, std::vector<u8> bytes = {}) {
    return add(parent, new DataItem(name, std::move(bytes)));
}
inline DataItem* addDir(VolumeItem* parent, const std::string& name) { return add(parent, new DataItem(name, {}, true)); }
// A folder "d" that holds one more such folder each time it is loaded, endlessly.
inline DataItem* addEndlessNesting(VolumeItem* parent) {
    DataItem* top = addDir(parent, "d");
    top->loader = [](DataItem* f) { addDir(f, "d")->loader = f->loader; };
    return top;
}

inline std::vector<u8> patternBytes(size_t size, u32 seed) {
    std::vector<u8> out(size);
    u32 x = seed * 2654435761u + 1;
    for (auto& b : out) b = static_cast<u8>((x = x * 1664525u + 1013904223u) >> 24);
    return out;
}

// One scan step as analyser 0 sees it; head: the buffer's first 8 bytes, little-endian.
struct ScanStep { u64 allocBlock, block, offset; u32 dataSize; u64 head; };

// While it lives, scans get `count` analysers; analyser 0 records each step and runs onBlock.
struct AnalyserInjection {
    struct Recorder : AbstractAnalyser {
        Recorder(ScanContext* r, AnalyserInjection* in, int n) : AbstractAnalyser(r), in(in), n(std::to_string(n)) {}
        ~Recorder() override { in->calls.push_back("free:" + n); }
        void scanBegin() override { in->calls.push_back("begin:" + n); }
        void scanEnd() override { in->calls.push_back("end:" + n); }
        void scanBlock() override {
            if (n != "0") return;
            Data* d = owner->getData();
            u64 head = ~u64(0);
            if (d->getPtr() && d->getSize() >= 8) std::copy_n(d->getPtr(), 8, reinterpret_cast<u8*>(&head));
            in->steps.push_back({owner->getCurrentAllocBlock(), owner->getCurrentBlock(), owner->getCurrentOffset(),
                                 d->getSize(), head});
            if (in->onBlock) in->onBlock(owner);
        }
        AnalyserInjection* in;
        std::string n;
    };
    explicit AnalyserInjection(int count = 1, std::function<void(ScanContext*)> block = {}) : onBlock(std::move(block)) {
        setAnalyserFactoryForTesting([this, count](ScanContext* owner, int scanType, int diskType) {
            factoryCalls.push_back({scanType, diskType});
            std::vector<std::unique_ptr<AbstractAnalyser>> list;
            for (int i = 0; i < count; ++i) list.push_back(std::make_unique<Recorder>(owner, this, i));
            return list;
        });
    }
    ~AnalyserInjection() { setAnalyserFactoryForTesting({}); }

    std::function<void(ScanContext*)> onBlock;
    std::vector<std::string> calls;  // "begin:N", "end:N", "free:N"
    std::vector<ScanStep> steps;
    std::vector<std::pair<int, int>> factoryCalls;
};

// Output of a shell command; its exit status in *status.
inline std::string commandOutput(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; pipe && (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    const int rc = pipe ? pclose(pipe) : -1;
    if (status) *status = rc;
    return out;
}

struct ScratchDir {
    // A new folder in /tmp or, for thousands of small files, in memory while /dev/shm has room for four times
    // `files` and 256 MiB (other programs fill it at times).
    explicit ScratchDir(u64 files = 0) {
        struct statvfs room {};
        const bool memory = files && statvfs("/dev/shm", &room) == 0 && room.f_favail > 4 * files &&
                            room.f_bavail * room.f_frsize > (u64(256) << 20);
        std::string t = memory ? "/dev/shm/vorn_recovery_XXXXXX" : "/tmp/vorn_recovery_XXXXXX";
        path = mkdtemp(t.data()) ? t : "/tmp/vorn_recovery_failed";
    }
    ~ScratchDir() { commandOutput("rm -rf '" + path + "'"); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

// Ends the test program (SIGALRM) when the work it guards outlives `seconds`, so that a hang fails at once.
// Not a measure of speed: the limit is many times the expected time.
struct HangGuard {
    explicit HangGuard(unsigned seconds) { signal(SIGALRM, SIG_DFL), alarm(seconds); }
    ~HangGuard() { alarm(0); }
};

// Writes past `bytes` fail with EFBIG while it lives.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) : handler(signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit = old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old); signal(SIGXFSZ, handler); }
    sighandler_t handler;
    rlimit old{};
};

inline std::vector<u8> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline std::string fileText(const std::string& path) { auto b = fileBytes(path); return std::string(b.begin(), b.end()); }
inline bool writeFile(const std::string& path, const std::vector<u8>& bytes) {
    return static_cast<bool>(std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                                         static_cast<std::streamsize>(bytes.size())));
}
inline bool isDir(const std::string& path) { struct stat st {}; return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode); }
inline bool isFile(const std::string& path) { struct stat st {}; return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode); }

// Every path below root (folders with a trailing "/"), sorted.
inline std::vector<std::string> treeOf(const std::string& root, const std::string& rel = "") {
    std::vector<std::string> out;
    DIR* dir = opendir((root + "/" + rel).c_str());
    while (dirent* e = dir ? readdir(dir) : nullptr) {
        const std::string name = e->d_name, path = rel + name;
        if (name == "." || name == "..") continue;
        out.push_back(isDir(root + "/" + path) ? path + "/" : path);
        if (isDir(root + "/" + path)) for (auto& p : treeOf(root, path + "/")) out.push_back(p);
    }
    if (dir) closedir(dir);
    std::sort(out.begin(), out.end());
    return out;
}

// The ext4 partition of guard/two.img (a copy at image), attached through a loop device with its
// offset and mounted at image + ".mnt", as a user opens a partition of an image file. Needs root
// and a free loop device: loop stays empty without them, mounted false when mounting failed.
struct MountedPartition {
    explicit MountedPartition(const std::string& image) : folder(image + ".mnt") {
        int status = -1;
        loop = commandOutput("losetup -f --show -o 3145728 --sizelimit 5242880 '" + image + "' 2>/dev/null", &status);
        while (!loop.empty() && loop.back() == '\n') loop.pop_back();
        if (status != 0 || loop.empty()) {
            loop.clear();
            return;
        }
        mkdir(folder.c_str(), 0777);
        mounted = system(("mount -t ext4 '" + loop + "' '" + folder + "' 2>/dev/null").c_str()) == 0;
        // What mounting writes into the image is in place before the image is measured.
        sync();
    }
    ~MountedPartition() {
        if (mounted) commandOutput("umount '" + folder + "'");
        if (!loop.empty()) commandOutput("losetup -d '" + loop + "'");
    }
    std::string folder, loop;
    bool mounted = false;
};

}  // namespace vorn::test
