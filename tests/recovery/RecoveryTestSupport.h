// Test doubles for the recovery operations: a listener whose answers the
// test chooses and that records what the engine told it, items with data
// (and a resource fork) whose reads fail at chosen offsets, recording
// analysers, a scratch folder and file helpers.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fs/ForkedItem.h"
#include "fs/VolumeItem.h"
#include "misc/Data.h"
#include "recovery/AbstractAnalyser.h"
#include "recovery/AnalyserFactory.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryEventListener.h"

namespace vorn::test {

class TestListener : public RecoveryEventListener {
public:
    enum class Answer { Nothing, Overwrite, Skip, Cancel, SkipAndCancel };

    void progressEvent(double percent, bool* cancel) override {
        progress.push_back(percent);
        if (cancelAtProgress >= 0 && static_cast<int>(progress.size()) > cancelAtProgress) *cancel = true;
    }
    void fileSaving(const std::string& path) override { saving.push_back(path); }
    void askOverwrite(const std::string& path, bool* overwrite, bool* skip, bool* cancel) override {
        asked.push_back(path);
        flagsClearWhenAsked = flagsClearWhenAsked && !*overwrite && !*skip && !*cancel;
        *overwrite = answer == Answer::Overwrite;
        *skip = answer == Answer::Skip || answer == Answer::SkipAndCancel;
        *cancel = answer == Answer::Cancel || answer == Answer::SkipAndCancel;
    }
    void diskListChangedEvent() override {}
    void itemChangedEvent(VolumeItem* item) override { changed.push_back(item); }
    std::string localizedString(const std::string& key) override {
        auto it = texts.find(key);
        return it == texts.end() ? key : it->second;
    }

    Answer answer = Answer::Nothing;
    int cancelAtProgress = -1;  // cancels from the (n+1)-th progress call on; -1 never
    std::map<std::string, std::string> texts;
    std::vector<double> progress;
    std::vector<std::string> saving, asked;
    std::vector<VolumeItem*> changed;
    bool flagsClearWhenAsked = true;
};

// A file or folder with bytes in memory; a read fails when it touches one of
// the failing offsets (like a volume read over a bad sector).
class DataItem : public VolumeItem {
public:
    explicit DataItem(std::string name, std::vector<u8> bytes = {}, bool folder = false)
        : VolumeItem(folder), bytes(std::move(bytes)) {
        setName(std::move(name));
        ++live;
    }
    ~DataItem() override { --live; }

    std::string getId() override { return id; }
    u32 getDate() override { return date; }
    u64 getSize() override { return size ? size : bytes.size(); }
    u32 read(u64 ofs, void* buf, u32 len) override {
        reads.push_back(len);
        if (ofs > bytes.size() || len > bytes.size() - ofs) return 0;
        auto bad = failingOffsets.lower_bound(ofs);
        if (bad != failingOffsets.end() && *bad < ofs + len) return 0;
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(ofs), len, static_cast<u8*>(buf));
        return len;
    }
    bool addChildren() override {
        ++loads;
        if (loader) loader(this);
        return true;
    }

    std::vector<u8> bytes;
    std::string id = "n/a";
    u32 date = 0;
    u64 size = 0;  // when not 0, the size the item claims
    std::set<u64> failingOffsets;
    std::vector<u32> reads;
    int loads = 0;
    std::function<void(DataItem*)> loader;
    static inline int live = 0;
};

// An HFS Plus-like item: kind 5 with a resource fork.
class ForkItem : public DataItem, public ForkedItem {
public:
    ForkItem(std::string name, std::vector<u8> data, std::vector<u8> fork)
        : DataItem(std::move(name), std::move(data)), fork(std::move(fork)) {}
    bool isKindOf(int kind) const override { return kind == KIND_HFS_VOLUME_ITEM || DataItem::isKindOf(kind); }
    u64 getResourceForkSize() override { return fork.size(); }
    u32 readResourceFork(u64 ofs, void* buf, u32 len) override {
        if (ofs > fork.size() || len > fork.size() - ofs) return 0;
        std::copy_n(fork.begin() + static_cast<std::ptrdiff_t>(ofs), len, static_cast<u8*>(buf));
        return len;
    }
    std::vector<u8> fork;
};

template <typename T>
T* adopt(VolumeItem* parent, T* child) {
    parent->addChild(child);
    child->setParent(parent);
    child->setVolume(parent->getVolume());
    return child;
}
inline DataItem* addDataFile(VolumeItem* parent, const std::string& name, std::vector<u8> bytes = {}) {
    return adopt(parent, new DataItem(name, std::move(bytes)));
}
inline DataItem* addDataFolder(VolumeItem* parent, const std::string& name) {
    return adopt(parent, new DataItem(name, {}, true));
}
// A folder that holds a folder of the same name each time it is loaded.
inline DataItem* addEndlessFolder(VolumeItem* parent, const std::string& name) {
    DataItem* top = addDataFolder(parent, name);
    top->loader = [name](DataItem* f) { addEndlessFolder(f, name); };
    return top;
}

inline std::vector<u8> patternBytes(size_t size, u32 seed) {
    std::vector<u8> out(size);
    u32 x = seed * 2654435761u + 1;
    for (auto& b : out) b = static_cast<u8>((x = x * 1664525u + 1013904223u) >> 24);
    return out;
}

// What an analyser saw of one step of the scan.
struct ScanStep {
    u64 allocBlock, block, offset;
    u32 dataSize;
    std::vector<u8> head;  // the first bytes of the data buffer
};

struct AnalyserLog {
    std::vector<std::string> calls;  // "begin:N", "end:N", "free:N"
    std::vector<ScanStep> steps;     // of analyser 0
};

class RecordingAnalyser : public AbstractAnalyser {
public:
    RecordingAnalyser(Recovery* owner, AnalyserLog* log, int number) : AbstractAnalyser(owner), m_log(log), m_number(number) {}
    ~RecordingAnalyser() override { m_log->calls.push_back("free:" + std::to_string(m_number)); }
    void scanBegin() override { m_log->calls.push_back("begin:" + std::to_string(m_number)); }
    void scanBlock() override {
        if (m_number == 0) {
            Data* d = owner->getData();
            ScanStep step{owner->getCurrentAllocBlock(), owner->getCurrentBlock(), owner->getCurrentOffset(),
                          d->getSize(), {}};
            if (d->getPtr()) step.head.assign(d->getPtr(), d->getPtr() + std::min<u32>(d->getSize(), 16));
            m_log->steps.push_back(std::move(step));
            if (onBlock) onBlock(owner);
        }
    }
    void scanEnd() override { m_log->calls.push_back("end:" + std::to_string(m_number)); }
    std::function<void(Recovery*)> onBlock;

private:
    AnalyserLog* m_log;
    int m_number;
};

// Recording analysers in place of the registry's while it lives.
class AnalyserInjection {
public:
    explicit AnalyserInjection(int count = 1, std::function<void(Recovery*)> onBlock = {}) {
        setAnalyserFactoryForTesting([this, count, onBlock](Recovery* owner, int scanType, int diskType) {
            factoryCalls.push_back({scanType, diskType});
            std::vector<AbstractAnalyser*> list;
            for (int i = 0; i < count; ++i) {
                auto* a = new RecordingAnalyser(owner, &log, i);
                a->onBlock = onBlock;
                list.push_back(a);
            }
            return list;
        });
    }
    ~AnalyserInjection() { setAnalyserFactoryForTesting({}); }
    AnalyserInjection(const AnalyserInjection&) = delete;
    AnalyserInjection& operator=(const AnalyserInjection&) = delete;

    AnalyserLog log;
    std::vector<std::pair<int, int>> factoryCalls;
};

class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/vorn_recovery_XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~ScratchDir() {
        if (std::system(("rm -rf '" + path + "'").c_str()) != 0) {}
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

inline std::vector<u8> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline std::string fileText(const std::string& path) {
    const std::vector<u8> bytes = fileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}
inline bool writeWholeFile(const std::string& path, const std::vector<u8>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}
inline bool isRealDir(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
inline bool isRegularFile(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Names in a folder, "." and ".." left out, sorted.
inline std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Every path below root, relative, folders with a trailing "/", sorted.
inline std::vector<std::string> treeOf(const std::string& root, const std::string& rel = "") {
    std::vector<std::string> out;
    for (const std::string& name : listDir(root + "/" + rel)) {
        const std::string path = rel.empty() ? name : rel + "/" + name;
        if (!isRealDir(root + "/" + path)) {
            out.push_back(path);
            continue;
        }
        out.push_back(path + "/");
        for (const std::string& below : treeOf(root, path)) out.push_back(below);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// While it lives, writes that make a file larger than `bytes` fail with
// EFBIG (the signal they raise is ignored).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : m_oldHandler(signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    sighandler_t m_oldHandler;
    rlimit m_old{};
};

// Output of a shell command; its exit status in *status.
inline std::string commandOutput(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    const int rc = pclose(pipe);
    if (status) *status = rc;
    return out;
}

}  // namespace vorn::test
