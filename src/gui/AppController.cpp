#include "gui/AppController.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QSysInfo>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/RecoveryEventListener.h"
#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "gui/AppLog.h"
#include "gui/BackgroundView.h"
#include "gui/CrashHandler.h"
#include "gui/CutTextToolTips.h"
#include "gui/Desktop.h"
#include "gui/Engine.h"
#include "gui/HoverButton.h"
#include "gui/Icons.h"
#include "gui/ItemPreviews.h"
#include "gui/KvFeedbackProvider.h"
#include "gui/ProgressSheet.h"
#include "gui/StringTable.h"
#include "gui/TableAdapter.h"
#include "gui/TextLines.h"
#include "gui/TreeAdapter.h"
#include "misc/Log.h"
#include "misc/Utils.h"
#include "platform/CreateDiskManager.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryUtils.h"
#include "recovery/VolumeTableModel.h"
#include "recovery/VolumeTreeModel.h"
#include "storage/Disk.h"
#include "storage/DiskManager.h"
#include "storage/DiskManagerTreeModel.h"

namespace vorn::gui {

namespace {

QString ui(const char* key) { return uiStrings().text(QString::fromLatin1(key)); }

QString fromStd(const std::string& text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

// A name from a disk as it may be shown: plain text, controls and bidi
// marks escaped.
QString shown(const std::string& text) { return fromStd(escapeControlChars(text)); }

void userLog(const char* line) { qInfo("%s", line); }

// On the engine thread, after a disk is chosen to be read (and around the
// copy of alsoReading into an image file): the log file and crash reports
// are not written while they would land on what is read (a home folder on
// the disk being recovered); they go to standard error only meanwhile.
void keepLogOffTheMedium(Recovery* recovery, Disk* alsoReading = nullptr) {
    const QString path = logFilePath();
    const bool onMedium = !recovery->mayWrite(path.toStdString(), alsoReading);
    if (holdLogFile(onMedium) && onMedium)
        qWarning("the log file %s lies on the disk being read: its lines go to standard error only while it is read",
                 qUtf8Printable(path));
    // A crash report would land beside it, in its own folder.
    holdCrashFile(!recovery->mayWrite((crashFolder() + QStringLiteral("/vorn.crash")).toStdString(), alsoReading));
}

double steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The listener's own lines on standard output, whole (the engine thread
// writes them while the UI thread may log).
void printLine(const std::string& line) {
    fprintf(stdout, "%s\n", line.c_str());
    fflush(stdout);
}

// What a scan kept, as it left it in memory (nothing is read from the disk):
// its files, and its folders whose content is not read yet (a found volume's
// root). Folders that group the finds do not count.
u64 countKeptItems(VolumeItem* root) {
    u64 count = 0;
    if (!root) return count;
    std::vector<std::pair<VolumeItem*, int>> pending{{root, 0}};
    while (!pending.empty()) {
        const auto [folder, depth] = pending.back();
        pending.pop_back();
        for (VolumeItem* child : folder->children()) {
            if (!child) continue;
            if (!child->isContainer()) {
                ++count;
            } else if (child->children().empty()) {
                if (!child->childrenLoaded()) ++count;
            } else if (depth + 1 < VolumeItem::kMaxDepth) {
                pending.push_back({child, depth + 1});
            }
        }
    }
    return count;
}

// The lost volumes listed under a disk (a lost-volumes scan adds them there).
u64 countLostVolumes(Disk* disk) {
    u64 count = 0;
    const u32 partitions = disk ? disk->getPartitionCount() : 0;
    for (u32 i = 0; i < partitions; ++i) {
        Disk* partition = disk->getPartition(i);
        if (partition && partition->isLostVolume()) ++count;
    }
    return count;
}

QString number(u64 value) { return QString::number(qulonglong(value)); }

// What a window manager's title bar and borders may add to the window.
const QSize kFrameAllowance(16, 48);

// The widths of the table's columns after Name.
const int kColumnWidths[] = {90, 150, 150, 80};

}  // namespace

// The engine's listener: runs on the engine thread and parks the engine
// where the window must take part.
class AppController::Events : public RecoveryEventListener {
public:
    explicit Events(AppController* owner) : owner(owner) {}

    void progressEvent(double percent, bool* cancel) override {
        Engine* engine = owner->engine();
        if (engine->stopping()) {
            *cancel = true;
            return;
        }
        const double now = owner->options.clock();
        if (now - lastServed < 0.1) return;
        lastServed = now;
        bool answer = false;
        engine->park([this, percent, &answer] { owner->serveProgress(percent, &answer); });
        if (answer || engine->stopping()) *cancel = true;
    }

    void fileSaving(const std::string& path) override {
        printLine("fileSaving");
        std::lock_guard<std::mutex> lock(textMutex);
        pendingText = shown(path);
        if (textPosted) return;
        textPosted = true;
        QMetaObject::invokeMethod(
            owner,
            [this] {
                std::lock_guard<std::mutex> lock(textMutex);
                textPosted = false;
                owner->sheet->setText(pendingText);
            },
            Qt::QueuedConnection);
    }

    void askOverwrite(const std::string& path, bool* overwrite, bool* skip, bool* cancel) override {
        // The path as text: a name from a disk may hold terminal controls.
        printLine("ask for: " + escapeControlChars(path));
        // A window that is closing asks nothing: the save ends here.
        if (owner->closePending) {
            *cancel = true;
            return;
        }
        Engine* engine = owner->engine();
        int answer = -1;
        const QString text = uiStrings().format(QStringLiteral("AskOverwriteFile"), {shown(path)});
        engine->park([this, engine, text, &answer] {
            answer = owner->desktop->ask(owner->sheet, ui("OverwriteConfirmation"), text,
                                         {ui("Yes"), ui("No"), ui("Cancel")}, 0);
            engine->release();
        });
        // Closing the question unanswered cancels; it never overwrites.
        if (answer == 0) {
            *overwrite = true;
        } else if (answer == 1) {
            *skip = true;
        } else {
            *cancel = true;
            owner->cancelPassed = true;
        }
    }

    void diskListChangedEvent() override {
        owner->updateOutline = true;
        owner->expandOutline = true;
    }

    void itemChangedEvent(VolumeItem* item) override {
        if (item && item == owner->folderForEvents.load()) owner->updateTable = true;
        owner->updateOutline = true;
        Recovery* recovery = owner->engine()->recovery();
        if (!recovery || item != recovery->getSearchResultsItem()) owner->expandOutline = true;
    }

    std::string localizedString(const std::string& key) override {
        return uiStrings().text(fromStd(key)).toStdString();
    }

private:
    AppController* owner;
    double lastServed = -1e9;
    std::mutex textMutex;
    QString pendingText;
    bool textPosted = false;
};

AppController::AppController(AppOptions opts) : options(std::move(opts)) {
    if (!options.clock) options.clock = steadySeconds;
    if (!options.desktop) ownDesktop = std::make_unique<Desktop>();
    desktop = options.desktop ? options.desktop : ownDesktop.get();
    desktop->makeFolder = [this](QWidget* panel, const QString& path) { return makeChosenFolder(panel, path); };
    std::unique_ptr<DiskManager> manager =
        options.makeDiskManager ? std::unique_ptr<DiskManager>(options.makeDiskManager()) : createDiskManager();
    enginePtr = std::make_unique<Engine>(std::move(manager), options.makeRecovery ? options.makeRecovery() : nullptr);
    events = std::make_unique<Events>(this);
    logListener = std::make_unique<CoreLogListener>();
    setLogListener(logListener.get());
    {
        GateAccess access(enginePtr->gate());
        enginePtr->recovery()->setListener(events.get());
    }
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) qInfo("Real Memory available: %lld KB", (long long)pages * pageSize / 1024);
    qInfo("System: %s, kernel %s", qUtf8Printable(QSysInfo::prettyProductName()),
          qUtf8Printable(QSysInfo::kernelVersion()));
    qInfo("AppName: %s", qUtf8Printable(appInfo().text(QStringLiteral("AppName"))));
    qInfo("CFBundleShortVersionString: %s", qUtf8Printable(appInfo().text(QStringLiteral("CFBundleShortVersionString"))));

    useIconTheme();
    tree = new TreeAdapter(enginePtr.get(), this);
    table = new TableAdapter(enginePtr.get(), this);
    buildWidgets();
    buildToolbar();
    buildMenus();
    buildScanSheet();
    sheet = new ProgressSheet(this);
    connect(sheet, &ProgressSheet::cancelled, this, [this] {
        userLog("[USER] -------- cancel --------");
        cancelAction = true;
    });
    // The sheet's close button closes the window, as the window's own does.
    connect(sheet, &ProgressSheet::closeRequested, this, &QWidget::close);
    connect(enginePtr.get(), &Engine::idle, this, &AppController::updateActions);
    connect(enginePtr.get(), &Engine::idle, this, &AppController::closeIfAsked);
    connect(tree, &TreeAdapter::rowsFetched, this, &AppController::expandFetched);
    connect(tree, &TreeAdapter::settled, this, [this] {
        if (!selectLastOnSettle) return;
        selectLastOnSettle = false;
        QModelIndex last = tree->index(tree->rowCount() - 1, 0);
        while (last.isValid() && outline->isExpanded(last) && tree->rowCount(last) > 0)
            last = tree->index(tree->rowCount(last) - 1, 0, last);
        if (last.isValid()) outline->selectionModel()->select(last, QItemSelectionModel::ClearAndSelect);
        userLog("[USER] ------- searchUsingToolbarSearchField done");
        finish(QStringLiteral("search"));
    });

    timer = new QTimer(this);
    timer->setInterval(100);
    connect(timer, &QTimer::timeout, this, &AppController::timerTick);
    timer->start();

    setAppTitle(QString());
    // The first size, within the screen's free area (a small screen, a
    // panel), with room left for a window manager's frame.
    QSize first(1000, 640);
    if (const QScreen* shownOn = screen()) first = first.boundedTo(shownOn->availableGeometry().size() - kFrameAllowance);
    resize(first);
    updateActions();
    if (options.chooseDiskAtStart) QTimer::singleShot(0, this, &AppController::chooseDisk);
}

AppController::~AppController() {
    timer->stop();
    desktop->makeFolder = nullptr;
    // The preview workers stop before the engine they read through.
    previews->stop();
    // The engine thread stops first: nothing it calls may be gone before.
    enginePtr.reset();
    setLogListener(nullptr);
}

// ---- set-up

void AppController::buildWidgets() {
    outline = new QTreeView;
    outline->setModel(tree);
    outline->setUniformRowHeights(true);
    outline->setEditTriggers(QAbstractItemView::NoEditTriggers);
    outline->setSelectionMode(QAbstractItemView::SingleSelection);
    outline->setObjectName(QStringLiteral("outline"));
    outline->setItemDelegate(new CutTextToolTips(outline));
    connect(outline->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &AppController::outlineSelectionChanged);

    tableWidget = new QTableView;
    tableWidget->setModel(table);
    tableWidget->setWordWrap(false);
    tableWidget->setShowGrid(false);
    tableWidget->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableWidget->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tableWidget->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab goes on to the next control: rows are chosen with the arrows.
    tableWidget->setTabKeyNavigation(false);
    tableWidget->verticalHeader()->setVisible(false);
    tableWidget->verticalHeader()->setDefaultSectionSize(22);
    // Name takes the width the other columns leave.
    QHeaderView* header = tableWidget->horizontalHeader();
    header->setStretchLastSection(false);
    header->setMinimumSectionSize(40);
    for (int column = 1; column <= int(std::size(kColumnWidths)); ++column)
        header->resizeSection(column, kColumnWidths[column - 1]);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    tableWidget->viewport()->installEventFilter(this);
    tableWidget->setObjectName(QStringLiteral("table"));
    tableWidget->setItemDelegate(new CutTextToolTips(tableWidget));

    tabs = new QTabWidget;
    tabs->addTab(tableWidget, ui("Table"));
    tabs->tabBar()->setTabData(0, QStringLiteral("table"));
    previews = new ItemPreviews(enginePtr.get(), table, tableWidget, tabs, this);
    tabs->addTab(previews->thumbView(), ui("Thumbnails"));
    tabs->tabBar()->setTabData(1, QStringLiteral("thumb"));

    auto* splitter = new QSplitter;
    splitter->addWidget(outline);
    splitter->addWidget(tabs);
    splitter->setStretchFactor(1, 2);

    hintLabel = new QLabel;
    hintLabel->setTextFormat(Qt::PlainText);
    hintLabel->setWordWrap(true);
    hintLabel->setMinimumHeight(40);
    speakBox = new QCheckBox(ui("SpeakHintText"));
    connect(speakBox, &QCheckBox::toggled, this, [this](bool on) {
        if (on) {
            setHelpText(fade.pending, false);
        } else {
            desktop->stopSpeaking();
        }
    });
    errorsLabel = new QLabel(QStringLiteral("0"));
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(hintLabel, 1);
    bottom->addWidget(speakBox);
    bottom->addWidget(new QLabel(ui("ReadErrors")));
    bottom->addWidget(errorsLabel);

    // The window's background: the gradient.
    auto* central = new BackgroundView(BackgroundView::Background);
    central->setBackgroundStyle(BackgroundView::Gradient);
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(splitter, 1);
    layout->addLayout(bottom);
    setCentralWidget(central);
    setContextMenuPolicy(Qt::NoContextMenu);
}

QAction* AppController::makeAction(Action which, const QString& key, void (AppController::*command)()) {
    auto* act = new QAction(uiStrings().text(key), this);
    act->setObjectName(key);
    connect(act, &QAction::triggered, this, command);
    actions.insert(int(which), act);
    return act;
}

void AppController::buildToolbar() {
    struct Item {
        const char* id;
        const char* icon;
        Action action;
        void (AppController::*command)();
    };
    static const Item items[] = {
        {"ChooseDisk", "drive-harddisk", Action::ChooseDisk, &AppController::chooseDisk},
        {nullptr, nullptr, Action::Help, nullptr},
        {"BrowseVolume", "folder-open", Action::BrowseVolume, &AppController::browseVolume},
        {"DeletedFilesScan", "user-trash-full", Action::DeletedFilesScan, &AppController::deletedFilesScan},
        {"LostFilesScan", "edit-find", Action::LostFilesScan, &AppController::lostFilesScan},
        {"LostVolumesScan", "drive-multidisk", Action::LostVolumesScan, &AppController::lostVolumesScan},
        {nullptr, nullptr, Action::Help, nullptr},
        {"Save", "document-save", Action::Save, &AppController::save},
        {"SaveFileList", "x-office-document", Action::SaveReport, &AppController::saveReport},
        {"ToggleViewer", "image-x-generic", Action::ToggleViewer, &AppController::toggleViewer},
        {nullptr, nullptr, Action::Help, nullptr},
        {"About", "help-about", Action::About, &AppController::about},
        {"Help", "help-browser", Action::Help, &AppController::help},
    };
    QToolBar* bar = addToolBar(QStringLiteral("Toolbar"));
    bar->setObjectName(QStringLiteral("Toolbar"));
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->toggleViewAction()->setVisible(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    bar->setIconSize(QSize(32, 32));
    for (const Item& item : items) {
        if (!item.id) {
            bar->addSeparator();
            continue;
        }
        QAction* act = makeAction(item.action, QString::fromLatin1(item.id), item.command);
        act->setIcon(themeIcon(item.icon));
        auto* button = new HoverButton(QString::fromLatin1(item.id), bar);
        button->setDefaultAction(act);
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        button->setIconSize(QSize(32, 32));
        button->setAutoRaise(true);
        connect(button, &HoverButton::mouseEntered, this, &AppController::hoverEntered);
        bar->addWidget(button);
        buttons.insert(QString::fromLatin1(item.id), button);
    }
    // The viewer's button is titled by a key of its own.
    actions.value(int(Action::ToggleViewer))->setText(ui("ViewFile"));
    searchEdit = new QLineEdit(bar);
    searchEdit->setObjectName(QStringLiteral("Search"));
    searchEdit->setPlaceholderText(ui("Search"));
    searchEdit->setMinimumWidth(30);
    searchEdit->setMaximumWidth(400);
    searchEdit->setClearButtonEnabled(true);
    connect(searchEdit, &QLineEdit::returnPressed, this, &AppController::searchUsingToolbarSearchField);
    bar->addWidget(searchEdit);
}

void AppController::buildMenus() {
    const QString shortName = appInfo().text(QStringLiteral("AppNameShort"));
    QMenu* file = menuBar()->addMenu(ui("File"));
    file->addAction(makeAction(Action::OpenImageFile, QStringLiteral("OpenImageFile"), &AppController::openImageFile));
    file->addAction(
        makeAction(Action::CreateImageFile, QStringLiteral("CreateImageFile"), &AppController::createImageFile));
    file->addSeparator();
    QAction* quit = file->addAction(uiStrings().format(QStringLiteral("QuitApp"), {shortName}));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, this, &QWidget::close);

    // Edit commands act on the text field that has the focus.
    QMenu* edit = menuBar()->addMenu(ui("Edit"));
    const struct {
        const char* key;
        const char* slot;
        QKeySequence::StandardKey keys;
    } editItems[] = {{"Cut", "cut", QKeySequence::Cut},
                     {"Copy", "copy", QKeySequence::Copy},
                     {"Paste", "paste", QKeySequence::Paste},
                     {"Delete", "del", QKeySequence::UnknownKey},
                     {"SelectAll", "selectAll", QKeySequence::SelectAll}};
    for (const auto& item : editItems) {
        QAction* act = edit->addAction(ui(item.key));
        if (item.keys != QKeySequence::UnknownKey) act->setShortcut(item.keys);
        act->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        const char* slot = item.slot;
        connect(act, &QAction::triggered, this, [slot] {
            if (QWidget* focus = QApplication::focusWidget()) {
                if (qobject_cast<QLineEdit*>(focus) || qobject_cast<QPlainTextEdit*>(focus))
                    QMetaObject::invokeMethod(focus, slot);
            }
        });
    }

    QMenu* view = menuBar()->addMenu(ui("View"));
    QMenu* sort = view->addMenu(ui("Sort"));
    sortByNameItem = makeAction(Action::SortByName, QStringLiteral("ByName"), &AppController::sortByName);
    sortBySizeItem = makeAction(Action::SortBySize, QStringLiteral("BySize"), &AppController::sortBySize);
    sortByNameItem->setCheckable(true);
    sortBySizeItem->setCheckable(true);
    sortByNameItem->setChecked(true);
    sort->addAction(sortByNameItem);
    sort->addAction(sortBySizeItem);

    QMenu* window = menuBar()->addMenu(ui("Window"));
    connect(window->addAction(ui("Minimize")), &QAction::triggered, this, &QWidget::showMinimized);
    connect(window->addAction(ui("Zoom")), &QAction::triggered, this,
            [this] { isMaximized() ? showNormal() : showMaximized(); });
    window->addSeparator();
    connect(window->addAction(ui("BringAllToFront")), &QAction::triggered, this, [this] {
        raise();
        activateWindow();
    });

    QMenu* helpMenu = menuBar()->addMenu(ui("Help"));
    QAction* aboutItem = helpMenu->addAction(uiStrings().format(QStringLiteral("AboutApp"), {shortName}));
    connect(aboutItem, &QAction::triggered, this, &AppController::about);
    QAction* helpItem = helpMenu->addAction(uiStrings().format(QStringLiteral("AppHelp"), {shortName}));
    helpItem->setShortcut(QKeySequence::HelpContents);
    connect(helpItem, &QAction::triggered, this, &AppController::help);
    helpMenu->addSeparator();
    // Only a test's own desktop goes to the reporters: they may outlive the window.
    auto* feedback = new KvFeedbackProvider(options.desktop, this);
    QAction* feedbackItem = helpMenu->addAction(ui("SendFeedback"));
    feedbackItem->setObjectName(QStringLiteral("feedbackItem"));
    connect(feedbackItem, &QAction::triggered, feedback, &KvFeedbackProvider::orderFrontFeedbackWindow);
    QAction* bugItem = helpMenu->addAction(ui("ReportBug"));
    bugItem->setObjectName(QStringLiteral("bugReportItem"));
    connect(bugItem, &QAction::triggered, feedback, &KvFeedbackProvider::orderFrontBugReportWindow);
}

void AppController::buildScanSheet() {
    scanSheet = new QDialog(this);
    scanSheet->setObjectName(QStringLiteral("scanWindow"));
    scanSheet->setWindowModality(Qt::WindowModal);
    scanSheet->setWindowTitle(ui("DeletedFilesScan"));
    auto* header = new QLabel(ui("BeforeStartingScanOptionsInfo"));
    header->setWordWrap(true);
    textScanBox = new QCheckBox(ui("ActivatePlainTextScanning"));
    keywordsBox = new QCheckBox(ui("LimitTextScanByKeywords"));
    keywordsEdit = new QPlainTextEdit;
    keywordsEdit->setPlaceholderText(ui("EnterKeywordsInfo"));
    keywordsEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* unique = new QLabel(ui("EnterUniqueContentInfo"));
    unique->setWordWrap(true);
    auto* start = new QPushButton(ui("StartScan"));
    start->setObjectName(QStringLiteral("startScanButton"));
    start->setDefault(true);
    auto* cancel = new QPushButton(ui("Cancel"));
    cancel->setObjectName(QStringLiteral("cancelScanButton"));
    connect(textScanBox, &QCheckBox::toggled, this, &AppController::activateTextScanClick);
    connect(start, &QPushButton::clicked, this, &AppController::scanWindowEndOK);
    connect(cancel, &QPushButton::clicked, this, &AppController::scanWindowEndCancel);
    connect(scanSheet, &QDialog::rejected, this, [this] { scanSheet->hide(); });
    auto* buttonsRow = new QHBoxLayout;
    buttonsRow->addStretch();
    buttonsRow->addWidget(cancel);
    buttonsRow->addWidget(start);
    auto* layout = new QVBoxLayout(scanSheet);
    layout->addWidget(new QLabel(ui("ScanOptions")));
    layout->addWidget(header);
    layout->addWidget(textScanBox);
    layout->addWidget(keywordsBox);
    layout->addWidget(keywordsEdit);
    layout->addWidget(unique);
    layout->addLayout(buttonsRow);
}

// ---- helpers

void AppController::withEngine(std::function<void()> body) {
    GateAccess access(enginePtr->gate());
    if (access) {
        body();
        return;
    }
    // Busy with an outline fetch or a disk scan: try again once the jobs
    // posted so far are done.
    enginePtr->post([] {}, [this, body = std::move(body)] { withEngine(body); });
}

void AppController::beginBracket(const char* titleKey, const char* textKey) {
    running = true;
    cancelAction = false;
    cancelPassed = false;
    hintBeforeBracket = fade.pending;
    bracketHint = ui(textKey);
    setHelpText(bracketHint, true);
    sheet->begin(ui(titleKey), bracketHint);
    updateActions();
}

void AppController::endBracket() {
    sheet->hide();
    running = false;
    if (fade.pending == bracketHint) setHelpText(hintBeforeBracket, true);
    updateActions();
}

void AppController::finish(const QString& command) {
    updateActions();
    emit commandFinished(command);
}

void AppController::alert(const char* titleKey, const QString& text) {
    // A window that is closing (or closed, with an alert still on its way)
    // tells the log only.
    if (closePending || !isVisible()) {
        qInfo("alert while closing: %s: %s", qUtf8Printable(ui(titleKey)), qUtf8Printable(text));
        return;
    }
    desktop->ask(this, ui(titleKey), text, {ui("OK")}, 0);
}

bool AppController::makeChosenFolder(QWidget* panel, const QString& path) {
    // The panels open inside withEngine, which holds the gate already.
    GateAccess access(enginePtr->gate());
    const FolderMade made = access ? enginePtr->recovery()->makeFolders(path.toStdString()) : FolderMade::Failed;
    const int error = access ? errno : EBUSY;
    if (made == FolderMade::Ready) return true;
    const QString where = QDir::toNativeSeparators(path);
    const QString text =
        made == FolderMade::Refused
            ? uiStrings().format(QStringLiteral("NewFolderRefusedNotice"), {where, appInfo().text(QStringLiteral("AppNameShort"))})
            : uiStrings().format(QStringLiteral("NewFolderFailedNotice"), {where, QString::fromLocal8Bit(strerror(error))});
    desktop->ask(panel, ui("NewFolder"), text, {ui("OK")}, 0);
    return false;
}

void AppController::fitTableColumns() {
    int preferred = 0;
    for (const int width : kColumnWidths) preferred += width;
    const int room = tableWidget->viewport()->width() / 2;
    const bool shrink = room < preferred;
    // Widths the user gave the columns stay while the table is wide enough.
    if (!shrink && !columnsShrunk) return;
    columnsShrunk = shrink;
    QHeaderView* header = tableWidget->horizontalHeader();
    for (int column = 1; column <= int(std::size(kColumnWidths)); ++column) {
        const int width = kColumnWidths[column - 1];
        header->resizeSection(column, shrink ? std::max(header->minimumSectionSize(), width * room / preferred) : width);
    }
}

bool AppController::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize && watched == tableWidget->viewport()) fitTableColumns();
    return QMainWindow::eventFilter(watched, event);
}

void AppController::setTableFolder(VolumeItem* newFolder) {
    folder = newFolder;
    folderForEvents = newFolder;
    previews->setFolder(newFolder, enginePtr->generation());
    Recovery* recovery = enginePtr->recovery();
    table->setModel(newFolder && recovery ? std::make_shared<VolumeTableModel>(recovery, newFolder) : nullptr);
    tableWidget->clearSelection();
}

void AppController::dropResultViews() {
    enginePtr->bumpGeneration();
    folder = nullptr;
    folderForEvents = nullptr;
    table->setModel(nullptr);
    if (treeShowsResults) tree->setModel(nullptr);
    treeShowsResults = false;
    hasResults = false;
}

void AppController::showDiskList() {
    treeShowsResults = false;
    autoExpand = false;
    outline->setSelectionMode(QAbstractItemView::SingleSelection);
    tree->setModel(std::make_shared<DiskManagerTreeModel>(enginePtr->diskManager()));
    // The root with all its children.
    autoExpand = true;
}

void AppController::showResultTree() {
    treeShowsResults = true;
    autoExpand = false;
    outline->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tree->setModel(std::make_shared<VolumeTreeModel>(enginePtr->recovery()));
}

void AppController::expandOutlineView() {
    if (scanType == SCAN_LOST_FILES && treeShowsResults) {
        // Row 0 alone, now or when it arrives.
        const QModelIndex first = tree->index(0, 0);
        first.isValid() ? outline->expand(first) : void(expandTopOnce = true);
        return;
    }
    autoExpand = true;
    for (int row = 0; row < tree->rowCount(); ++row) outline->expandRecursively(tree->index(row, 0));
}

void AppController::expandFetched(const QModelIndex& parent) {
    if (expandTopOnce && !parent.isValid()) {
        expandTopOnce = false;
        const QModelIndex first = tree->index(0, 0);
        outline->expand(first);
        if (tree->canFetchMore(first)) tree->fetchMore(first);
        return;
    }
    if (!autoExpand) return;
    if (parent.isValid() && !outline->isExpanded(parent)) return;
    for (int row = 0; row < tree->rowCount(parent); ++row) {
        const QModelIndex child = tree->index(row, 0, parent);
        outline->expand(child);
        // Asked now, so that the outline settles only when all is shown.
        if (tree->canFetchMore(child)) tree->fetchMore(child);
    }
}

void AppController::setAppTitle(const QString& text) {
    const QString name = appInfo().text(QStringLiteral("AppName"));
    setWindowTitle(text.isEmpty() ? name : QStringLiteral("%1 - %2").arg(name, text));
}

void AppController::setHelpText(const QString& text, bool onlyIfNew) { fade.set(text, onlyIfNew); }

void AppController::hoverEntered(HoverButton* button, const QString& identifier) {
    if (!button->isEnabled()) return;
    setHelpText(uiStrings().format(identifier + QStringLiteral("ToolHint"),
                                   {appInfo().text(QStringLiteral("AppNameShort"))}),
                true);
}

UiState AppController::uiState() const {
    UiState s;
    s.diskSelected = disk != nullptr;
    s.diskWhole = diskWhole;
    s.diskType = diskType;
    s.folderSelected = folder != nullptr;
    s.hasResults = hasResults;
    s.engineBusy = enginePtr->busy() || running;
    return s;
}

void AppController::updateActions() {
    const UiState state = uiState();
    for (auto it = actions.begin(); it != actions.end(); ++it)
        it.value()->setEnabled(gui::isEnabled(Action(it.key()), state));
    searchEdit->setEnabled(gui::isEnabled(Action::Search, state));
}

void AppController::showReadErrors() {
    GateAccess access(enginePtr->gate());
    if (!access) return;
    if (Disk* current = enginePtr->recovery()->getDisk())
        errorsLabel->setText(QString::number(qlonglong(current->getReadErrors())));
}

void AppController::timerTick() {
    if (++timerCounter > 50) {
        showReadErrors();
        timerCounter = 0;
    }
    if (fade.state == HintFade::Still) return;
    const bool swapped = fade.tick();
    QPalette palette = hintLabel->palette();
    QColor red(Qt::red);
    red.setAlphaF(qBound(0.0f, fade.alpha, 1.0f));
    palette.setColor(QPalette::WindowText, red);
    hintLabel->setPalette(palette);
    if (swapped) {
        hintLabel->setText(fade.shown);
        if (speakBox->isChecked()) desktop->say(fade.shown);
    }
}

void AppController::serveProgress(double percent, bool* cancel) {
    ++servedProgress;
    showReadErrors();
    sheet->setPercent(percent);
    if (updateOutline.exchange(false)) {
        tree->reload();
        if (expandOutline.exchange(false)) expandOutlineView();
    }
    if (updateTable.exchange(false)) table->reload();
    if (cancelAction) {
        sheet->cancelButton()->setEnabled(false);
        *cancel = true;
        cancelPassed = true;
    }
    enginePtr->release();
}

void AppController::outlineSelectionChanged() {
    disk = nullptr;
    const QModelIndexList selected = outline->selectionModel()->selectedIndexes();
    if (selected.isEmpty()) {
        folder = nullptr;
        folderForEvents = nullptr;
        updateActions();
        return;
    }
    const QModelIndex index = selected.first();
    withEngine([this, object = tree->objectAt(index), generation = enginePtr->generation()] {
        // The row may have gone while the engine was busy.
        if (generation != enginePtr->generation()) return;
        folder = nullptr;
        folderForEvents = nullptr;
        if (object && object->isKindOf(KIND_VOLUME_ITEM)) {
            setTableFolder(static_cast<VolumeItem*>(object));
        } else if (object && object->isKindOf(KIND_DISK)) {
            disk = static_cast<Disk*>(object);
            diskWhole = disk->isWhole();
            diskType = disk->getType();
            setAppTitle(QStringLiteral("%1 (%2)").arg(shown(disk->getName()), ui(diskWhole ? "Disk" : "Volume")));
            errorsLabel->setText(QString::number(qlonglong(disk->getReadErrors())));
        }
        updateActions();
    });
}

std::vector<VolumeItem*> AppController::getSelectedItemList() {
    std::vector<VolumeItem*> items;
    QModelIndexList rows = tableWidget->selectionModel() ? tableWidget->selectionModel()->selectedRows() : QModelIndexList();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    for (const QModelIndex& row : rows)
        if (VolumeItem* item = table->itemAt(row.row())) items.push_back(item);
    if (items.empty()) {
        qInfo("no selected table item => using selected outline item");
        QModelIndexList selected = outline->selectionModel()->selectedIndexes();
        std::sort(selected.begin(), selected.end(), [this](const QModelIndex& a, const QModelIndex& b) {
            return outline->visualRect(a).top() < outline->visualRect(b).top();
        });
        for (const QModelIndex& index : selected) {
            Base* object = tree->objectAt(index);
            if (object && object->isKindOf(KIND_VOLUME_ITEM)) items.push_back(static_cast<VolumeItem*>(object));
        }
    }
    qInfo("getSelectedItemList %d", int(items.size()));
    return items;
}

void AppController::closeEvent(QCloseEvent* event) {
    if (running || enginePtr->busy()) {
        // The engine ends its call first (at once, for a cancel it heeds),
        // so that nothing is left half done; the window closes after it.
        event->ignore();
        if (!closePending) {
            userLog("[USER] -------- close during an operation: cancel, then close --------");
            closePending = true;
            cancelAction = true;
            sheet->cancelButton()->setEnabled(false);
        }
        return;
    }
    event->accept();
    emit windowClosed();
}

void AppController::closeIfAsked() {
    if (closePending && !running && !enginePtr->busy()) close();
}

// ---- commands

void AppController::chooseDisk() {
    userLog("[USER] -------- chooseDisk --------");
    withEngine([this] {
        Recovery* recovery = enginePtr->recovery();
        VolumeItem* root = treeShowsResults ? recovery->getRootItem() : nullptr;
        if (root && (root->isLost() || root->isDeleted())) {
            if (desktop->ask(this, ui("CloseScanResults"), ui("AskClearScanResults"), {ui("Yes"), ui("No")}, 0) != 0)
                return;
        }
        setHelpText(uiStrings().format(QStringLiteral("ChooseDiskHint"), {appInfo().text(QStringLiteral("AppName")),
                                                                          appInfo().text(QStringLiteral("AppNameShort"))}),
                    true);
        setAppTitle(QString());
        dropResultViews();
        // The disk list goes too: the disks may be listed anew.
        tree->setModel(nullptr);
        disk = nullptr;
        enginePtr->post(
            [this] {
                enginePtr->recovery()->selectDisk(nullptr);
                DiskManager* manager = enginePtr->diskManager();
                manager->scanForDisks();
                manager->scanForPartitions();
                manager->dump();
            },
            [this] {
                withEngine([this] {
                    showDiskList();
                    finish(QStringLiteral("chooseDisk"));
                });
            });
        updateActions();
    });
}

void AppController::browseVolume() {
    userLog("[USER] ------ browseVolume -------");
    withEngine([this] {
        Disk* chosen = disk;
        if (!chosen) return;
        dropResultViews();
        auto opened = std::make_shared<bool>(false);
        enginePtr->post(
            [this, chosen, opened] {
                Recovery* recovery = enginePtr->recovery();
                *opened = recovery->selectDisk(chosen);
                keepLogOffTheMedium(recovery);
                if (*opened) recovery->openExistingVolume();
            },
            [this, opened] {
                withEngine([this, opened] {
                    if (!*opened) {
                        setHelpText(ui("ErrorOpeningDiskHint"), true);
                        alert("ErrorOpeningDisk", ui("ErrorOpeningDiskNotice"));
                        finish(QStringLiteral("browseVolume"));
                        return;
                    }
                    // A disk without a volume that vorn reads has no result root
                    // (the outline stays empty): say so.
                    if (enginePtr->recovery()->getRootItem()) {
                        setHelpText(ui("SelectFilesToRecoverHint"), true);
                    } else {
                        setHelpText(uiStrings().format(QStringLiteral("NoVolumeFoundHint"),
                                                       {appInfo().text(QStringLiteral("AppNameShort"))}),
                                    true);
                    }
                    scanType = -1;
                    disk = nullptr;
                    hasResults = enginePtr->recovery()->getRootItem() != nullptr;
                    expandTopOnce = true;
                    showResultTree();
                    finish(QStringLiteral("browseVolume"));
                });
            });
        updateActions();
    });
}

void AppController::deletedFilesScan() {
    userLog("[USER] ------- deletedFilesScan -------");
    setHelpText(ui("ScanOptionsHint"), true);
    cancelAction = false;
    activateTextScanClick();
    scanSheet->open();
}

void AppController::activateTextScanClick() {
    const bool on = textScanBox->isChecked();
    keywordsBox->setEnabled(on);
    keywordsEdit->setReadOnly(!on);
    keywordsEdit->setEnabled(on);
}

void AppController::scanWindowEndCancel() {
    scanSheet->hide();
    qInfo("sheetDidEnd: 0");
}

void AppController::scanWindowEndOK() {
    scanSheet->hide();
    qInfo("sheetDidEnd: 1");
    QStringList words = keywordsOf(keywordsEdit);
    std::vector<std::string> keywords;
    for (const QString& word : words) keywords.push_back(word.toStdString());
    const bool text = textScanBox->isChecked();
    const bool limit = keywordsBox->isChecked();
    runScan(SCAN_DELETED_FILES, "ScanningDeletedFilesPleaseWait", QStringLiteral("deletedFilesScan"), true,
            [keywords, text, limit](Recovery* recovery) {
                recovery->setEnableSearchText(text);
                recovery->setEnableSearchKeywords(limit);
                recovery->setKeywords(keywords);
            },
            [this] {
                disk = nullptr;
                tree->reload();
                expandOutlineView();
            });
}

void AppController::lostFilesScan() {
    userLog("[USER] ------ lostFilesScan ------");
    runScan(SCAN_LOST_FILES, "ScanningLostFilesPleaseWait", QStringLiteral("lostFilesScan"), true, {}, [this] {
        disk = nullptr;
        tree->reload();
        expandOutlineView();
    });
}

void AppController::lostVolumesScan() {
    userLog("[USER] ------ lostVolumesScan ------");
    runScan(SCAN_LOST_VOLUMES, "ScanningLostVolumesPleaseWait", QStringLiteral("lostVolumesScan"), false, {}, [this] {
        // The outline keeps the disk list, now with the volumes found.
        tree->reload();
        expandOutlineView();
    });
}

void AppController::runScan(int type, const char* waitKey, const QString& command, bool showsResults,
                            std::function<void(Recovery*)> configure, std::function<void()> done) {
    withEngine([this, type, waitKey, command, showsResults, configure, done] {
        Disk* chosen = disk;
        if (!chosen) return;
        dropResultViews();
        beginBracket("ScanProgress", waitKey);
        scanType = type;
        struct Outcome {
            bool opened = false;
            bool stopped = false;
            u64 found = 0;
        };
        auto outcome = std::make_shared<Outcome>();
        enginePtr->post(
            [this, chosen, outcome, type, configure] {
                Recovery* recovery = enginePtr->recovery();
                outcome->opened = recovery->selectDisk(chosen);
                keepLogOffTheMedium(recovery);
                if (!outcome->opened) return;
                if (configure) configure(recovery);
                recovery->setScanType(type);
                recovery->scan();
                qInfo("scan finished");
                outcome->stopped = cancelPassed;
                outcome->found =
                    type == SCAN_LOST_VOLUMES ? countLostVolumes(chosen) : countKeptItems(recovery->getRootItem());
            },
            [this, outcome, type, command, showsResults, done] {
                withEngine([this, outcome, type, command, showsResults, done] {
                    endBracket();
                    if (!outcome->opened) {
                        if (showsResults) showDiskList();
                        setHelpText(ui("ErrorOpeningDiskHint"), true);
                        alert("ErrorOpeningDisk", ui("ErrorOpeningDiskNotice"));
                        finish(command);
                        return;
                    }
                    desktop->playComplete();
                    hasResults = enginePtr->recovery()->getRootItem() != nullptr;
                    done();
                    tellScanOutcome(type, outcome->stopped, outcome->found, command);
                });
            });
        // The outline follows the scan as its results grow.
        if (showsResults) showResultTree();
    });
}

void AppController::tellScanOutcome(int type, bool stopped, u64 found, const QString& command) {
    QString hint;
    if (stopped && found == 0) {
        hint = ui("ScanStoppedEmptyHint");
    } else if (stopped) {
        hint = uiStrings().format(type == SCAN_LOST_VOLUMES ? QStringLiteral("LostVolumesStoppedHint")
                                                            : QStringLiteral("ScanStoppedHint"),
                                  {number(found)});
    } else if (found == 0) {
        hint = ui(type == SCAN_DELETED_FILES  ? "NoDeletedFilesFoundHint"
                  : type == SCAN_LOST_FILES   ? "NoLostFilesFoundHint"
                                              : "NoLostVolumesFoundHint");
    } else {
        hint = ui(type == SCAN_LOST_VOLUMES ? "SelectVolumeToRecoverHint" : "SelectFilesToRecoverHint");
    }
    setHelpText(hint, true);
    if (type != SCAN_DELETED_FILES) {
        finish(command);
        return;
    }
    // Asked once the engine is free again: the outline fills with the
    // results behind the alert (it reads them through the engine).
    const char* title = stopped ? "ScanStopped" : "EndOfScan";
    const QString text = stopped || found == 0 ? hint : ui("EndOfScanNotice");
    QTimer::singleShot(0, this, [this, title, text, command] {
        alert(title, text);
        finish(command);
    });
}

void AppController::searchUsingToolbarSearchField() {
    const QString text = searchEdit->text();
    qInfo("[USER] ------ searchUsingToolbarSearchField %s", qUtf8Printable(text));
    if (!gui::isEnabled(Action::Search, uiState())) return;
    withEngine([this, text] {
        beginBracket("SearchProgress", "SearchingFilesPleaseWait");
        // The old search results go with the search: no view keeps them.
        enginePtr->bumpGeneration();
        folder = nullptr;
        folderForEvents = nullptr;
        table->setModel(nullptr);
        outline->clearSelection();
        tree->setModel(nullptr);
        const std::string bytes = text.toLocal8Bit().toStdString();
        // Accented letters typed composed find names stored decomposed (as
        // HFS Plus stores them) and the other way round.
        std::vector<std::string> spellings;
        for (const auto form : {QString::NormalizationForm_C, QString::NormalizationForm_D}) {
            const std::string spelt = text.normalized(form).toLocal8Bit().toStdString();
            if (spelt != bytes) spellings.push_back(spelt);
        }
        auto found = std::make_shared<u64>(0);
        enginePtr->post(
            [this, bytes, spellings, found] {
                Recovery* recovery = enginePtr->recovery();
                recovery->searchItems(bytes, spellings);
                if (VolumeItem* results = recovery->getSearchResultsItem()) *found = results->getChildCount(true);
            },
            [this, found, text] {
                withEngine([this, found, text] {
                    endBracket();
                    // The outcome, also when nothing was found.
                    setHelpText(*found ? uiStrings().format(QStringLiteral("SearchFoundHint"), {number(*found), text})
                                       : uiStrings().format(QStringLiteral("SearchFoundNothingHint"), {text}),
                                true);
                    selectLastOnSettle = true;
                    showResultTree();
                    autoExpand = true;
                });
            });
    });
}

void AppController::sortByName() {
    userLog("[USER] ------ sortByName --------");
    sortByNameItem->setChecked(true);
    sortBySizeItem->setChecked(false);
    withEngine([this] {
        if (folder && folder->getVolume()) {
            folder->getVolume()->setSortType(1);
            setTableFolder(folder);
        }
    });
}

void AppController::sortBySize() {
    userLog("[USER] ------- sortBySize --------");
    sortByNameItem->setChecked(false);
    sortBySizeItem->setChecked(true);
    withEngine([this] {
        if (folder && folder->getVolume()) {
            folder->getVolume()->setSortType(2);
            setTableFolder(folder);
        }
    });
}

void AppController::save() {
    userLog("[USER] ------ save -------");
    withEngine([this] {
        const std::vector<VolumeItem*> items = getSelectedItemList();
        if (items.empty()) return;
        QString target;
        for (;;) {
            target = desktop->chooseFolder(this, ui("ChooseFolderForFiles"));
            if (target.isEmpty()) return;
            // The command line's check: the folder's device against every
            // device the selected disk reads.
            Disk* reading = enginePtr->recovery()->getDisk();
            const std::string conflict = options.saveTargetConflict
                                             ? options.saveTargetConflict(target.toStdString(), reading)
                                             : saveTargetConflict(target.toStdString(), reading, {});
            qInfo("save - target folder: %s, on the medium being read: %s", qUtf8Printable(target),
                  conflict.empty() ? "no" : "yes");
            if (conflict.empty()) break;
            // The safe answer is the default (Enter); Escape and closing the
            // alert choose again too: only "Save There" writes onto the disk.
            const int answer = desktop->ask(this, ui("SavingFiles"), ui("SaveOnSourceDiskNotice"),
                                            {ui("ChooseAnotherFolder"), ui("SaveThere")}, 0);
            if (answer == 1) break;
        }
        beginBracket("SaveProgress", "SavingPleaseWait");
        struct Result {
            bool ok = true;
            bool stopped = false;
            u64 damaged = 0, saved = 0, failed = 0, refused = 0, onMedium = 0;
        };
        auto result = std::make_shared<Result>();
        enginePtr->post(
            [this, items, target, result] {
                Recovery* recovery = enginePtr->recovery();
                recovery->save(items, target.toStdString());
                result->ok = recovery->getLastSaveOk();
                result->stopped = cancelPassed;
                result->damaged = recovery->getDamagedFileCount();
                result->saved = recovery->getSavedFileCount();
                result->failed = recovery->getFailedFileCount();
                result->refused = recovery->getRefusedFileCount();
                result->onMedium = recovery->getRefusedOnMediumCount();
            },
            [this, result, target] {
                endBracket();
                const Result& r = *result;
                const QString where = QDir::toNativeSeparators(target);
                if (r.stopped) {
                    setHelpText(uiStrings().format(QStringLiteral("SaveStoppedHint"), {number(r.saved), where}), true);
                } else if (r.failed > r.refused) {
                    // A file that could not be written ends the save: the
                    // files after it were not tried.
                    setHelpText(uiStrings().format(QStringLiteral("SaveStoppedByFailureHint"), {number(r.saved), where}),
                                true);
                } else if (r.saved == 0 && r.onMedium > 0) {
                    // "Save There" onto a file system of the disk being read:
                    // the guard let nothing be written there.
                    setHelpText(uiStrings().format(QStringLiteral("SaveRefusedOnDiskHint"), {where}), true);
                } else if (r.failed > 0) {
                    setHelpText(uiStrings().format(QStringLiteral("SaveDoneWithFailuresHint"),
                                                   {number(r.saved), where, number(r.failed)}),
                                true);
                } else if (!r.ok) {
                    // A folder that could not be made: its files were not tried.
                    setHelpText(uiStrings().format(QStringLiteral("SaveDoneWithFolderFailuresHint"), {number(r.saved), where}),
                                true);
                } else {
                    setHelpText(uiStrings().format(QStringLiteral("SaveDoneHint"), {number(r.saved), where}), true);
                }
                // Refused targets are told apart, by why: the user can act on them.
                if (r.onMedium > 0) {
                    alert("SaveRefusedOnDisk",
                          r.saved == 0 ? uiStrings().format(QStringLiteral("SaveRefusedOnDiskNotice"), {where})
                                       : uiStrings().format(QStringLiteral("SaveRefusedOnDiskPartNotice"), {number(r.onMedium)}));
                }
                if (r.refused > r.onMedium) {
                    alert("SaveRefused", uiStrings().format(QStringLiteral("SaveRefusedNotice"),
                                                            {number(r.refused - r.onMedium),
                                                             appInfo().text(QStringLiteral("AppNameShort"))}));
                }
                if (!r.ok && (r.refused == 0 || r.failed > r.refused)) {
                    alert("SaveFailed", ui("SaveFailedNotice"));
                } else if (r.damaged > 0) {
                    alert("SaveIncomplete", uiStrings().format(QStringLiteral("SaveIncompleteNotice"), {number(r.damaged)}));
                }
                finish(QStringLiteral("save"));
            },
            enginePtr->generation());
    });
}

void AppController::saveReport() {
    userLog("[USER] ------ saveReport -----");
    withEngine([this] {
        const QString path =
            desktop->chooseSaveFile(this, ui("ChooseNameFileReport"), QStringLiteral("report.html"), QStringLiteral("html"));
        if (path.isEmpty()) return;
        beginBracket("SaveReportProgress", "SavingReportPleaseWait");
        const std::vector<VolumeItem*> items = getSelectedItemList();
        const std::string footer = appInfo().text(QStringLiteral("NSHumanReadableCopyright")).toStdString();
        const std::string title =
            uiStrings()
                .format(QStringLiteral("AppFileListReportOnDate"),
                        {appInfo().text(QStringLiteral("AppName")), QDateTime::currentDateTime().toString(Qt::ISODate)})
                .toStdString();
        struct Result {
            bool ok = false, stopped = false;
        };
        auto result = std::make_shared<Result>();
        enginePtr->post(
            [this, items, path, title, footer, result] {
                result->ok = enginePtr->recovery()->saveReport(items, path.toStdString(), title, footer);
                result->stopped = cancelPassed;
            },
            [this, path, result] {
                endBracket();
                const QString where = QDir::toNativeSeparators(path);
                if (!result->ok) {
                    setHelpText(uiStrings().format(QStringLiteral("ReportFailedHint"), {where}), true);
                    alert("ReportFailed", uiStrings().format(QStringLiteral("ReportFailedNotice"), {where}));
                } else {
                    setHelpText(uiStrings().format(result->stopped ? QStringLiteral("ReportStoppedHint")
                                                                   : QStringLiteral("ReportDoneHint"),
                                                   {where}),
                                true);
                }
                finish(QStringLiteral("saveReport"));
            },
            enginePtr->generation());
    });
}

void AppController::createImageFile() {
    withEngine([this] {
        Disk* chosen = disk;
        if (!chosen) return;
        // A name from the disk: no "/" and no controls in the proposal.
        QString proposed;
        for (const QChar c : fromStd(chosen->getName())) {
            if (c == QLatin1Char('/') || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
                continue;
            proposed += c;
        }
        if (proposed.trimmed().isEmpty()) proposed = QStringLiteral("disk");
        const QString path = desktop->chooseSaveFile(this, ui("ChooseNameImageFile"), proposed + QStringLiteral(".img"),
                                                     QStringLiteral("img"));
        if (path.isEmpty()) return;
        beginBracket("CreateImageFileProgress", "CreatingImageFilePleaseWait");
        auto ok = std::make_shared<bool>(false);
        auto stopped = std::make_shared<bool>(false);
        auto refused = std::make_shared<bool>(false);
        auto kept = std::make_shared<QString>();
        enginePtr->post(
            [this, chosen, path, ok, stopped, refused, kept] {
                Recovery* recovery = enginePtr->recovery();
                keepLogOffTheMedium(recovery, chosen);
                *ok = recovery->createImageFile(chosen, path.toStdString());
                *refused = recovery->getImageFileRefused();
                *stopped = cancelPassed;
                // No one reads the hint of a closing window: the name tells
                // that the image is incomplete. Its data stays (of a failing
                // disk it may be all there is); it is renamed under the rules
                // of every output, never onto a file being read.
                if (*ok && *stopped && closePending)
                    *kept = QString::fromStdString(recovery->keepIncompleteImageFile(path.toStdString(), chosen));
                keepLogOffTheMedium(recovery);  // the copied disk is no longer read
            },
            [this, ok, stopped, refused, path, kept] {
                endBracket();
                const QString where = QDir::toNativeSeparators(path);
                if (*refused) {
                    // The user can act on this one: the name was the disk's
                    // own file (or another file being read).
                    setHelpText(uiStrings().format(QStringLiteral("ImageFileRefusedHint"), {where}), true);
                    alert("ImageFileRefused",
                          uiStrings().format(QStringLiteral("ImageFileRefusedNotice"),
                                             {where, appInfo().text(QStringLiteral("AppNameShort"))}));
                } else if (!*ok) {
                    setHelpText(uiStrings().format(QStringLiteral("ImageFileFailedHint"), {where}), true);
                    alert("ImageFileFailed", ui("ImageFileFailedNotice"));
                } else if (*stopped && !kept->isEmpty()) {
                    qInfo("the window closed while the image file was made: kept incomplete as %s", qUtf8Printable(*kept));
                    setHelpText(uiStrings().format(QStringLiteral("ImageFileKeptIncompleteHint"),
                                                   {QDir::toNativeSeparators(*kept)}),
                                true);
                } else {
                    setHelpText(uiStrings().format(*stopped ? QStringLiteral("ImageFileStoppedHint")
                                                            : QStringLiteral("ImageFileDoneHint"),
                                                   {where}),
                                true);
                }
                finish(QStringLiteral("createImageFile"));
            });
    });
}

void AppController::openImageFile() {
    withEngine([this] {
        const QString path = desktop->chooseOpenFile(this, ui("ChooseImageFile"),
                                                     QStringLiteral("(*.dmg *.pri *.img *.cdr *.iso)"));
        if (path.isEmpty()) return;
        enginePtr->post([this, path] { enginePtr->diskManager()->addImageDisk(path.toStdString()); },
                        [this] {
                            tree->reload();
                            expandOutlineView();
                            finish(QStringLiteral("openImageFile"));
                        });
        updateActions();
    });
}

void AppController::help() {
    userLog("[USER] ------ help ------");
    // The page ships beside the program.
    const QString path = QDir(QCoreApplication::applicationDirPath()).filePath(appInfo().text(QStringLiteral("HelpFile")));
    desktop->openHelp(this, path, [this, path] {
        const bool missing = !QFileInfo(path).isFile();
        alert("HelpNotOpened", uiStrings().format(missing ? QStringLiteral("HelpMissingNotice")
                                                          : QStringLiteral("HelpNotOpenedNotice"),
                                                  {QDir::toNativeSeparators(path)}));
    });
}

void AppController::toggleViewer() {
    userLog("[USER] ------ toggleViewer -----");
    previews->toggleViewer(buttons.value(QStringLiteral("ToggleViewer")));
}

void AppController::about() {
    userLog("[USER] ----- about -----");
    auto* window = findChild<QDialog*>(QStringLiteral("aboutWindow"));
    if (!window) {
        window = new QDialog(this);
        window->setObjectName(QStringLiteral("aboutWindow"));
        window->setWindowTitle(ui("About"));
        auto* layout = new QVBoxLayout(window);
        for (const char* key : {"CFBundleName", "CFBundleShortVersionString", "NSHumanReadableCopyright"}) {
            auto* label = new QLabel(appInfo().text(QString::fromLatin1(key)));
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignCenter);
            layout->addWidget(label);
        }
        // Closed by its button, by Escape (the dialog's reject) or its frame.
        auto* close = new QPushButton(ui("Close"));
        close->setObjectName(QStringLiteral("aboutCloseButton"));
        close->setDefault(true);
        connect(close, &QPushButton::clicked, window, &QDialog::accept);
        layout->addWidget(close, 0, Qt::AlignHCenter);
    }
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace vorn::gui
