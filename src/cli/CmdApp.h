// The terminal front end of the engine.
//
// CmdApp takes its commands as words: first the words of the command line,
// then, in interactive mode, the words of each line typed at the prompt "> ".
// It chooses disks and items through tree and table models, drives Recovery
// for browsing, scanning and saving, and is itself the engine's listener.
// Its diagnostic commands (x, dmp, cmp, test, newimg, raid, raidsim) live in
// CmdDiagnostics.cpp.
//
// Ownership: owns the disk manager, the Recovery, the tree and table models
// shown, the RAID simulators made by "raidsim" (they outlive the simulated
// disks, which the disk manager owns). selectedItems and
// selectedFolder point into the Recovery's result tree; they are cleared
// whenever that tree is replaced or another disk is chosen, so they never
// dangle.
//
// Output goes to the out and err streams (standard output and standard error
// unless a test hands in others); engine log lines go to out through a log
// listener that escapes control characters in them. Single-threaded.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "misc/LoggerEventListener.h"
#include "misc/Types.h"
#include "fs/RecoveryEventListener.h"

namespace vorn {

class Base;
class Disk;
class DiskManager;
class RAIDDisk;
class RAIDSimulator;
class Recovery;
class TableModelInterface;
class TreeModelInterface;
class VolumeItem;

class CmdApp : public RecoveryEventListener {
public:
    // Makes the disk manager that init scans; the default is the platform's.
    using DiskManagerFactory = std::function<std::unique_ptr<DiskManager>()>;

    CmdApp();
    // For tests: other streams and another disk manager.
    CmdApp(FILE* in, FILE* out, FILE* err, DiskManagerFactory makeDiskManager);
    virtual ~CmdApp();
    CmdApp(const CmdApp&) = delete;
    CmdApp& operator=(const CmdApp&) = delete;

    int run(int argc, char** argv);
    void execute(const std::vector<std::string>& words);

    // RecoveryEventListener
    void progressEvent(double percent, bool* cancel) override;
    void fileSaving(const std::string& path) override;
    void askOverwrite(const std::string& path, bool* overwrite, bool* skip, bool* cancel) override;
    void diskListChangedEvent() override;
    void itemChangedEvent(VolumeItem* item) override;
    std::string localizedString(const std::string& key) override;

    // Read by tests.
    Recovery* getRecovery() const { return recovery.get(); }
    DiskManager* getDiskManager() const { return diskManager.get(); }
    const std::vector<VolumeItem*>& getSelectedItems() const { return selectedItems; }
    VolumeItem* getSelectedFolder() const { return selectedFolder; }
    bool isInteractive() const { return interactive; }

private:
    // Writes engine log lines to the out stream with control characters escaped.
    class LogSink final : public LoggerEventListener {
    public:
        explicit LogSink(FILE* out) : out(out) {}
        void logEvent(const char* text) override;

    private:
        FILE* out;
    };

    void init();
    void printHelp();
    void selectItem(Base* item);
    Base* chooseTreeItem(const std::string& path);
    Base* chooseTreeItemByName(const std::string& part);
    Base* chooseTableItem(const std::string& index);
    void dumpTree(u32 maxDepth);
    void dumpTreeNode(Base* node, const std::string& path, u32 depth, u32 maxDepth);
    bool isOnWayToSelectedFolder(Base* node);
    void dumpTable();

    // One command or option word: the words it needs after it, what it does
    // and its lines in the help text. run is handed the words, the index of
    // the command word and the index after its arguments, which it may move
    // when it takes a varying number of words.
    struct Command {
        const char* word;
        size_t arguments;
        void (*run)(CmdApp& app, const std::vector<std::string>& words, size_t at, size_t& next);
        const char* help;
        bool option = false;
    };
    static const std::vector<Command>& commands();

    // Runs the command word at words[at]; returns the number of words it
    // consumed, its own word included.
    size_t executeWord(const std::vector<std::string>& words, size_t at, bool& stop);
    void commandImage(const std::string& path);
    void commandCompare(const std::string& diskName);
    void commandDiskSelection();
    void commandChooseTableItem(const std::string& index);
    void commandChooseTreeItem(const std::string& path);
    void commandChooseTreeItemByName(const std::string& part);
    void commandBrowse();
    void commandScan(int scanType);
    void commandRecover(const std::string& folder);
    void replaceTreeModel(std::unique_ptr<TreeModelInterface> model);
    void dropTableModel();
    // The result tree is about to be replaced, or another disk is chosen.
    void clearSelection();

    // Diagnostic commands (CmdDiagnostics.cpp).
    void hexdumpBlock(const std::string& blockWord);
    void dumpBlocks(const std::string& rangeWord);
    void compareDisk(Disk* other);
    void performUnitTests();
    void createImage();
    void raidSimulate(const std::vector<std::string>& words, size_t at);
    size_t raidBuild(const std::vector<std::string>& words, size_t at);

    void out(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void err(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void outLine(const std::string& text);

    FILE* inStream;
    FILE* outStream;
    FILE* errStream;
    DiskManagerFactory makeDiskManager;
    std::unique_ptr<LogSink> logSink;
    LoggerEventListener* previousLogListener = nullptr;

    std::unique_ptr<DiskManager> diskManager;
    Base* selectedItem = nullptr;
    std::unique_ptr<TreeModelInterface> treeModel;
    std::unique_ptr<TableModelInterface> tableModel;
    std::vector<VolumeItem*> selectedItems;
    VolumeItem* selectedFolder = nullptr;
    double lastProgress = 0;
    u32 dumpDepth = 0;
    bool interactive = false;
    bool cancelHintShown = false;
    std::unique_ptr<Recovery> recovery;
    std::vector<std::unique_ptr<RAIDSimulator>> simulators;
};

}  // namespace vorn
