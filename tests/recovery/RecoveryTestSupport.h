// Test doubles for the recovery operations: a listener whose answers the
// test chooses and that records what the engine told it, items with data
// (and a resource fork) whose reads can fail at chosen offsets, analysers
// that record, seek or cancel, and a scratch folder.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
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

// ---------------------------------------------------------------- listener

class TestListener : public RecoveryEventListener {
public:
    enum class Answer { Nothing, Overwrite, Skip, Cancel, SkipAndCancel };

    void progressEvent(double percent, bool* cancel) override {
        progress.push_back(percent);
        if (cancelAtProgress >= 0 && static_cast<int>(progress.size()) > cancelAtProgress) *cancel = true;
        if (onProgress) onProgress(percent, cancel);
    }
    void fileSaving(const std::string& path) override { saving.push_back(path); }
    void askOverwrite(const std::string& path, bool* overwrite, bool* skip, bool* cancel) override {
        asked.push_back(path);
        flagsClearWhenAsked = flagsClearWhenAsked && !*overwrite && !*skip && !*cancel;
        switch (answer) {
            case Answer::Nothing: break;
            case Answer::Overwrite: *overwrite = true; break;
            case Answer::Skip: *skip = true; break;
            case Answer::Cancel: *cancel = true; break;
            case Answer::SkipAndCancel: *skip = true; *cancel = true; break;
        }
    }
    void diskListChangedEvent() override { ++diskListChanges; }
    void itemChangedEvent(VolumeItem* item) override { changed.push_back(item); }
    std::string localizedString(const std::string& key) override {
        auto it = texts.find(key);
        return it == texts.end() ? key : it->second;
    }

    Answer answer = Answer::Nothing;
    // Sets the cancel flag from the (n+1)-th progress call on; -1 never.
    int cancelAtProgress = -1;
    std::function<void(double, bool*)> onProgress;
    std::map<std::string, std::string> texts;

    std::vector<double> progress;
    std::vector<std::string> saving;
    std::vector<std::string> asked;
    std::vector<VolumeItem*> changed;
    bool flagsClearWhenAsked = true;
    int diskListChanges = 0;
};

// ---------------------------------------------------------------- items

// A file or folder with bytes in memory. Reads at chosen offsets fail (the
// whole request fails when it touches a failing byte, like a volume read).
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
    u64 getSize() override { return sizeOverride ? *sizeOverride : bytes.size(); }
    u32 read(u64 ofs, void* buf, u32 len) override {
        reads.push_back({ofs, len});
        if (ofs > bytes.size() || len > bytes.size() - ofs) return 0;
        for (u64 bad : failingOffsets) {
            if (bad >= ofs && bad < ofs + len) return 0;
        }
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
    std::optional<u64> sizeOverride;
    std::set<u64> failingOffsets;
    std::vector<std::pair<u64, u32>> reads;
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

inline DataItem* addDataFile(VolumeItem* parent, const std::string& name, std::vector<u8> bytes) {
    return adopt(parent, new DataItem(name, std::move(bytes)));
}

inline DataItem* addDataFolder(VolumeItem* parent, const std::string& name) {
    return adopt(parent, new DataItem(name, {}, true));
}

inline std::vector<u8> patternBytes(size_t size, u32 seed) {
    std::vector<u8> out(size);
    u32 x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<u8>(x >> 24);
    }
    return out;
}

// ---------------------------------------------------------------- analysers

// One observation of the scan position, as an analyser sees it.
struct ScanStep {
    u64 allocBlock;
    u64 block;
    u64 offset;
    u32 dataSize;
    std::vector<u8> head;  // the first bytes of the data buffer
};

struct AnalyserLog {
    std::vector<std::string> calls;  // "begin:N", "end:N", "free:N"
    std::vector<ScanStep> steps;     // of analyser 0 only
};

class RecordingAnalyser : public AbstractAnalyser {
public:
    RecordingAnalyser(Recovery* owner, AnalyserLog* log, int number) : AbstractAnalyser(owner), m_log(log), m_number(number) {}
    ~RecordingAnalyser() override { m_log->calls.push_back("free:" + std::to_string(m_number)); }
    void scanBegin() override { m_log->calls.push_back("begin:" + std::to_string(m_number)); }
    void scanBlock() override {
        ++blocks;
        if (m_number == 0) {
            Data* d = owner->getData();
            ScanStep step{owner->getCurrentAllocBlock(), owner->getCurrentBlock(), owner->getCurrentOffset(),
                          d->getSize(), {}};
            if (d->getPtr()) step.head.assign(d->getPtr(), d->getPtr() + std::min<u32>(d->getSize(), 16));
            m_log->steps.push_back(std::move(step));
        }
        if (onBlock) onBlock(owner);
    }
    void scanEnd() override { m_log->calls.push_back("end:" + std::to_string(m_number)); }

    u64 blocks = 0;
    std::function<void(Recovery*)> onBlock;

private:
    AnalyserLog* m_log;
    int m_number;
};

// Installs a factory of recording analysers for its lifetime.
class AnalyserInjection {
public:
    explicit AnalyserInjection(int count = 1, std::function<void(Recovery*)> onBlock = {}) {
        setAnalyserFactoryForTesting([this, count, onBlock](Recovery* owner, int scanType, int diskType) {
            factoryCalls.push_back({scanType, diskType});
            std::vector<AbstractAnalyser*> list;
            for (int i = 0; i < count; ++i) {
                auto* a = new RecordingAnalyser(owner, &log, i);
                if (i == 0) a->onBlock = onBlock;
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

// ---------------------------------------------------------------- files

class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/vorn_recovery_XXXXXX";
        const char* made = mkdtemp(tmpl);
        path = made ? made : "/tmp";
    }
    ~ScratchDir() {
        const std::string command = "rm -rf '" + path + "'";
        if (std::system(command.c_str()) != 0) {}
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

inline bool readWholeFile(const std::string& path, std::vector<u8>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

inline std::vector<u8> fileBytes(const std::string& path) {
    std::vector<u8> out;
    readWholeFile(path, out);
    return out;
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

// Every path below root (relative, folders with a trailing "/"), sorted.
inline void listTree(const std::string& root, const std::string& rel, std::vector<std::string>& out) {
    for (const std::string& name : listDir(root + "/" + rel)) {
        const std::string path = rel.empty() ? name : rel + "/" + name;
        if (isRealDir(root + "/" + path)) {
            out.push_back(path + "/");
            listTree(root, path, out);
        } else {
            out.push_back(path);
        }
    }
}

inline std::vector<std::string> treeOf(const std::string& root) {
    std::vector<std::string> out;
    listTree(root, "", out);
    std::sort(out.begin(), out.end());
    return out;
}

// Output of a shell command, or "" when it could not run.
inline std::string commandOutput(const std::string& command, int* status = nullptr) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
        const int rc = pclose(pipe);
        if (status) *status = rc;
    } else if (status) {
        *status = -1;
    }
    return out;
}

}  // namespace vorn::test
