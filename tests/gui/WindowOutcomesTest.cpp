// The window as a user meets it: every outcome is told, the question about
// saving onto the disk being recovered keeps the user off it, Help opens the
// page that ships beside the program, names are readable, the viewer and the
// About box behave, and closing during a scan ends the scan first.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLineEdit>
#include <QProcess>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTableView>
#include <QTextDocument>
#include <QToolTip>
#include <QUrl>

#include "GuiTestSupport.h"
#include "gui/AppLog.h"
#include "gui/CrashHandler.h"
#include "gui/CutTextToolTips.h"
#include "gui/ItemPreviews.h"
#include "gui/ProgressSheet.h"
#include "recovery/RecoveryTestAccess.h"
#include "recovery/RecoveryTestSupport.h"

namespace vorn::test {
namespace {

TEST(GuiOutcomes, ADiskWithNothingToFindSaysSo) {
    QTemporaryDir dir;
    QFile blank(dir.filePath(QStringLiteral("blank.img")));  // zeros: no volume, nothing to find
    ASSERT_TRUE(blank.open(QIODevice::WriteOnly) && blank.resize(2 << 20));
    blank.close();
    Driver w({blank.fileName().toStdString()});
    w.chooseDisk();
    w.run("BrowseVolume", QStringLiteral("browseVolume"));
    EXPECT_EQ(w.app->hint().pending, uiText("NoVolumeFoundHint", {QStringLiteral("vorn")}));

    const struct {
        const char *button, *command, *hint;
    } scans[] = {{"LostFilesScan", "lostFilesScan", "NoLostFilesFoundHint"},
                 {"LostVolumesScan", "lostVolumesScan", "NoLostVolumesFoundHint"}};
    for (const auto& scan : scans) {
        w.desktop.answers = {0};  // yes, leave any results
        w.chooseDisk();
        w.run(scan.button, QString::fromLatin1(scan.command));
        EXPECT_EQ(w.app->hint().pending, uiText(scan.hint)) << scan.command;
    }
    if (waitFor([&] { return w.app->hint().shown == w.app->hint().pending && w.app->hint().state == gui::HintFade::Still; }, 5000))
        snapshot(w.app.get(), QStringLiteral("outcome-no-finds"));
    w.desktop.answers = {0};
    w.chooseDisk();
    w.desktop.texts.clear();
    const qsizetype before = w.finished.size();
    w.startDeletedScan();
    w.waitFinished(QStringLiteral("deletedFilesScan"), before);
    EXPECT_EQ(w.app->hint().pending, uiText("NoDeletedFilesFoundHint"));
    EXPECT_EQ(w.desktop.texts, QStringList{uiText("NoDeletedFilesFoundHint")}) << "not: select the files to recover";
}

// Enter (the question's default) and Escape choose another folder; only
// "Save There" saves onto the disk being recovered.
TEST(GuiOutcomes, TheSameDiskQuestionKeepsTheUserOffTheDisk) {
    QTemporaryDir onDisk, elsewhere;
    Driver w({"camera_card.img"}, false, [&](gui::AppOptions& options) {
        options.saveTargetConflict = [onPath = onDisk.path().toStdString()](const std::string& folder, Disk*) {
            return folder == onPath ? std::string("on the disk being read") : std::string();
        };
    });
    w.openFirstFolder();
    w.desktop.folders = {onDisk.path(), onDisk.path(), elsewhere.path()};
    w.desktop.answers = {FakeDesktop::kEnter, -1};  // then Escape
    w.run("Save", QStringLiteral("save"));
    EXPECT_EQ(w.desktop.texts.size(), 2);
    EXPECT_EQ(filesUnder(onDisk.path()), 0);
    EXPECT_GT(filesUnder(elsewhere.path()), 0);

    w.desktop.folders = {onDisk.path()};
    w.desktop.answers = {1};  // Save There
    w.run("Save", QStringLiteral("save"));
    EXPECT_GT(filesUnder(onDisk.path()), 0) << "asked for in so many words";
}

// A save whose engine skipped targets that are files it reads (an image file,
// a RAID member): the alert says how many; other failures get theirs.
struct RefusingRecovery : Recovery {
    u64 refuse = 0, otherFailures = 0;
    void save(std::vector<VolumeItem*> items, std::string dir) override {
        Recovery::save(items, dir);
        const bool ok = getLastSaveOk() && otherFailures == 0;
        RecoveryTestAccess::setSaveResult(*this, getSavedFileCount(), getFailedFileCount() + refuse + otherFailures,
                                          refuse, ok && refuse == 0);
    }
};

TEST(GuiOutcomes, RefusedAndFailedFilesAreToldAfterTheSave) {
    RefusingRecovery* recovery = nullptr;
    Driver w({"camera_card.img"}, false, [&](gui::AppOptions& options) {
        options.makeRecovery = [&recovery] {
            auto made = std::make_unique<RefusingRecovery>();
            recovery = made.get();
            return std::unique_ptr<Recovery>(std::move(made));
        };
    });
    w.openFirstFolder();
    const QString refused = QStringLiteral("Some files were not saved"), failed = QStringLiteral("The save failed");
    const struct {
        u64 refused, other;
        QStringList alerts;
    } cases[] = {{0, 0, {}}, {2, 0, {refused}}, {2, 1, {refused, failed}}};
    for (const auto& c : cases) {
        QTemporaryDir target;
        recovery->refuse = c.refused;
        recovery->otherFailures = c.other;
        w.desktop.asked.clear();
        w.desktop.texts.clear();
        w.savedUnder(target);
        w.run("Save", QStringLiteral("save"));
        EXPECT_EQ(w.desktop.asked, c.alerts) << c.refused << "+" << c.other;
        EXPECT_EQ(w.desktop.texts.value(0).startsWith(QStringLiteral("2 file(s) were not saved")), c.refused > 0);
        const QString hint = w.app->hint().pending;
        EXPECT_TRUE(hint.contains(target.path())) << hint.toStdString();
        EXPECT_EQ(hint.contains(QStringLiteral("could not be saved")), c.refused + c.other > 0) << hint.toStdString();
    }

    // A real write failure (no file may grow past 1 KiB, as on a full
    // disk): the save ends at that file, and the hint says it stopped
    // rather than counting one failure among files never tried.
    recovery->refuse = recovery->otherFailures = 0;
    QTemporaryDir target;
    w.desktop.asked.clear();
    w.savedUnder(target);
    {
        rlimit before{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
        const auto previous = signal(SIGXFSZ, SIG_IGN);
        const rlimit small{1024, before.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        w.run("Save", QStringLiteral("save"));
        setrlimit(RLIMIT_FSIZE, &before);
        signal(SIGXFSZ, previous);
    }
    EXPECT_EQ(w.desktop.asked, QStringList{failed});
    EXPECT_EQ(recovery->getFailedFileCount(), 1u);
    // Every file written before the one that failed, which stays cut.
    const QString saved = QString::number(filesUnder(target.path()) - 1);
    EXPECT_EQ(w.app->hint().pending.toStdString(), uiText("SaveStoppedByFailureHint", {saved, target.path()}).toStdString());
}

// Create Image File onto the image file being copied: nothing is written,
// and the alert says why (the file is being read) and which file, rather
// than sending the user to the log; the hint line says so too, not what the
// image file made before came to.
TEST(GuiOutcomes, AnImageFileOntoTheDisksOwnFileIsRefusedAndToldSo) {
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card <b>x<i>.img"));
    ASSERT_TRUE(QFile::copy(QString::fromStdString(mediaPath("camera_card.img")), image));
    const QByteArray before = sha256(readAll(image));
    Driver w({image.toStdString()});
    w.chooseDisk();
    const QString copy = dir.filePath(QStringLiteral("copy.img"));
    w.desktop.saveFiles.push_back(copy);
    w.trigger(gui::Action::CreateImageFile, QStringLiteral("createImageFile"));
    ASSERT_EQ(w.app->hint().pending, uiText("ImageFileDoneHint", {copy}));
    w.desktop.saveFiles.push_back(image);
    w.trigger(gui::Action::CreateImageFile, QStringLiteral("createImageFile"));
    EXPECT_EQ(sha256(readAll(image)), before);
    EXPECT_EQ(w.app->hint().pending, uiText("ImageFileRefusedHint", {image}));
    EXPECT_EQ(w.desktop.asked, QStringList{uiText("ImageFileRefused")});
    EXPECT_EQ(w.desktop.texts, QStringList{uiText("ImageFileRefusedNotice", {image, QStringLiteral("vorn")})});

    // Another failure still points to the log.
    w.desktop.asked.clear();
    w.desktop.saveFiles.push_back(dir.filePath(QStringLiteral("no/such/folder/copy.img")));
    w.trigger(gui::Action::CreateImageFile, QStringLiteral("createImageFile"));
    EXPECT_EQ(w.desktop.asked, QStringList{uiText("ImageFileFailed")});
}

// The window's file panels make a new folder through the engine's guard: one inside the image
// being read (its ext4 partition mounted through a loop device; needs root) is not made and the
// alert says why; elsewhere the folder is made with those missing on the way.
TEST(GuiOutcomes, ANewFolderInAPanelIsMadeOnlyOffTheDiskBeingRead) {
    QTemporaryDir dir;
    const QString two = dir.filePath(QStringLiteral("two.img"));
    ASSERT_TRUE(QFile::copy(QString::fromStdString(mediaPath("guard/two.img")), two));
    Driver w({two.toStdString()});
    ASSERT_TRUE(w.desktop.makeFolder);
    const QString plain = dir.filePath(QStringLiteral("plain/New Folder"));
    EXPECT_TRUE(w.desktop.makeFolder(nullptr, plain));
    EXPECT_TRUE(QFileInfo(plain).isDir());
    EXPECT_TRUE(w.desktop.asked.isEmpty());
    EXPECT_FALSE(w.desktop.makeFolder(nullptr, two + QStringLiteral("/New Folder")));
    EXPECT_EQ(w.desktop.asked, QStringList{uiText("NewFolder")});
    EXPECT_TRUE(w.desktop.texts.value(0).startsWith(two + QStringLiteral("/New Folder could not be made")));

    if (geteuid() != 0) GTEST_SKIP() << "needs root to attach and mount a loop device";
    MountedPartition partition(two.toStdString());
    if (partition.loop.empty()) GTEST_SKIP() << "no free loop device";
    ASSERT_TRUE(partition.mounted);
    const QByteArray before = sha256(readAll(two));
    const QString inside = QString::fromStdString(partition.folder) + QStringLiteral("/New Folder");
    w.desktop.asked.clear();
    w.desktop.texts.clear();
    EXPECT_FALSE(w.desktop.makeFolder(nullptr, inside));
    EXPECT_FALSE(QFileInfo::exists(inside));
    EXPECT_EQ(w.desktop.texts, QStringList{uiText("NewFolderRefusedNotice", {inside, QStringLiteral("vorn")})});
    sync();
    EXPECT_EQ(sha256(readAll(two)), before);
}

// The window's log file is not written while it lies on the disk being read (a home folder on the
// disk being recovered; here XDG_STATE_HOME on the ext4 partition of the image, mounted through a
// loop device: needs root). Its lines and crash reports go to standard error meanwhile; the image
// stays as it was.
TEST(GuiOutcomes, TheLogFileIsNotWrittenOnTheDiskBeingRead) {
    QTemporaryDir dir;
    const QString two = dir.filePath(QStringLiteral("two.img"));
    ASSERT_TRUE(QFile::copy(QString::fromStdString(mediaPath("guard/two.img")), two));
    if (geteuid() != 0) GTEST_SKIP() << "needs root to attach and mount a loop device";
    MountedPartition partition(two.toStdString());
    if (partition.loop.empty()) GTEST_SKIP() << "no free loop device";
    ASSERT_TRUE(partition.mounted);
    const QByteArray state = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", QByteArray::fromStdString(partition.folder + "/state"));
    gui::installAppLog();
    {
        Driver w({two.toStdString()});
        w.chooseDisk();
        w.run("BrowseVolume", QStringLiteral("browseVolume"));
        sync();
        // Looked at by its size only: reading the file would give it a new access time.
        const qint64 logged = QFileInfo(gui::logFilePath()).size();
        const QByteArray before = sha256(readAll(two));
        w.desktop.answers = {0};  // yes, leave the results
        w.chooseDisk();
        w.run("LostVolumesScan", QStringLiteral("lostVolumesScan"));
        qInfo("a line while the disk is read");
        sync();
        EXPECT_EQ(QFileInfo(gui::logFilePath()).size(), logged);
        EXPECT_GT(logged, 0) << "lines logged before the disk was read stay";
        EXPECT_EQ(sha256(readAll(two)), before);
        EXPECT_TRUE(gui::holdCrashFile(false)) << "crash reports, made beside the log, are held too";
    }
    {
        // Copied into an image file without being browsed first: held while it is copied.
        gui::holdLogFile(false);  // as a window starts
        Driver w({two.toStdString()});
        w.chooseDisk();
        w.desktop.saveFiles.push_back(dir.filePath(QStringLiteral("copy.img")));
        const qint64 logged = QFileInfo(gui::logFilePath()).size();
        const int level = getLogLevel();
        setLogLevel(LOG_INFO);  // as the program logs
        w.trigger(gui::Action::CreateImageFile, QStringLiteral("createImageFile"));
        setLogLevel(level);
        ASSERT_EQ(w.app->hint().pending, uiText("ImageFileDoneHint", {dir.filePath(QStringLiteral("copy.img"))}));
        sync();
        QFile log(gui::logFilePath());
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        log.seek(logged);
        EXPECT_FALSE(log.readAll().contains("read errors:")) << "the copy's lines stay off the disk being copied";
    }
    gui::uninstallAppLog();
    qputenv("XDG_STATE_HOME", state);
}

// A disk that cannot be opened any more (its image file is gone): browsing
// and a scan end in the alert, and the hint line says that the disk was not
// read rather than keeping the hint of before.
TEST(GuiOutcomes, ADiskThatCannotBeOpenedIsToldInTheHintLine) {
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("gone.img"));
    ASSERT_TRUE(QFile::copy(QString::fromStdString(mediaPath("fatseed12.img")), image));
    Driver w({image.toStdString()});
    w.chooseDisk();
    ASSERT_TRUE(QFile::remove(image));
    const struct {
        const char* button;
        const char* command;
    } commands[] = {{"BrowseVolume", "browseVolume"}, {"LostFilesScan", "lostFilesScan"}};
    for (const auto& c : commands) {
        w.desktop.asked.clear();
        w.app->setHelpText(QStringLiteral("a hint from before"), true);
        w.run(c.button, QString::fromLatin1(c.command));
        EXPECT_EQ(w.desktop.asked, QStringList{uiText("ErrorOpeningDisk")}) << c.command;
        EXPECT_EQ(w.app->hint().pending, uiText("ErrorOpeningDiskHint")) << c.command;
        if (!w.app->selectedDisk()) w.selectRow({0, 0});
        ASSERT_TRUE(waitFor([&] { return w.app->selectedDisk() != nullptr; }));
    }
}

// A volume made by macOS stores every name decomposed; the search field
// gets the letters composed, as a keyboard types them: both names with
// "é" and "è" are found, and typed decomposed they are found too. The hint
// line tells what each search found.
TEST(GuiOutcomes, SearchFindsAccentedNamesHoweverTheyAreComposed) {
    Driver w({"hfsplus_macos.img"});
    w.chooseDisk();
    w.run("BrowseVolume", QStringLiteral("browseVolume"));
    ASSERT_TRUE(waitFor([&] { return w.app->uiState().hasResults; }));
    const QString typed = QStringLiteral("T\u00e9stfil\u00e8");
    for (const QString& text : {typed, typed.normalized(QString::NormalizationForm_D)}) {
        w.app->searchField()->setText(text);
        const qsizetype before = w.finished.size();
        QTest::keyClick(w.app->searchField(), Qt::Key_Return);
        w.waitFinished(QStringLiteral("search"), before);
        QStringList rows;
        for (int r = 0; r < w.app->treeAdapter()->rowCount(w.row({0})); ++r) rows << w.row({0, r}).data().toString();
        EXPECT_EQ(rows.filter(QStringLiteral("Search Results (2)")).size(), 1) << rows.join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(w.app->hint().pending, uiText("SearchFoundHint", {QStringLiteral("2"), text}));
    }
    // A search that finds nothing says so (the hint was the one of browsing).
    w.app->searchField()->setText(QStringLiteral("<b>nowhere</b>"));
    const qsizetype before = w.finished.size();
    QTest::keyClick(w.app->searchField(), Qt::Key_Return);
    w.waitFinished(QStringLiteral("search"), before);
    EXPECT_EQ(w.app->hint().pending, uiText("SearchFoundNothingHint", {QStringLiteral("<b>nowhere</b>")}));
}

// Keyboard only: Tab goes from the table on to the next control (it does
// not walk the table's cells, changing the selection row by row), and
// Tab alone reaches the outline, the table and the search field.
TEST(GuiOutcomes, TabLeavesTheTableAndReachesEveryPart) {
    Driver w({"camera_card.img"});
    w.chooseDisk();
    w.run("BrowseVolume", QStringLiteral("browseVolume"));
    w.selectRow({0, 0, 0});
    QTableView* table = w.app->tableView();
    ASSERT_TRUE(waitFor([&] { return table->model() && table->model()->rowCount() > 2; }));
    w.app->resize(1400, 700);  // the whole toolbar shown, none of it behind its overflow button
    w.app->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.app.get()));
    table->setFocus();
    table->selectRow(1);
    ASSERT_TRUE(waitFor([&] { return QApplication::focusWidget() == table; }, 5000));
    QTest::keyClick(table, Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), table);
    EXPECT_EQ(table->currentIndex().row(), 1);
    EXPECT_EQ(table->selectionModel()->selectedRows().size(), 1);

    QSet<QWidget*> reached;
    QStringList order;
    for (int i = 0; i < 60 && QApplication::focusWidget(); ++i) {
        QWidget* focus = QApplication::focusWidget();
        reached.insert(focus);
        order << focus->metaObject()->className() + (QLatin1Char(':') + focus->objectName());
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    for (QWidget* part : {static_cast<QWidget*>(w.app->outlineView()), static_cast<QWidget*>(table),
                          static_cast<QWidget*>(w.app->searchField())})
        EXPECT_TRUE(reached.contains(part)) << part->objectName().toStdString() << " not in "
                                            << order.join(QLatin1Char(' ')).toStdString();
}

// Keyboard only: Escape on the progress sheet is Cancel, pressed once; the
// sheet stays until the engine has stopped, and the outcome is told.
TEST(GuiOutcomes, EscapeOnTheProgressSheetCancelsOnce) {
    Driver w({"carving_fat32.img"}, true);
    w.chooseDisk();
    auto* disk = static_cast<HeldDisk*>(w.disks[0]);
    QSignalSpy cancelled(w.app->progressSheet(), &gui::ProgressSheet::cancelled);
    disk->setHold(true);
    const qsizetype before = w.finished.size();
    w.startDeletedScan();
    ASSERT_TRUE(waitFor([&] { return disk->isWaiting(); }));
    // The hint line says what runs (not the options' hint of before).
    EXPECT_EQ(w.app->hint().pending, uiText("ScanningDeletedFilesPleaseWait"));
    for (int press = 0; press < 2; ++press) {
        QTest::keyClick(w.app->progressSheet(), Qt::Key_Escape);
        EXPECT_EQ(cancelled.size(), 1) << press;
        EXPECT_FALSE(w.app->progressSheet()->cancelButton()->isEnabled());
        EXPECT_TRUE(w.app->progressSheet()->isVisible()) << "up until the engine stops";
    }
    disk->setHold(false);
    w.waitFinished(QStringLiteral("deletedFilesScan"), before);
    EXPECT_TRUE(w.app->hint().pending.startsWith(QStringLiteral("The scan was stopped"))) << w.app->hint().pending.toStdString();
}

TEST(GuiOutcomes, HelpOpensThePageBesideTheProgramOrNamesIt) {
    const QString page = QCoreApplication::applicationDirPath() + QStringLiteral("/vorn-help.html");
    EXPECT_TRUE(readAll(page).contains("vorn -cli")) << "the page ships beside the program";
    Window w({});
    w.app->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.app.get()));
    QTest::keyClick(w.app.get(), Qt::Key_F1);
    QTest::mouseClick(w.app->toolButton(QStringLiteral("Help")), Qt::LeftButton);
    EXPECT_EQ(w.desktop.helpOpened, (QStringList{page, page}));
    EXPECT_TRUE(w.desktop.asked.isEmpty());

    w.desktop.helpOpens = false;
    QTest::mouseClick(w.app->toolButton(QStringLiteral("Help")), Qt::LeftButton);
    EXPECT_EQ(w.desktop.texts, QStringList{uiText("HelpNotOpenedNotice", {page})});
}

// The real desktop hands the page to xdg-open and hears from its exit
// status whether a browser took it; a missing page is told at once.
TEST(GuiOutcomes, HelpFailsWhenNoBrowserTakesThePage) {
    QTemporaryDir bin;
    const QString page = QCoreApplication::applicationDirPath() + QStringLiteral("/vorn-help.html");
    const QString asked = bin.filePath(QStringLiteral("asked.txt"));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()) + ":" + path);
    const struct {
        int status;  // of the fake xdg-open
        QString file;
        bool failed, opened;
    } cases[] = {{0, page, false, true}, {3, page, true, true}, {0, bin.filePath(QStringLiteral("none.html")), true, false}};
    for (const auto& c : cases) {
        QFile::remove(asked);
        QFile script(bin.filePath(QStringLiteral("xdg-open")));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
        script.write(QStringLiteral("#!/bin/sh\necho \"$1\" > '%1.part' && mv '%1.part' '%1'\nexit %2\n").arg(asked).arg(c.status).toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        gui::Desktop desktop;
        bool failed = false;
        desktop.openHelp(nullptr, c.file, [&] { failed = true; });
        if (c.opened) {
            EXPECT_TRUE(waitFor([&] { return QFile::exists(asked); })) << c.status;
            EXPECT_EQ(readAll(asked).trimmed(), QUrl::fromLocalFile(c.file).toString().toUtf8());
        }
        QTest::qWait(300);  // the opener's exit arrives
        EXPECT_EQ(failed, c.failed) << c.status;
        EXPECT_EQ(QFile::exists(asked), c.opened);
    }
    qputenv("PATH", path);
}

// The tool tip shown over a cell, as plain text; empty when none shows.
QString toolTipAt(QAbstractItemView* view, const QModelIndex& index) {
    QToolTip::hideText();
    EXPECT_TRUE(waitFor([] { return !QToolTip::isVisible(); }));
    const QPoint at = view->visualRect(index).center();
    QHelpEvent help(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
    QApplication::sendEvent(view->viewport(), &help);
    if (!QToolTip::isVisible()) return QString();
    QTextDocument shown;
    shown.setHtml(QToolTip::text());
    QToolTip::hideText();
    return shown.toPlainText();
}

// Only a cut text has a tool tip: the whole text, literally (a name from a
// disk is never read as markup).
TEST(GuiOutcomes, CutNamesShowWholeAsPlainTextToolTips) {
    const QString name = QStringLiteral("<b>Many file number</b> & a long tail of words.jpg");
    QStandardItemModel model(1, 1);
    model.setItem(0, 0, new QStandardItem(name));
    QTableView view;
    view.setModel(&model);
    view.setItemDelegate(new gui::CutTextToolTips(&view));
    view.show();
    view.setColumnWidth(0, 60);
    EXPECT_EQ(toolTipAt(&view, model.index(0, 0)), name);
    view.setColumnWidth(0, 2000);
    EXPECT_EQ(toolTipAt(&view, model.index(0, 0)), QString()) << "not cut: no tool tip";

    // A name of 255 characters (one word, and words) is wider than the
    // screen: its tool tip breaks it into lines inside the screen, all of it.
    const QRect screen = view.screen()->availableGeometry();
    for (const QString& longName : {QString(251, QLatin1Char('x')) + QStringLiteral(".jpg"),
                                    QStringLiteral("<i>a long name</i> ").repeated(13) + QStringLiteral(".jpg")}) {
        model.setItem(0, 0, new QStandardItem(longName));
        view.setColumnWidth(0, 60);
        QToolTip::hideText();
        ASSERT_TRUE(waitFor([] { return !QToolTip::isVisible(); }));
        const QPoint at = view.visualRect(model.index(0, 0)).center();
        QHelpEvent help(QEvent::ToolTip, at, view.viewport()->mapToGlobal(at));
        QApplication::sendEvent(view.viewport(), &help);
        ASSERT_TRUE(QToolTip::isVisible());
        QWidget* tip = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->inherits("QTipLabel") && top->isVisible()) tip = top;
        ASSERT_TRUE(tip);
        EXPECT_LE(tip->width(), screen.width()) << longName.size();
        QTextDocument shown;
        shown.setHtml(QToolTip::text());
        EXPECT_GT(shown.toPlainText().count(QLatin1Char('\n')), 0);
        EXPECT_EQ(shown.toPlainText().remove(QLatin1Char('\n')), longName);
        QToolTip::hideText();
    }
}

TEST(GuiOutcomes, NameTakesTheTableWidthAndCutNamesShowWhole) {
    Driver w({"camera_card.img"});
    w.openFirstFolder();
    QTableView* table = w.app->tableView();
    ASSERT_TRUE(waitFor([&] { return table->model()->rowCount() > 0 && table->model()->index(0, 0).data().isValid(); }));
    QHeaderView* header = table->horizontalHeader();
    const auto others = [&] { return header->sectionSize(1) + header->sectionSize(2) + header->sectionSize(3) + header->sectionSize(4); };
    int narrower = 0;  // the spare width goes to Name
    for (const int width : {1000, 1400}) {
        w.app->resize(width, 640);
        ASSERT_TRUE(waitFor([&] { return header->sectionSize(0) + others() == table->viewport()->width(); })) << width;
        EXPECT_GT(header->sectionSize(0), std::max(narrower, header->sectionSize(4))) << width;
        narrower = header->sectionSize(0);
    }
    // A narrow window (a small screen): Name keeps half the table, the
    // others shrink (their whole text in tooltips); wide again, they are
    // as before.
    const int wide = others();
    w.app->resize(784, 552);  // its size on an 800 x 600 screen with a panel
    EXPECT_TRUE(waitFor([&] { return header->sectionSize(0) + others() == table->viewport()->width(); }, 5000));
    EXPECT_GE(header->sectionSize(0), table->viewport()->width() / 2);
    w.app->resize(1400, 640);
    EXPECT_TRUE(waitFor([&] { return others() == wide; }, 5000));

    // The outline too, narrower than a name.
    auto* splitter = qobject_cast<QSplitter*>(w.app->outlineView()->parentWidget());
    ASSERT_TRUE(splitter);
    splitter->setSizes({70, 900});
    const QModelIndex row = w.row({0, 0});
    ASSERT_TRUE(row.isValid());
    QCoreApplication::processEvents();
    EXPECT_EQ(toolTipAt(w.app->outlineView(), row), row.data().toString());
}

TEST(GuiOutcomes, TheWindowAndTheViewerOpenInsideTheAvailableScreen) {
    // With a frame of a title bar and borders, as a window manager adds.
    const QRect available(0, 0, 1280, 776);
    const QSize size(328, 328);
    const QMargins frame(3, 24, 3, 3);
    const QRect placed(gui::ViewerWindow::lowerRightFor(available, size, frame), size.grownBy(frame));
    EXPECT_EQ(available.bottom() - placed.bottom(), 5);
    EXPECT_EQ(available.right() - placed.right(), 5);

    Window w({"camera_card.img"});
    gui::ViewerWindow* viewer = w.app->itemPreviews()->viewer();
    const QRect screen = viewer->screen()->availableGeometry();
    // The window on a screen smaller than its usual 1000 x 640 (the test
    // screen's 800 x 600): the hint line at its foot stays in sight.
    ASSERT_LT(screen.width(), 1000);
    EXPECT_TRUE(screen.contains(w.app->frameGeometry())) << w.app->width() << "x" << w.app->height();
    viewer->move(screen.right() - 40, screen.bottom() - 40);  // left there earlier
    w.app->toggleViewer();
    ASSERT_TRUE(waitFor([&] { return viewer->isVisible(); }));
    EXPECT_TRUE(waitFor([&] { return screen.contains(viewer->frameGeometry()); }));
    w.app->toggleViewer();
}

TEST(GuiOutcomes, TheAboutBoxClosesWithItsButtonAndEscape) {
    Window w({});
    for (const bool byKey : {true, false}) {
        // On the test's small screen the button may sit in the toolbar's overflow.
        w.app->toolButton(QStringLiteral("About"))->click();
        auto* about = w.app->findChild<QDialog*>(QStringLiteral("aboutWindow"));
        ASSERT_TRUE(about && waitFor([&] { return about->isVisible(); }));
        if (byKey) {
            QTest::keyClick(about, Qt::Key_Escape);
        } else {
            snapshot(about, QStringLiteral("about"));
            auto* close = about->findChild<QPushButton*>(QStringLiteral("aboutCloseButton"));
            ASSERT_TRUE(close);
            clickThroughWindow(close);  // where it shows
        }
        EXPECT_FALSE(about->isVisible()) << byKey;
    }
}

// Closing during a scan, by the window's close button or the progress
// sheet's: the scan is cancelled, the engine ends its call, then the window
// closes, with no alert on the way. Nothing is Qt-modal meanwhile: Qt drops
// a window manager's close to a window that a modal one blocks.
TEST(GuiOutcomes, ClosingDuringAScanOrAnImageFileCancelsItThenCloses) {
    for (const bool bySheet : {false, true}) {
        Driver w({"carving_fat32.img"}, true);
        QSignalSpy closed(w.app.get(), &gui::AppController::windowClosed);
        w.chooseDisk();
        auto* disk = static_cast<HeldDisk*>(w.disks[0]);
        disk->setHold(true);
        w.startDeletedScan();
        ASSERT_TRUE(waitFor([&] { return disk->isWaiting(); })) << bySheet;
        EXPECT_EQ(QGuiApplication::modalWindow(), nullptr) << bySheet;
        QWidget* closing = bySheet ? static_cast<QWidget*>(w.app->progressSheet()) : w.app.get();
        QCloseEvent byWindowManager;
        QCoreApplication::sendEvent(closing->windowHandle(), &byWindowManager);
        EXPECT_TRUE(w.app->isVisible()) << "the engine ends its call first";
        EXPECT_FALSE(w.app->progressSheet()->cancelButton()->isEnabled()) << bySheet;
        disk->setHold(false);
        ASSERT_TRUE(waitFor([&] { return closed.size() == 1; })) << bySheet;
        EXPECT_FALSE(w.app->isVisible()) << bySheet;
        EXPECT_FALSE(w.app->engine()->busy()) << bySheet;
        EXPECT_TRUE(w.desktop.asked.isEmpty()) << w.desktop.asked.join('|').toStdString();
    }

    // During the making of an image file: no file under the chosen name is
    // left looking whole; the part made is kept under a name that says so.
    Driver w({"carving_fat32.img"}, true);
    QSignalSpy closed(w.app.get(), &gui::AppController::windowClosed);
    w.chooseDisk();
    auto* disk = static_cast<HeldDisk*>(w.disks[0]);
    disk->delayMs = 200;
    QTemporaryDir out;
    const QString copy = out.filePath(QStringLiteral("copy.img"));
    w.desktop.saveFiles.push_back(copy);
    w.app->action(gui::Action::CreateImageFile)->trigger();
    ASSERT_TRUE(waitFor([&] { return QFileInfo(copy).size() > 0; }));
    w.app->close();
    ASSERT_TRUE(waitFor([&] { return closed.size() == 1; }));
    EXPECT_FALSE(QFile::exists(copy));
    EXPECT_GT(QFileInfo(copy + QStringLiteral(".incomplete")).size(), 0);
    EXPECT_LT(QFileInfo(copy + QStringLiteral(".incomplete")).size(), QFileInfo(QString::fromStdString(mediumFile("carving_fat32.img"))).size());
}

// Closing the window while an image file is made keeps the part made under a name that says
// so: the first free NAME.incomplete-N when NAME.incomplete is taken, never over it (here it is
// the very image being copied), and the hint line says where the part is.
TEST(GuiOutcomes, AnImageFileStoppedByClosingTakesTheFirstFreeIncompleteNameAndTheHintSaysIt) {
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("copy.img")), read = copy + QStringLiteral(".incomplete"),
                  taken = copy + QStringLiteral(".incomplete-2"), kept = copy + QStringLiteral(".incomplete-3");
    ASSERT_TRUE(QFile::copy(QString::fromStdString(mediaPath("carving_fat32.img")), read));
    QFile other(taken);
    ASSERT_TRUE(other.open(QIODevice::WriteOnly) && other.write("a file of that name") > 0);
    other.close();
    const QByteArray before = sha256(readAll(read));
    Driver w({read.toStdString()}, true);
    QSignalSpy closed(w.app.get(), &gui::AppController::windowClosed);
    w.chooseDisk();
    static_cast<HeldDisk*>(w.disks[0])->delayMs = 200;
    w.desktop.saveFiles.push_back(copy);
    w.app->action(gui::Action::CreateImageFile)->trigger();
    ASSERT_TRUE(waitFor([&] { return QFileInfo(copy).size() > 0; }));
    w.app->close();
    ASSERT_TRUE(waitFor([&] { return closed.size() == 1; }));
    EXPECT_FALSE(QFile::exists(copy)) << "not left looking whole";
    EXPECT_GT(QFileInfo(kept).size(), 0);
    EXPECT_EQ(sha256(readAll(read)), before);
    EXPECT_EQ(readAll(taken), QByteArray("a file of that name"));
    EXPECT_EQ(w.app->hint().pending, uiText("ImageFileKeptIncompleteHint", {kept}));
}

// "Save There" onto the disk being recovered: from the FAT volume in partition 1 of an image
// attached as a loop device into the ext4 mounted from its partition 2. The guard writes nothing
// there, and the alert says that the folder lies on the disk being read, not that files would
// replace ones being read; the hint does not count "0 files saved". Needs root, losetup, sfdisk,
// mkfs.ext4 and mount.
TEST(GuiOutcomes, SaveThereOntoAnotherPartitionOfTheDiskBeingReadWritesNothingAndSaysSo) {
    auto sh = [](const QString& command) {
        return std::system(("(" + command.toStdString() + ") >/dev/null 2>&1").c_str()) == 0;
    };
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("two.img")), mounted = dir.filePath(QStringLiteral("mnt"));
    ASSERT_TRUE(QDir().mkpath(mounted));
    ASSERT_TRUE(sh(QStringLiteral("truncate -s 12M '%1' && printf 'start=2048, size=4096, type=6\\nstart=6144, type=83\\n' | "
                                  "sfdisk -q '%1' && dd if='%2' of='%1' bs=512 seek=2048 conv=notrunc status=none")
                       .arg(image, QString::fromStdString(mediaPath("guard/disk.img")))));
    struct Attached {  // unmounted, then detached, after the window has gone
        QString loop, mounted;
        ~Attached() {
            if (mounted.size()) (void)std::system(("umount '" + mounted.toStdString() + "'").c_str());
            if (loop.size()) (void)std::system(("losetup -d " + loop.toStdString()).c_str());
        }
    } attached;
    if (geteuid() == 0) {
        QProcess losetup;
        losetup.start(QStringLiteral("losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), QStringLiteral("-P"), image});
        if (losetup.waitForFinished(30000) && losetup.exitCode() == 0)
            attached.loop = QString::fromLocal8Bit(losetup.readAllStandardOutput()).trimmed();
    }
    if (attached.loop.size()) {
        sh(QStringLiteral("[ -b %1p2 ] || partx -a %1").arg(attached.loop));
        if (sh(QStringLiteral("mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0 %1p2 && mount %1p2 '%2'")
                   .arg(attached.loop, mounted)))
            attached.mounted = mounted;
    }
    if (attached.mounted.isEmpty()) GTEST_SKIP() << "needs root, a loop device, sfdisk, mkfs.ext4 and mount";
    // The table and the volume read (the mounted ext4 keeps its own books in partition 2).
    const qsizetype read = 6144 * 512;
    sync();
    const QByteArray before = sha256(readAll(image).left(read));
    {
        // The partition read as the disk; the image listed as a disk too, as the disk list lists
        // the loop device's file.
        Driver w({(attached.loop + QStringLiteral("p1")).toStdString(), image.toStdString()});
        w.openFirstFolder();
        w.desktop.folders = {mounted};
        w.desktop.answers = {1};  // Save There
        w.run("Save", QStringLiteral("save"));
        EXPECT_EQ(w.desktop.asked, (QStringList{uiText("SavingFiles"), uiText("SaveRefusedOnDisk")}));
        EXPECT_EQ(w.desktop.texts.value(1), uiText("SaveRefusedOnDiskNotice", {mounted}));
        EXPECT_EQ(w.app->hint().pending, uiText("SaveRefusedOnDiskHint", {mounted}));
        EXPECT_EQ(QDir(mounted).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{QStringLiteral("lost+found")});
    }
    sync();
    EXPECT_EQ(sha256(readAll(image).left(read)), before);
}

}  // namespace
}  // namespace vorn::test
