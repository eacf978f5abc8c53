// The main window and the one controller of the windowed front end.
//
// Shows the disk list or a result tree in the outline, the selected folder's
// items in the table, a toolbar, menus, the hint area with its fade and
// optional speech, and the progress sheet while an engine operation runs.
// Its commands (chooseDisk() ... about()) drive the engine through Engine:
// calls that read a medium or change results run on the engine thread; the
// window stays live and never waits for them.
//
// Views never touch freed items: the table model, the selected folder and
// the outline records go before any engine call that replaces results.
//
// Ownership: owns the Engine (and through it the Recovery and the disk
// manager), the listener, the adapters and every widget. The Desktop is
// owned unless a test hands in its own.
//
// To extend: menus are built in buildMenus(), toolbar items in buildToolbar()
// from one table, texts come from uiStrings().
#pragma once

#include <QHash>
#include <QMainWindow>
#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gui/Hint.h"
#include "gui/Validation.h"
#include "misc/Types.h"

class QAction;
class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTabWidget;
class QTableView;
class QTimer;
class QTreeView;

namespace vorn {
class Disk;
class DiskManager;
class Recovery;
class VolumeItem;
}  // namespace vorn

namespace vorn::gui {

class CoreLogListener;
class Desktop;
class Engine;
class HoverButton;
class ItemPreviews;
class ProgressSheet;
class TableAdapter;
class TreeAdapter;

// What a test or the benchmark may choose for the window.
struct AppOptions {
    // Makes the disk list; the platform's when empty.
    std::function<DiskManager*()> makeDiskManager;
    // Alerts, panels, speech, sound; the real desktop when null. Not owned.
    Desktop* desktop = nullptr;
    // Seconds of a monotonic clock; the progress throttle reads it.
    std::function<double()> clock;
    // Starts with the disk list (off in tests that add disks first).
    bool chooseDiskAtStart = true;
    // The engine's Recovery; a plain one when empty.
    std::function<std::unique_ptr<Recovery>()> makeRecovery;
    // Whether a folder lies on the medium that reading disk reads: a line
    // saying so, or empty. The engine's check when empty.
    std::function<std::string(const std::string& folder, Disk* disk)> saveTargetConflict;
};

class AppController : public QMainWindow {
    Q_OBJECT
public:
    explicit AppController(AppOptions options = AppOptions());
    ~AppController() override;

    // Commands of the menus, the toolbar and the scan options sheet.
    void chooseDisk();
    void browseVolume();
    void deletedFilesScan();
    void scanWindowEndOK();
    void scanWindowEndCancel();
    void activateTextScanClick();
    void lostFilesScan();
    void lostVolumesScan();
    void searchUsingToolbarSearchField();
    void sortByName();
    void sortBySize();
    void save();
    void saveReport();
    void createImageFile();
    void openImageFile();
    void help();
    void about();
    void toggleViewer();

    void setHelpText(const QString& text, bool onlyIfNew);
    void setAppTitle(const QString& text);
    // The 0.1-second tick (public for tests that step it).
    void timerTick();
    UiState uiState() const;

    // For tests and the benchmark.
    Engine* engine() const { return enginePtr.get(); }
    TreeAdapter* treeAdapter() const { return tree; }
    TableAdapter* tableAdapter() const { return table; }
    ItemPreviews* itemPreviews() const { return previews; }
    QTabWidget* tabView() const { return tabs; }
    QTreeView* outlineView() const { return outline; }
    QTableView* tableView() const { return tableWidget; }
    ProgressSheet* progressSheet() const { return sheet; }
    QDialog* scanWindow() const { return scanSheet; }
    QCheckBox* activateTextScanCheckbox() const { return textScanBox; }
    QCheckBox* limitTextKeywordsCheckbox() const { return keywordsBox; }
    QPlainTextEdit* scanKeywordsTextView() const { return keywordsEdit; }
    QCheckBox* speakHintsCheckbox() const { return speakBox; }
    QLineEdit* searchField() const { return searchEdit; }
    QLabel* helpTextView() const { return hintLabel; }
    QLabel* numberErrorsText() const { return errorsLabel; }
    QAction* action(Action which) const { return actions.value(int(which)); }
    HoverButton* toolButton(const QString& identifier) const { return buttons.value(identifier); }
    const HintFade& hint() const { return fade; }
    bool operationRunning() const { return running; }
    int servedProgressCount() const { return servedProgress; }
    Disk* selectedDisk() const { return disk; }
    VolumeItem* selectedFolder() const { return folder; }

    // True once the window was asked to close while the engine worked: it
    // closes when the engine has ended its call.
    bool closeRequested() const { return closePending; }

signals:
    // A command's engine work and its follow-ups are over.
    void commandFinished(const QString& command);
    // The window has closed (the application ends with it).
    void windowClosed();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Events;

    void buildWidgets();
    void buildToolbar();
    void buildMenus();
    void buildScanSheet();
    QAction* makeAction(Action which, const QString& key, void (AppController::*command)());

    // Runs body on the UI thread holding the gate; when the engine is busy,
    // once the jobs posted so far have finished.
    void withEngine(std::function<void()> body);
    // The progress bracket around an engine job.
    void beginBracket(const char* titleKey, const char* textKey);
    // Runs one scan of the chosen disk on the engine thread under the
    // progress sheet: configure sets its options there; done finishes on
    // the UI thread when the scan ended on a disk that opened. A scan that
    // showsResults puts the result tree in the outline while it runs.
    void runScan(int type, const char* waitKey, const QString& command, bool showsResults,
                 std::function<void(Recovery*)> configure, std::function<void()> done);
    // After an engine job, once closing was asked for: closes when idle.
    void closeIfAsked();
    void endBracket();
    // Table model, folder and outline records go (before results change).
    void dropResultViews();
    void setTableFolder(VolumeItem* newFolder);
    // Name takes the width the other columns leave, and at least half of a
    // narrow table (a small screen): the others then shrink in proportion.
    void fitTableColumns();
    void showDiskList();
    void showResultTree();
    void expandOutlineView();
    void expandFetched(const QModelIndex& parent);
    void outlineSelectionChanged();
    std::vector<VolumeItem*> getSelectedItemList();
    void showReadErrors();
    void updateActions();
    void alert(const char* titleKey, const QString& text);
    // Desktop::makeFolder of this window's panels: through the engine's
    // guard; a folder refused or not made is told in an alert over panel.
    bool makeChosenFolder(QWidget* panel, const QString& path);
    // The outcome of a scan in the hint line (and, for the deleted-files
    // scan, in its closing alert); then the command is finished.
    void tellScanOutcome(int type, bool stopped, u64 found, const QString& command);
    void finish(const QString& command);
    // Serves a progress callback while the engine is parked.
    void serveProgress(double percent, bool* cancel);
    void hoverEntered(HoverButton* button, const QString& identifier);

    AppOptions options;
    std::unique_ptr<Desktop> ownDesktop;
    Desktop* desktop;
    std::unique_ptr<CoreLogListener> logListener;
    std::unique_ptr<Events> events;

    TreeAdapter* tree = nullptr;
    TableAdapter* table = nullptr;
    ItemPreviews* previews = nullptr;
    QTabWidget* tabs = nullptr;
    QTreeView* outline = nullptr;
    QTableView* tableWidget = nullptr;
    QLabel* hintLabel = nullptr;
    QLabel* errorsLabel = nullptr;
    QCheckBox* speakBox = nullptr;
    QLineEdit* searchEdit = nullptr;
    ProgressSheet* sheet = nullptr;
    QDialog* scanSheet = nullptr;
    QCheckBox* textScanBox = nullptr;
    QCheckBox* keywordsBox = nullptr;
    QPlainTextEdit* keywordsEdit = nullptr;
    QAction* sortByNameItem = nullptr;
    QAction* sortBySizeItem = nullptr;
    QTimer* timer = nullptr;
    QHash<int, QAction*> actions;
    QHash<QString, HoverButton*> buttons;

    // UI-side state; disk and folder are used only under the gate.
    Disk* disk = nullptr;
    bool diskWhole = false;
    int diskType = 0;
    VolumeItem* folder = nullptr;
    bool hasResults = false;
    bool treeShowsResults = false;
    bool columnsShrunk = false;
    int scanType = 0;
    bool running = false;
    // The hint line while the progress sheet is up says what runs; when no
    // outcome replaces it, the hint from before comes back.
    QString bracketHint, hintBeforeBracket;
    bool autoExpand = false;
    bool expandTopOnce = false;
    bool selectLastOnSettle = false;
    HintFade fade;
    int timerCounter = 0;
    int servedProgress = 0;

    // Shared with the engine thread.
    std::atomic<bool> cancelAction{false};
    // A cancel reached the engine during the operation under the sheet.
    std::atomic<bool> cancelPassed{false};
    std::atomic<bool> closePending{false};
    std::atomic<bool> updateOutline{false};
    std::atomic<bool> expandOutline{false};
    std::atomic<bool> updateTable{false};
    std::atomic<VolumeItem*> folderForEvents{nullptr};

    // Last: goes first, so that no engine thread outlives what it calls.
    std::unique_ptr<Engine> enginePtr;
};

}  // namespace vorn::gui
