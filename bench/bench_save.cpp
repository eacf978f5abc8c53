// Saving a large file from a FAT32 image against mcopy copying the same file
// out of the same image, in the same run. The image (made once with mkfs.fat
// and mcopy, kept in /tmp) is in the page cache; both sides write a new file
// into the same folder, which is removed and the dirty data written back between runs, outside
// the timing.
// The closing line gives the save's throughput as a ratio to mcopy's, of
// the median and of the best runs.
//
// Many small files: a folder of 2000 files of 2 KiB saved, against mcopy
// copying the same folder, with 32 image files listed in the disk manager
// so that every file's target is checked against a real set of files being
// read. The check itself is measured on its own too: opening 2000 new
// target files through it (lstat, open, fstat, compare) against the open
// the save made before it had the check (lstat, exclusive open, fstat); and
// through the whole guard a save builds (the same files, the block devices
// over them, and the mount rules, which look up each target's folder in the
// machine's mount table).
//
// Many folders: a tree of 15,000 empty folders (150 of 100 each) saved,
// against mcopy copying the same tree, every folder made through the check
// of the folder it goes into. That check is measured on its own too: making
// the 15,000 folders through makeFolders against the steps the save took
// before it (lstat, stat of the parent, lstat, mkdir, lstat).
//
// Environment: VORN_BENCH_DIR (default /tmp); VORN_BENCH_MIB, the file's
// size in MiB (default 512).
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include "BenchFiles.h"
#include "fs/VolumeItem.h"
#include "misc/Log.h"
#include "misc/OutputFile.h"
#include "platform/MountGuard.h"
#include "platform/VolumeInfo.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryUtils.h"
#include "storage/DiskManager.h"
#include "storage/ImageDisk.h"

namespace {

using vorn::u64;

std::string g_image;
std::string g_outDir;
u64 g_size = 0;
const char* kFileName = "BIG.BIN";

std::string g_smallImage;
std::string g_smallOut;
constexpr int kSmallFiles = 2000;
constexpr u64 kSmallSize = 2048;
constexpr int kListedImages = 32;
const char* kSmallFolder = "SMALL";

bool makeImage() {
    const std::string dir = vorn::bench::envOr("VORN_BENCH_DIR", "/tmp");
    g_size = vorn::bench::envMiB("VORN_BENCH_MIB", 512);
    g_image = dir + "/vorn_bench_save_fat.img";
    g_outDir = dir + "/vorn_bench_save_out";
    const std::string source = dir + "/vorn_bench_save_src.bin";
    const std::string stamp = g_image + "." + std::to_string(g_size >> 20);
    if (access(stamp.c_str(), F_OK) != 0) {
        const u64 volumeSize = g_size + g_size / 4 + (64ull << 20);
        if (!vorn::bench::writeRandomFile(source, g_size, 0x5A7E)) return false;
        unlink(g_image.c_str());
        if (!vorn::bench::run("mkfs.fat -C -F 32 -s 8 -i 5A7E5A7E '" + g_image + "' " +
                              std::to_string(volumeSize >> 10) + " >/dev/null 2>&1")) {
            return false;
        }
        if (!vorn::bench::run("MTOOLS_SKIP_CHECK=1 mcopy -i '" + g_image + "' '" + source + "' ::/" + kFileName)) {
            return false;
        }
        unlink(source.c_str());
        if (!vorn::bench::run("touch '" + stamp + "'")) return false;
    }
    if (!vorn::bench::run("mkdir -p '" + g_outDir + "'")) return false;
    vorn::bench::warm(g_image);
    return true;
}

// A FAT16 image with kSmallFiles files of kSmallSize bytes in /SMALL, and
// kListedImages small image files to list beside it.
bool makeSmallImage() {
    const std::string dir = vorn::bench::envOr("VORN_BENCH_DIR", "/tmp");
    g_smallImage = dir + "/vorn_bench_save_small.img";
    g_smallOut = dir + "/vorn_bench_save_small_out";
    const std::string stamp = g_smallImage + ".stamp";
    if (access(stamp.c_str(), F_OK) != 0) {
        const std::string source = dir + "/vorn_bench_save_small_src/" + kSmallFolder;
        if (!vorn::bench::run("rm -rf '" + dir + "/vorn_bench_save_small_src' && mkdir -p '" + source + "'")) return false;
        for (int i = 0; i < kSmallFiles; ++i) {
            if (!vorn::bench::writeRandomFile(source + "/F" + std::to_string(i) + ".BIN", kSmallSize, u64(i) + 1)) {
                return false;
            }
        }
        unlink(g_smallImage.c_str());
        if (!vorn::bench::run("mkfs.fat -C -F 16 -i 5A7E0002 '" + g_smallImage + "' 32768 >/dev/null 2>&1") ||
            !vorn::bench::run("MTOOLS_SKIP_CHECK=1 mcopy -s -i '" + g_smallImage + "' '" + source + "' ::/")) {
            return false;
        }
        for (int i = 0; i < kListedImages; ++i) {
            if (!vorn::bench::writeRandomFile(dir + "/vorn_bench_save_listed" + std::to_string(i) + ".img", 65536, 7)) {
                return false;
            }
        }
        if (!vorn::bench::run("rm -rf '" + dir + "/vorn_bench_save_small_src' && touch '" + stamp + "'")) return false;
    }
    vorn::bench::warm(g_smallImage);
    return true;
}

std::string g_treeImage;
std::string g_treeOut;
constexpr int kTreeFolders = 150;
constexpr int kTreeSubfolders = 100;
constexpr int kTreeTotal = kTreeFolders * kTreeSubfolders;
const char* kTreeFolder = "TREE";

// A FAT16 image with /TREE/D0 .. D149, each holding S0 .. S99, all empty.
bool makeTreeImage() {
    const std::string dir = vorn::bench::envOr("VORN_BENCH_DIR", "/tmp");
    g_treeImage = dir + "/vorn_bench_save_tree.img";
    g_treeOut = dir + "/vorn_bench_save_tree_out";
    const std::string stamp = g_treeImage + ".stamp";
    if (access(stamp.c_str(), F_OK) != 0) {
        const std::string source = dir + "/vorn_bench_save_tree_src";
        unlink(g_treeImage.c_str());
        if (!vorn::bench::run("rm -rf '" + source + "' && mkdir -p '" + source + "/" + kTreeFolder + "' && cd '" +
                              source + "/" + kTreeFolder + "' && bash -c 'mkdir -p D{0..149}/S{0..99}'") ||
            !vorn::bench::run("mkfs.fat -C -F 16 -s 1 -i 5A7E0003 '" + g_treeImage + "' 24576 >/dev/null 2>&1") ||
            !vorn::bench::run("MTOOLS_SKIP_CHECK=1 mcopy -s -i '" + g_treeImage + "' '" + source + "/" + kTreeFolder +
                              "' ::/") ||
            !vorn::bench::run("rm -rf '" + source + "' && touch '" + stamp + "'")) {
            return false;
        }
    }
    vorn::bench::warm(g_treeImage);
    return true;
}

std::string outFile() { return g_outDir + "/" + kFileName; }

// Empties an output folder, with the dirty data written back, outside the
// timing.
void resetOut(benchmark::State& state, const std::string& folder) {
    state.PauseTiming();
    vorn::bench::run("rm -rf '" + folder + "' && mkdir -p '" + folder + "'");
    sync();
    state.ResumeTiming();
}

void resetSmallOut(benchmark::State& state) { resetOut(state, g_smallOut); }
void resetTreeOut(benchmark::State& state) { resetOut(state, g_treeOut); }

// One timed run of run a repetition, each after reset (outside the timing);
// a run that fails skips the benchmark with failure.
template <typename Reset, typename Run>
void timeEach(benchmark::State& state, const char* name, Reset&& reset, Run&& run, const char* failure) {
    for (auto _ : state) {
        reset(state);
        if (!vorn::bench::timeRun(state, name, run)) {
            state.SkipWithError(failure);
            break;
        }
    }
}

// The disks a save runs among: kListedImages image files listed, then image,
// whose disk is returned.
vorn::Disk* listBesideImages(vorn::DiskManager& manager, const std::string& image) {
    const std::string dir = vorn::bench::envOr("VORN_BENCH_DIR", "/tmp");
    for (int i = 0; i < kListedImages; ++i) manager.addImageDisk(dir + "/vorn_bench_save_listed" + std::to_string(i) + ".img");
    return manager.addImageDisk(image);
}

// The files behind every disk of manager, as a save protects them.
vorn::ProtectedFiles filesReadBy(vorn::DiskManager& manager) {
    vorn::ProtectedFiles files;
    for (vorn::u32 i = 0; i < manager.getDiskCount(); ++i) vorn::protectFilesReadBy(manager.getDisk(i), files);
    return files;
}

// mcopy copying the folder named folderName of image into out, emptied
// before each run.
void mcopyFolder(benchmark::State& state, const std::string& image, const char* folderName, const std::string& out,
                 const char* name, int items) {
    const std::string command =
        "MTOOLS_SKIP_CHECK=1 mcopy -s -n -i '" + image + "' ::/" + folderName + " '" + out + "/'";
    timeEach(
        state, name, [&](benchmark::State& s) { resetOut(s, out); }, [&] { return vorn::bench::run(command); },
        "mcopy failed");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items));
}

void BM_McopySmall(benchmark::State& state) {
    mcopyFolder(state, g_smallImage, kSmallFolder, g_smallOut, "mcopy small", kSmallFiles);
}

// Saves the folder named folderName of image's volume, kListedImages image
// files listed beside it, into the folder that reset empties; done tells
// whether a save did all it should.
template <typename Reset, typename Done>
void saveFolderOfImage(benchmark::State& state, const std::string& image, const char* folderName, const char* name,
                       Reset&& reset, Done&& done) {
    vorn::DiskManager manager;
    vorn::Disk* disk = listBesideImages(manager, image);
    vorn::Recovery recovery;
    recovery.setDiskManager(&manager);
    if (!disk || !recovery.selectDisk(disk)) {
        state.SkipWithError("cannot open the image");
        return;
    }
    recovery.openExistingVolume();
    vorn::VolumeItem* folder = nullptr;
    if (vorn::VolumeItem* root = recovery.getRootItem()) {
        root->loadChildren();
        for (vorn::VolumeItem* child : root->children()) {
            if (child->getName() == folderName) folder = child;
        }
    }
    if (!folder) {
        state.SkipWithError("the folder is not in the volume");
        return;
    }
    timeEach(state, name, reset, [&] { return done(recovery, folder); }, "save failed");
    recovery.selectDisk(nullptr);
}

void BM_RecoverySaveSmall(benchmark::State& state) {
    saveFolderOfImage(state, g_smallImage, kSmallFolder, "save small", resetSmallOut,
                      [](vorn::Recovery& recovery, vorn::VolumeItem* folder) {
                          recovery.save({folder}, g_smallOut);
                          return recovery.getLastSaveOk() && recovery.getSavedFileCount() == kSmallFiles;
                      });
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kSmallFiles));
}

// Creates kSmallFiles new files in an emptied folder with open, each closed
// at once.
template <typename Open>
void openNewFiles(benchmark::State& state, const char* name, Open&& open) {
    timeEach(
        state, name, resetSmallOut,
        [&] {
            for (int i = 0; i < kSmallFiles; ++i) {
                const int fd = open(g_smallOut + "/F" + std::to_string(i) + ".BIN");
                if (fd < 0) return false;
                close(fd);
            }
            return true;
        },
        "open failed");
}

// A new target file opened through the check against files, as a save
// opens it.
int openChecked(const std::string& path, const vorn::ProtectedFiles& files) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) return -1;
    vorn::OutputOpen result = vorn::OutputOpen::Failed;
    return vorn::openOutputFile(path, files, vorn::OutputTarget{false, true}, result);
}

// The save's open before the check: lstat, then an exclusive create that
// does not follow links, then fstat for a regular file.
void BM_OpenWithoutCheck(benchmark::State& state) {
    openNewFiles(state, "open without check", [](const std::string& path) {
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0) return -1;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            close(fd);
            return -1;
        }
        return fd;
    });
}

// The save's open through the check, against the files behind 33 listed disks.
void BM_OpenWithCheck(benchmark::State& state) {
    vorn::DiskManager manager;
    listBesideImages(manager, g_smallImage);
    const vorn::ProtectedFiles files = filesReadBy(manager);
    openNewFiles(state, "open with check", [&](const std::string& path) { return openChecked(path, files); });
}

// The same through the guard a save builds, mount rules and loop devices included.
void BM_OpenWithGuard(benchmark::State& state) {
    vorn::DiskManager manager;
    listBesideImages(manager, g_smallImage);
    vorn::ProtectedFiles files = filesReadBy(manager);
    vorn::guardMounts(files);
    vorn::protectDevicesOverFiles(files);
    openNewFiles(state, "open with guard", [&](const std::string& path) { return openChecked(path, files); });
}

void BM_McopyTree(benchmark::State& state) {
    mcopyFolder(state, g_treeImage, kTreeFolder, g_treeOut, "mcopy tree", kTreeTotal);
}

void BM_RecoverySaveTree(benchmark::State& state) {
    const std::string last = g_treeOut + "/" + kTreeFolder + "/D" + std::to_string(kTreeFolders - 1) + "/S" +
                             std::to_string(kTreeSubfolders - 1);
    saveFolderOfImage(state, g_treeImage, kTreeFolder, "save tree", resetTreeOut,
                      [&](vorn::Recovery& recovery, vorn::VolumeItem* folder) {
                          recovery.save({folder}, g_treeOut);
                          struct stat st {};
                          return recovery.getLastSaveOk() && stat(last.c_str(), &st) == 0;
                      });
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kTreeTotal));
}

// Makes the tree's 15,000 folders (and their 150 parents) in an emptied
// folder with make (path, parent).
template <typename Make>
void makeTreeFolders(benchmark::State& state, const char* name, Make&& make) {
    timeEach(
        state, name, resetTreeOut,
        [&] {
            for (int d = 0; d < kTreeFolders; ++d) {
                const std::string parent = g_treeOut + "/D" + std::to_string(d);
                if (!make(parent, g_treeOut)) return false;
                for (int k = 0; k < kTreeSubfolders; ++k) {
                    if (!make(parent + "/S" + std::to_string(k), parent)) return false;
                }
            }
            return true;
        },
        "mkdir failed");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kTreeTotal));
}

// The save's folder making before the check went through makeFolders.
void BM_FoldersWithoutCheck(benchmark::State& state) {
    makeTreeFolders(state, "folders without check", [](const std::string& path, const std::string& parent) {
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 || stat(parent.c_str(), &st) != 0 || lstat(path.c_str(), &st) == 0) return false;
        return mkdir(path.c_str(), 0777) == 0 && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    });
}

// The save's folder making now: through makeFolders, against the files
// behind 33 listed disks.
void BM_FoldersWithCheck(benchmark::State& state) {
    vorn::DiskManager manager;
    listBesideImages(manager, g_treeImage);
    const vorn::ProtectedFiles files = filesReadBy(manager);
    makeTreeFolders(state, "folders with check", [&](const std::string& path, const std::string&) {
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 || lstat(path.c_str(), &st) == 0) return false;
        return vorn::makeFolders(path, files) == vorn::FolderMade::Ready && lstat(path.c_str(), &st) == 0 &&
               S_ISDIR(st.st_mode);
    });
}

// Removes the large file's copy, outside the timing, with no writeback left
// over from an earlier run.
void resetOutFile(benchmark::State& state) {
    state.PauseTiming();
    sync();
    unlink(outFile().c_str());
    state.ResumeTiming();
}

void BM_Mcopy(benchmark::State& state) {
    const std::string command =
        "MTOOLS_SKIP_CHECK=1 mcopy -n -i '" + g_image + "' ::/" + kFileName + " '" + outFile() + "'";
    timeEach(state, "mcopy", resetOutFile, [&] { return vorn::bench::run(command); }, "mcopy failed");
    unlink(outFile().c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

void BM_RecoverySave(benchmark::State& state) {
    vorn::ImageDisk image(g_image);
    vorn::Recovery recovery;
    if (!recovery.selectDisk(&image)) {
        state.SkipWithError("cannot open the image");
        return;
    }
    recovery.openExistingVolume();
    vorn::VolumeItem* root = recovery.getRootItem();
    vorn::VolumeItem* file = nullptr;
    if (root) {
        root->loadChildren();
        for (vorn::VolumeItem* child : root->children()) {
            if (child->getName() == kFileName) file = child;
        }
    }
    if (!file || file->getSize() != g_size) {
        state.SkipWithError("the file is not in the volume");
        return;
    }
    timeEach(
        state, "save", resetOutFile,
        [&] {
            recovery.save({file}, g_outDir);
            return recovery.getLastSaveOk() && recovery.getDamagedFileCount() == 0;
        },
        "save failed");
    unlink(outFile().c_str());
    recovery.selectDisk(nullptr);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

BENCHMARK(BM_Mcopy)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(9);
BENCHMARK(BM_RecoverySave)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(9);
BENCHMARK(BM_McopySmall)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(9);
BENCHMARK(BM_RecoverySaveSmall)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(9);
BENCHMARK(BM_OpenWithoutCheck)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(9);
BENCHMARK(BM_OpenWithCheck)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(9);
BENCHMARK(BM_OpenWithGuard)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(9);
BENCHMARK(BM_McopyTree)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(5);
BENCHMARK(BM_RecoverySaveTree)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(5);
BENCHMARK(BM_FoldersWithoutCheck)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(5);
BENCHMARK(BM_FoldersWithCheck)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    vorn::setLogLevel(vorn::LOG_ERROR);
    if (!makeImage() || !makeSmallImage() || !makeTreeImage()) {
        fprintf(stderr, "cannot make the benchmark image\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    const vorn::bench::RunTimes& times = vorn::bench::runTimes();
    times.printRatio("save", "mcopy", g_size, "ratio to mcopy, target >= 1.0");
    const auto perItem = [&](const char* name, const char* baseline, const char* what, int items) {
        const double us = 1e6 / items;
        printf("%s: median %.1f us vs %.1f us a file => %.2f; best %.1f us vs %.1f us => %.2f (%s)\n", name,
               times.median(name) * us, times.median(baseline) * us, times.median(name) / times.median(baseline),
               times.best(name) * us, times.best(baseline) * us, times.best(name) / times.best(baseline), what);
    };
    const auto perFile = [&](const char* name, const char* baseline, const char* what) {
        perItem(name, baseline, what, kSmallFiles);
    };
    if (times.median("save small") > 0 && times.median("mcopy small") > 0)
        perFile("save small", "mcopy small", "2000 files of 2 KiB saved, time against mcopy's");
    if (times.median("open with check") > 0 && times.median("open without check") > 0)
        perFile("open with check", "open without check", "2000 target files opened, time against the open before it");
    if (times.median("open with guard") > 0 && times.median("open without check") > 0)
        perFile("open with guard", "open without check", "the same through the save's whole guard, mounts included");
    if (times.median("save tree") > 0 && times.median("mcopy tree") > 0)
        perItem("save tree", "mcopy tree", "15,000 empty folders saved, time a folder against mcopy's", kTreeTotal);
    if (times.median("folders with check") > 0 && times.median("folders without check") > 0)
        perItem("folders with check", "folders without check",
                "15,000 folders made, time a folder against the steps before the check", kTreeTotal);
    benchmark::Shutdown();
    return 0;
}
