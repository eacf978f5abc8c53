// The command-line front end: start-up, the command words, choosing disks
// and items through the models, the tree and table dumps, the help text and
// the engine listener. The diagnostic commands are in CmdDiagnostics.cpp.
#include "cli/CmdApp.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "cli/CmdWords.h"
#include "misc/TableModelInterface.h"
#include "misc/TreeModelInterface.h"
#include "fs/VolumeItem.h"
#include "recovery/VolumeTableModel.h"
#include "recovery/VolumeTreeModel.h"
#include "misc/Log.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryUtils.h"
#include "platform/CreateDiskManager.h"
#include "storage/Disk.h"
#include "storage/DiskManager.h"
#include "storage/DiskManagerTreeModel.h"
#include "storage/ImageDisk.h"
#include "storage/RAIDDisk.h"
#include "storage/RAIDSimulator.h"

namespace vorn {

namespace {

// Bounds of the walks over a tree model: a damaged volume may describe a
// folder that contains itself, so its outline never ends by itself.
constexpr u32 kMaxTreeDepth = 1024;
constexpr u64 kMaxNamedSearchNodes = 1000000;

// The help text around the lines of the command and option words.
const char* const kCommandsTitle = "---commands-----------------------";
const char* const kParameterLines[] = {
    "---paramters-----------------------",
    "[substr]        exact name or part of it",
    "[treeidx]       index into tree for each depth (e.g.  0.1 means second item in first node)",
    "[tableidx]      index into table (e.g. 0 means first table item)",
    "[parity]        none,forward,backward,forwarddyn,backwarddyn,forwarddelay,backwarddelay,auto",
    "[#]             number (decimal)",
    "---options------------------------",
};
const char* const kExampleLines[] = {
    "---examples-----------------------",
    "-cli img C:\\case1.img b",
    "  choose disk image (case1.img) and browse volume",
    "-cli ctn C: b",
    "  choose tree item (C:) and browse volume",
    "-cli ct 0.1.2 sd ct 0 r ~/temp",
    "  choose tree item (0.1.2), scan it for deleted files, choose tree item (0) and finally recover it",
    "-cli raid 3 forward 128 Disk00 63 Disk01 63 Disk02 63 b",
    "  build RAID with 3 disks and browse volume",
    "--------------------------------------",
};

bool isVolumeItem(Base* node) { return node && node->isKindOf(KIND_VOLUME_ITEM); }
bool isDisk(Base* node) { return node && node->isKindOf(KIND_DISK); }

// An image file that can be read: the check the image disk makes when it is
// created, made beforehand so that an unreadable file is not listed.
bool canOpenImageFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && isImageFileType(info.st_mode) && access(path.c_str(), R_OK) == 0;
}

}  // namespace

void CmdApp::LogSink::logEvent(const char* text) {
    if (!text) return;
    const std::string line = escapeLogLine(text);
    fwrite(line.data(), 1, line.size(), out);
}

CmdApp::CmdApp() : CmdApp(stdin, stdout, stderr, nullptr) {}

CmdApp::CmdApp(FILE* in, FILE* out, FILE* err, DiskManagerFactory factory)
    : inStream(in), outStream(out), errStream(err), makeDiskManager(std::move(factory)) {}

CmdApp::~CmdApp() {
    logWrite(LOG_DEBUG, "destroying CmdApp");
    clearSelection();
    recovery.reset();
    tableModel.reset();
    treeModel.reset();
    diskManager.reset();
    // The simulated disks read through their simulator; they went with the
    // disk manager.
    simulators.clear();
    if (logSink) {
        fflush(outStream);
        setLogListener(previousLogListener);
    }
}

// ---- output

void CmdApp::out(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vfprintf(outStream, format, ap);
    va_end(ap);
}

void CmdApp::err(const char* format, ...) {
    // What was written to out so far comes first on a shared terminal.
    fflush(outStream);
    va_list ap;
    va_start(ap, format);
    vfprintf(errStream, format, ap);
    va_end(ap);
    fflush(errStream);
}

void CmdApp::outLine(const std::string& text) {
    fwrite(text.data(), 1, text.size(), outStream);
    fputc('\n', outStream);
}

// ---- start-up and the prompt

int CmdApp::run(int argc, char** argv) {
    for (int i = 0; i < argc; ++i)
        if (argv[i] && strcmp(argv[i], "-v") == 0) setLogLevel(LOG_DEBUG);

    // Engine lines may carry names read from a disk.
    if (!logSink) {
        logSink = std::make_unique<LogSink>(outStream);
        previousLogListener = getLogListener();
        setLogListener(logSink.get());
    }

    log(LOG_INFO, "using command line\n");
    log(LOG_DEBUG, "argc = %d\n", argc);
    std::vector<std::string> words;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i] ? argv[i] : "";
        log(LOG_DEBUG, "[%d] = %s\n", i, arg);
        if (i > 0) words.emplace_back(arg);
    }

    init();
    execute(words);

    out(interactive ? "interactive mode ('h' for help, 'q' to quit)\n" : "(run with command 'h' for help)\n");
    while (interactive) {
        out("> ");
        fflush(outStream);
        char* line = nullptr;
        size_t capacity = 0;
        const ssize_t length = getline(&line, &capacity, inStream);
        if (length < 0) {
            // End of input ends the loop as "q" does.
            free(line);
            interactive = false;
            // On a terminal the next text starts on a line of its own.
            if (isatty(fileno(inStream))) out("\n");
            break;
        }
        const std::string text(line, static_cast<size_t>(length));
        free(line);
        execute(splitWords(text));
    }
    out("bye\n");
    fflush(outStream);
    return 0;
}

void CmdApp::init() {
    log(LOG_DEBUG, "creating CmdApp\n");
    selectedFolder = nullptr;
    dumpDepth = 0;
    lastProgress = 0;
    interactive = false;
    cancelHintShown = false;

    diskManager = makeDiskManager ? makeDiskManager() : createDiskManager();
    recovery = std::make_unique<Recovery>();
    recovery->setListener(this);
    recovery->setDiskManager(diskManager.get());
    recovery->selectDisk(nullptr);

    diskManager->scanForDisks();
    diskManager->scanForPartitions();
    diskManager->dump();

    commandDiskSelection();
}

// ---- command words

void CmdApp::execute(const std::vector<std::string>& words) {
    size_t at = 0;
    while (at < words.size()) {
        bool stop = false;
        at += executeWord(words, at, stop);
        if (stop) break;
    }
}

const std::vector<CmdApp::Command>& CmdApp::commands() {
    using Words = std::vector<std::string>;
    // In the order of the help text: the commands, then the options.
    static const std::vector<Command> table = {
        {"h", 0, [](CmdApp& app, const Words&, size_t, size_t&) { app.printHelp(); },
         "h               show this help"},
        {"q", 0, [](CmdApp& app, const Words&, size_t, size_t&) { app.interactive = false; },
         "q               leave interactive mode"},
        {"img", 1, [](CmdApp& app, const Words& w, size_t at, size_t&) { app.commandImage(w[at + 1]); },
         "img [file]      add disk image to disk selection and choose it"},
        {"raid", 7, [](CmdApp& app, const Words& w, size_t at, size_t& next) { next = at + app.raidBuild(w, at); },
         "raid [diskcnt#] [parity] [stripeblocks#] [disk0] [startsec#] [disk1] [startsec#] etc.\n"
         "                add and choose RAID with parameters for disks with start block"},
        {"raidsim", 4, [](CmdApp& app, const Words& w, size_t at, size_t&) { app.raidSimulate(w, at); },
         "raidsim [diskcnt#] [parity] [stripeblocks#] [startsec#]\n"
         "                add simulated RAID disks for selected disk"},
        {"ctn", 1, [](CmdApp& app, const Words& w, size_t at, size_t&) { app.commandChooseTreeItemByName(w[at + 1]); },
         "ctn [substr]    choose tree item by substring"},
        {"ct", 1, [](CmdApp& app, const Words& w, size_t at, size_t&) { app.commandChooseTreeItem(w[at + 1]); },
         "ct [treeidx]    choose tree item"},
        {"cl", 1, [](CmdApp& app, const Words& w, size_t at, size_t&) { app.commandChooseTableItem(w[at + 1]); },
         "cl [tableidx]   choose table item"},
        {"b", 0, [](CmdApp& app, const Words&, size_t, size_t&) { app.commandBrowse(); },
         "b               browse volume"},
        {"sd", 0, [](CmdApp& app, const Words&, size_t, size_t&) { app.commandScan(SCAN_DELETED_FILES); },
         "sd              scan deleted files"},
        {"sf", 0, [](CmdApp& app, const Words&, size_t, size_t&) { app.commandScan(SCAN_LOST_FILES); },
         "sf              scan lost files"},
        {"sv", 0, [](CmdApp& app, const Words&, size_t, size_t&) { app.commandScan(SCAN_LOST_VOLUMES); },
         "sv              scan lost volumes"},
        {"r", 1, [](CmdApp& app, const Words& w, size_t at, size_t&) { app.commandRecover(w[at + 1]); },
         "r [path]        recover selected item to path"},
        {"d", 0, [](CmdApp& app, const Words&, size_t, size_t&) { app.commandDiskSelection(); },
         "d               go back to disk selection"},
        {"x", 1, [](CmdApp& app, const Words& w, size_t at, size_t&) { app.hexdumpBlock(w[at + 1]); },
         "x [block#]      hexdump block"},
        {"newimg", 0, [](CmdApp& app, const Words&, size_t, size_t&) { app.createImage(); },
         "newimg          create image file for selected disk"},
        {"dmp", 1, [](CmdApp& app, const Words& w, size_t at, size_t&) { app.dumpBlocks(w[at + 1]); },
         "dmp [#]-[#]     dump bock range to file"},
        {"cmp", 1, [](CmdApp& app, const Words& w, size_t at, size_t&) { app.commandCompare(w[at + 1]); },
         "cmp [disk]      compare specified disk content with selected disk content"},
        {"test", 0, [](CmdApp& app, const Words&, size_t, size_t&) { app.performUnitTests(); },
         "test            perform unit tests"},
        {"-cli", 0, [](CmdApp&, const Words&, size_t, size_t&) {}, "-cli            use command line (required)",
         true},
        {"-v", 0, [](CmdApp&, const Words&, size_t, size_t&) { setLogLevel(LOG_DEBUG); },
         "-v              verbose debug output", true},
        {"-i", 0, [](CmdApp& app, const Words&, size_t, size_t&) { app.interactive = true; },
         "-i              activate interactive mode", true},
        {"-h", 0, [](CmdApp& app, const Words&, size_t, size_t&) { app.printHelp(); }, nullptr, true},
    };
    return table;
}

size_t CmdApp::executeWord(const std::vector<std::string>& words, size_t at, bool& stop) {
    const std::string& word = words[at];
    const auto& table = commands();
    const auto command =
        std::find_if(table.begin(), table.end(), [&](const Command& entry) { return word == entry.word; });
    if (command == table.end()) {
        err("error: unknown command (%s)\n", escapeControlChars(word).c_str());
        stop = true;
        return 1;
    }
    // A command without all of its words takes only itself and does nothing.
    if (words.size() - at - 1 < command->arguments) return 1;
    size_t next = at + 1 + command->arguments;
    command->run(*this, words, at, next);
    return next - at;
}

void CmdApp::commandImage(const std::string& path) {
    if (!canOpenImageFile(path)) {
        // The line the image disk gives for a file it cannot open; such a
        // file is neither listed nor chosen.
        log(LOG_ERROR, "error opening file %s\n", path.c_str());
        return;
    }
    Disk* disk = diskManager->addImageDisk(path);
    selectItem(disk);
}

void CmdApp::commandCompare(const std::string& diskName) {
    Base* other = chooseTreeItemByName(diskName);
    if (!isDisk(other)) {
        err("error: no disk\n");
        return;
    }
    compareDisk(static_cast<Disk*>(other));
}

void CmdApp::commandDiskSelection() {
    replaceTreeModel(std::make_unique<DiskManagerTreeModel>(diskManager.get()));
    dropTableModel();
    dumpTree(99);
}

void CmdApp::commandChooseTableItem(const std::string& index) {
    selectedItem = chooseTableItem(index);
    if (!isVolumeItem(selectedItem)) return;
    VolumeItem* item = static_cast<VolumeItem*>(selectedItem);
    out("table item selected: %s\n", escapeControlChars(item->getName()).c_str());
    selectedItems.clear();
    selectedItems.push_back(item);
}

void CmdApp::commandChooseTreeItem(const std::string& path) {
    selectedItem = chooseTreeItem(path);
    selectItem(selectedItem);
}

void CmdApp::commandChooseTreeItemByName(const std::string& part) {
    selectedItem = chooseTreeItemByName(part);
    selectItem(selectedItem);
}

void CmdApp::commandBrowse() {
    clearSelection();
    replaceTreeModel(std::make_unique<VolumeTreeModel>(recovery.get()));
    recovery->openExistingVolume();
    dumpTree(1);
}

void CmdApp::commandScan(int scanType) {
    clearSelection();
    // A lost-volumes scan leaves the outline as it was: the volumes it finds
    // show up as partitions in the disk tree.
    if (scanType != SCAN_LOST_VOLUMES) replaceTreeModel(std::make_unique<VolumeTreeModel>(recovery.get()));
    recovery->setScanType(scanType);
    recovery->scan();
    dumpTree(scanType == SCAN_LOST_FILES ? 2 : 99);
}

void CmdApp::commandRecover(const std::string& folderWord) {
    const std::string folder = expandHome(folderWord);
    const std::string conflict = saveTargetConflict(folder, recovery->getDisk());
    if (!conflict.empty()) {
        err("%s", conflict.c_str());
        return;
    }
    // The folder, and those missing on the way, are made only where nothing
    // that vorn reads lies beneath; a refusal has its line from the engine.
    if (!selectedItems.empty() && !folder.empty() && !isDirectory(folder)) {
        const FolderMade made = recovery->makeFolders(folder);
        if (made == FolderMade::Refused) return;
        if (made == FolderMade::Failed) {
            err("error: cannot create folder %s (%s)\n", escapeControlChars(folder).c_str(), strerror(errno));
            return;
        }
    }
    recovery->save(selectedItems, folder);
}

void CmdApp::replaceTreeModel(std::unique_ptr<TreeModelInterface> model) {
    treeModel = std::move(model);
}

void CmdApp::dropTableModel() {
    tableModel.reset();
}

void CmdApp::clearSelection() {
    selectedItems.clear();
    selectedFolder = nullptr;
    selectedItem = nullptr;
    dropTableModel();
}

// ---- choosing

void CmdApp::selectItem(Base* item) {
    if (!item) {
        err("error: nothing selected!\n");
        return;
    }
    if (item->isKindOf(KIND_DISK)) {
        Disk* disk = static_cast<Disk*>(item);
        // Choosing a disk (even the same one again) replaces the result tree.
        clearSelection();
        recovery->selectDisk(disk);
        out("disk selected: %s\n", escapeControlChars(disk->getName()).c_str());
        disk->dump();
        return;
    }
    if (item->isKindOf(KIND_VOLUME_ITEM)) {
        VolumeItem* volumeItem = static_cast<VolumeItem*>(item);
        out("tree item selected: %s\n", escapeControlChars(volumeItem->getName()).c_str());
        selectedItems.push_back(volumeItem);
        if (volumeItem->isContainer()) {
            selectedFolder = volumeItem;
            dropTableModel();
            tableModel = std::make_unique<VolumeTableModel>(recovery.get(), volumeItem);
        }
        dumpTree(0);
        dumpTable();
    }
}

Base* CmdApp::chooseTreeItem(const std::string& path) {
    if (!treeModel) return nullptr;
    std::vector<long long> indexes;
    if (!parseTreePath(path, indexes)) return nullptr;
    // The walk starts above the root, whose only child is the root.
    Base* root = treeModel->getRoot();
    if (indexes[0] != 0 || !root) {
        err("error: invalid tree index!\n");
        return nullptr;
    }
    Base* current = root;
    for (size_t k = 1; k < indexes.size(); ++k) {
        const u32 count = treeModel->getChildCount(current);
        if (indexes[k] < 0 || indexes[k] >= static_cast<long long>(count)) {
            err("error: invalid tree index!\n");
            return nullptr;
        }
        current = treeModel->getChild(current, static_cast<u32>(indexes[k]));
        if (!current) {
            err("error: invalid tree index!\n");
            return nullptr;
        }
    }
    return current;
}

Base* CmdApp::chooseTreeItemByName(const std::string& part) {
    if (!treeModel) return nullptr;
    Base* root = treeModel->getRoot();
    if (!root) return nullptr;
    // Depth first, parents before children, children in model order.
    struct Step {
        Base* node;
        u32 depth;
    };
    std::vector<Step> stack{{root, 0}};
    u64 visited = 0;
    while (!stack.empty() && visited < kMaxNamedSearchNodes) {
        const Step step = stack.back();
        stack.pop_back();
        ++visited;
        if (treeModel->getText(step.node).find(part) != std::string::npos) return step.node;
        if (step.depth + 1 >= kMaxTreeDepth) continue;
        const u32 count = treeModel->getChildCount(step.node);
        for (u32 i = count; i > 0; --i) {
            Base* child = treeModel->getChild(step.node, i - 1);
            if (child) stack.push_back({child, step.depth + 1});
        }
    }
    return nullptr;
}

Base* CmdApp::chooseTableItem(const std::string& indexWord) {
    if (!tableModel) return nullptr;
    u32 index = 0;
    VolumeItem* item = nullptr;
    if (parseIndexWord(indexWord, tableModel->getRowCount(), index)) item = tableModel->getItem(index);
    if (!item) err("error: invalid table index!\n");
    return item;
}

// ---- dumps

void CmdApp::dumpTree(u32 maxDepth) {
    if (maxDepth == 0) maxDepth = dumpDepth;
    dumpDepth = maxDepth;
    Base* root = treeModel ? treeModel->getRoot() : nullptr;
    if (!root) return;
    out("-----------tree model dump-----------\n");
    dumpTreeNode(root, "0", 0, maxDepth);
    out("-------------------------------------\n");
}

void CmdApp::dumpTreeNode(Base* node, const std::string& path, u32 depth, u32 maxDepth) {
    const std::string line = treeDumpLine(depth, path, treeModel->getText(node));
    fwrite(line.data(), 1, line.size(), outStream);
    if (depth + 1 >= kMaxTreeDepth) return;
    if (depth >= maxDepth && !isOnWayToSelectedFolder(node)) return;
    const u32 count = treeModel->getChildCount(node);
    for (u32 i = 0; i < count; ++i) {
        Base* child = treeModel->getChild(node, i);
        if (child) dumpTreeNode(child, path + "." + std::to_string(i), depth + 1, maxDepth);
    }
}

bool CmdApp::isOnWayToSelectedFolder(Base* node) {
    u32 steps = 0;
    for (VolumeItem* item = selectedFolder; item && steps < kMaxTreeDepth; item = item->getParent(), ++steps)
        if (static_cast<Base*>(item) == node) return true;
    return false;
}

void CmdApp::dumpTable() {
    if (!tableModel) return;
    out("-----------table model dump-----------\n");
    const u32 columns = tableModel->getColumnCount();
    const u32 rows = tableModel->getRowCount();
    std::vector<std::string> cells(columns);
    for (long long row = -1; row < static_cast<long long>(rows); ++row) {
        for (u32 column = 0; column < columns; ++column)
            cells[column] = row < 0 ? tableModel->getColumnName(column)
                                    : tableModel->getText(static_cast<u32>(row), column);
        const std::string line = tableDumpLine(static_cast<int>(row), cells);
        fwrite(line.data(), 1, line.size(), outStream);
    }
    out("-------------------------------------\n");
}

void CmdApp::printHelp() {
    outLine(kCommandsTitle);
    for (const Command& command : commands())
        if (!command.option && command.help) outLine(command.help);
    for (const char* line : kParameterLines) outLine(line);
    for (const Command& command : commands())
        if (command.option && command.help) outLine(command.help);
    for (const char* line : kExampleLines) outLine(line);
}

// ---- listener

void CmdApp::progressEvent(double percent, bool* cancel) {
    (void)cancel;
    if (!cancelHintShown) {
        out("press ESC (CTRL on WinCE) to cancel\n");
        cancelHintShown = true;
    }
    if (percent != lastProgress) {
        out("\r...%.02f", static_cast<double>(static_cast<float>(percent)));
        fflush(outStream);
        lastProgress = percent;
    }
    Disk* disk = recovery ? recovery->getDisk() : nullptr;
    if (disk && disk->getReadErrors() != 0)
        err("read errors: %lld\n", static_cast<long long>(disk->getReadErrors()));
}

void CmdApp::fileSaving(const std::string& path) { out("recovering file %s\n", escapeControlChars(path).c_str()); }

void CmdApp::askOverwrite(const std::string& path, bool* overwrite, bool* skip, bool* cancel) {
    (void)skip;
    (void)cancel;
    out("ask for overwrite: %s\n", escapeControlChars(path).c_str());
    if (overwrite) *overwrite = true;
}

void CmdApp::diskListChangedEvent() { out("disk list changed\n"); }

void CmdApp::itemChangedEvent(VolumeItem* item) { (void)item; }

std::string CmdApp::localizedString(const std::string& key) { return key; }

}  // namespace vorn
