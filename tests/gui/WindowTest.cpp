#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAction>
#include <QCheckBox>
#include <QToolBar>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeView>
#include <map>

#include "GuiTestSupport.h"
#include "fs/RecoveryEventListener.h"
#include "fs/VolumeItem.h"
#include "gui/Engine.h"
#include "gui/HoverButton.h"
#include "gui/ProgressSheet.h"
#include "gui/TableAdapter.h"
#include "gui/TreeAdapter.h"
#include "recovery/Recovery.h"

namespace vorn::test {
namespace {

using gui::Action;

struct ManifestLine {
    QStringList fields;
};

std::vector<QStringList> manifest(const std::string& image, const QString& kind) {
    std::vector<QStringList> out;
    QFile file(QString::fromStdString(mediaPath(image + ".manifest")));
    if (!file.open(QIODevice::ReadOnly)) return out;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QStringList fields = QString::fromUtf8(line).split(QLatin1Char('\t'));
        if (fields.value(0) == kind) out.push_back(fields);
    }
    return out;
}

TEST(GuiWindow, BrowseSelectAndSaveTheCameraCardByteForByte) {
    Driver w({"camera_card.img"});
    QAbstractItemModelTester treeCheck(w.app->treeAdapter(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModelTester tableCheck(w.app->tableAdapter(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    w.chooseDisk();
    snapshot(w.app.get(), QStringLiteral("1-disk-list"));
    EXPECT_TRUE(w.app->windowTitle().contains(QStringLiteral("camera_card.img")));
    w.run("BrowseVolume", QStringLiteral("browseVolume"));
    w.selectRow({0});
    QTableView* table = w.app->tableView();
    ASSERT_TRUE(waitFor([&] { return table->model()->rowCount() >= 2; }));
    snapshot(w.app.get(), QStringLiteral("2-browsed-card"));
    clickRow(table, table->model()->index(0, 0));
    QTest::keyClick(table, Qt::Key_A, Qt::ControlModifier);
    QTemporaryDir target;
    w.savedUnder(target);
    w.run("Save", QStringLiteral("save"));
    int checked = 0;
    for (const QStringList& entry : manifest("camera_card.img", QStringLiteral("entry"))) {
        if (entry.value(1) != QLatin1String("file") || entry.value(2) != QLatin1String("live")) continue;
        const QString path = target.path() + entry.value(8);
        EXPECT_EQ(sha256(readAll(path)), entry.value(4).toLatin1()) << path.toStdString();
        ++checked;
    }
    EXPECT_EQ(checked, 7);
    EXPECT_EQ(w.desktop.asked.size(), 0) << w.desktop.asked.join(QLatin1Char(',')).toStdString();
    EXPECT_EQ(w.app->hint().pending, uiText("SaveDoneHint", {QString::number(filesUnder(target.path())), target.path()}));

    QFile readme(target.path() + QStringLiteral("/MISC/README.TXT"));
    testing::internal::CaptureStdout();
    const struct {
        int answer;
        bool restored;
    } answers[] = {{-1, false}, {1, false}, {0, true}};
    for (const auto& a : answers) {
        EXPECT_TRUE(readme.open(QIODevice::WriteOnly | QIODevice::Truncate));  // no return while capturing
        readme.write("changed");
        readme.close();
        w.desktop.asked.clear();
        w.desktop.answers.assign(20, a.answer);
        w.savedUnder(target);
        w.run("Save", QStringLiteral("save"));
        const qsizetype questions = w.desktop.asked.count(QStringLiteral("File exists"));
        EXPECT_TRUE(a.answer == -1 ? questions == 1 : questions >= 7) << a.answer << ": " << questions;
        EXPECT_EQ(readAll(readme.fileName()) != "changed", a.restored) << a.answer;
    }
    // The listener's lines: one per file saved, one per question asked.
    const QByteArray lines = QByteArray::fromStdString(testing::internal::GetCapturedStdout());
    if (HasFailure()) fputs(lines.constData(), stdout);  // the failures told meanwhile
    EXPECT_GE(lines.count("fileSaving\n"), 7);
    EXPECT_TRUE(lines.contains("ask for: " + QFile::encodeName(readme.fileName()) + "\n"));

    QTemporaryDir blocked;  // a file in its place by the time the save runs: it cannot be made again
    w.desktop.asked.clear();
    w.desktop.answers.clear();
    w.savedUnder(blocked);
    blocked.remove();
    QFile inTheWay(blocked.path());
    ASSERT_TRUE(inTheWay.open(QIODevice::WriteOnly));
    inTheWay.close();
    w.run("Save", QStringLiteral("save"));
    EXPECT_EQ(w.desktop.asked, QStringList{QStringLiteral("The save failed")});
    const QString told = w.app->hint().pending;
    EXPECT_TRUE(told.startsWith(QStringLiteral("Saved ")) && told.contains(blocked.path()) &&
                told.contains(QStringLiteral("could not be saved")))
        << told.toStdString();
    inTheWay.remove();
}

TEST(GuiWindow, DeletedFilesScanCancelledOnceThenCarvedFilesMatch) {
    Driver w({"carving_fat32.img"}, true);
    static_cast<HeldDisk*>(w.disks[0])->delayMs = 400;
    w.chooseDisk();
    w.app->activateTextScanCheckbox()->setChecked(false);
    qsizetype before = w.finished.size();
    QTest::mouseClick(w.app->toolButton(QStringLiteral("DeletedFilesScan")), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return w.app->scanWindow()->isVisible(); }));
    snapshot(w.app.get(), QStringLiteral("3-scan-options"));
    w.app->scanWindowEndCancel();
    w.startDeletedScan();
    ASSERT_TRUE(w.app->progressSheet()->isVisible());
    QTest::mouseClick(w.app->progressSheet()->cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(w.app->progressSheet()->cancelButton()->isEnabled());
    w.waitFinished(QStringLiteral("deletedFilesScan"), before);
    const u64 cancelled = w.resultFiles();
    static_cast<HeldDisk*>(w.disks[0])->delayMs = 0;
    // Told as stopped, with what it kept; never as complete.
    EXPECT_EQ(w.app->hint().pending, cancelled ? uiText("ScanStoppedHint", {QString::number(cancelled)})
                                               : uiText("ScanStoppedEmptyHint"));
    EXPECT_EQ(w.desktop.asked, QStringList{QStringLiteral("The scan was stopped")});
    if (waitFor([&] { return w.app->hint().shown == w.app->hint().pending && w.app->hint().state == gui::HintFade::Still; }, 5000))
        snapshot(w.app.get(), QStringLiteral("outcome-scan-stopped"));

    w.desktop.asked.clear();
    w.chooseDisk();
    EXPECT_EQ(w.desktop.asked, QStringList{QStringLiteral("Close the scan results?")});
    // The alert that tells the end of the scan stands over its results: the
    // outline fills behind it while it waits for an answer.
    bool resultsBehindTheAlert = false;
    w.desktop.onAsk = [&] {
        if (w.desktop.asked.last() == QStringLiteral("The scan is complete"))
            resultsBehindTheAlert = waitFor([&] { return w.row({0, 0, 0}).isValid(); }, 5000);
    };
    before = w.finished.size();
    w.startDeletedScan();
    w.waitFinished(QStringLiteral("deletedFilesScan"), before);
    w.desktop.onAsk = nullptr;
    EXPECT_TRUE(resultsBehindTheAlert) << "an empty outline behind the alert";
    const u64 whole = w.resultFiles();
    EXPECT_LT(cancelled, whole);
    EXPECT_GT(w.desktop.sounds, 1);
    EXPECT_TRUE(w.desktop.asked.contains(QStringLiteral("The scan is complete")));
    EXPECT_EQ(w.app->hint().pending, uiText("SelectFilesToRecoverHint"));

    ASSERT_TRUE(waitFor([&] { return w.row({0, 0, 0}).isValid(); }));
    EXPECT_TRUE(w.app->outlineView()->isExpanded(w.row({0, 0})));
    EXPECT_TRUE(w.app->outlineView()->isExpanded(w.row({0})));
    w.selectRow({0});
    snapshot(w.app.get(), QStringLiteral("5-scan-results"));
    QTemporaryDir target;
    w.savedUnder(target);
    w.run("Save", QStringLiteral("save"));
    std::map<QString, QString> saved;  // "<sector>" -> path
    QDirIterator it(target.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        saved[it.fileInfo().completeBaseName()] = path;
    }
    int matched = 0;
    for (const QStringList& file : manifest("carving_fat32.img", QStringLiteral("file"))) {
        if (!QStringList{"jpg", "gif", "bmp", "png", "pdf", "wav", "avi", "zip"}.contains(file.value(1))) continue;
        const QString sector = QString::number(file.value(2).toULongLong() / 512);
        ASSERT_TRUE(saved.count(sector)) << file.value(5).toStdString();
        const QByteArray bytes = readAll(saved[sector]).left(file.value(3).toLongLong());
        EXPECT_EQ(sha256(bytes), file.value(4).toLatin1()) << file.value(5).toStdString();
        ++matched;
    }
    EXPECT_GE(matched, 8);
}

TEST(GuiWindow, LostScansSearchSortReportAndImageFile) {
    Driver w({"camera_card.img"});
    w.chooseDisk();
    w.run("LostFilesScan", QStringLiteral("lostFilesScan"));
    EXPECT_TRUE(w.app->uiState().hasResults);

    w.desktop.answers = {0};
    w.chooseDisk();
    w.run("LostVolumesScan", QStringLiteral("lostVolumesScan"));
    EXPECT_TRUE(waitFor([&] { return w.row({0, 0}).isValid(); })) << "the disk list stays";

    QTemporaryDir out;
    const QString copy = out.path() + QStringLiteral("/copy.img");
    w.desktop.saveFiles.push_back(copy);
    w.trigger(Action::CreateImageFile, QStringLiteral("createImageFile"));
    EXPECT_EQ(sha256(readAll(copy)), sha256(readAll(QString::fromStdString(mediaPath("camera_card.img")))));
    EXPECT_EQ(w.app->hint().pending, uiText("ImageFileDoneHint", {copy}));
    w.desktop.asked.clear();
    const QString unwritable = out.path() + QStringLiteral("/no/such/folder/copy.img");
    w.desktop.saveFiles.push_back(unwritable);
    w.trigger(Action::CreateImageFile, QStringLiteral("createImageFile"));
    EXPECT_EQ(w.desktop.asked, QStringList{QStringLiteral("The image file failed")});
    EXPECT_EQ(w.app->hint().pending, uiText("ImageFileFailedHint", {unwritable})) << "not the hint of the image made before";

    w.run("BrowseVolume", QStringLiteral("browseVolume"));
    w.selectRow({0, 0, 0});
    w.app->action(Action::SortBySize)->trigger();
    EXPECT_TRUE(w.app->action(Action::SortBySize)->isChecked());
    EXPECT_FALSE(w.app->action(Action::SortByName)->isChecked());
    QAbstractItemModel* table = w.app->tableView()->model();
    ASSERT_TRUE(waitFor([&] { return table->rowCount() >= 4 && table->index(0, 1).data().isValid(); }));
    std::vector<int> sizes;
    for (int r = 0; r < table->rowCount(); ++r) sizes.push_back(table->index(r, 1).data().toString().split(' ')[0].toInt());
    EXPECT_TRUE(std::is_sorted(sizes.begin(), sizes.end()) || std::is_sorted(sizes.rbegin(), sizes.rend()));

    w.app->searchField()->setText(QStringLiteral("IMG_01"));
    const qsizetype beforeSearch = w.finished.size();
    QTest::keyClick(w.app->searchField(), Qt::Key_Return);
    w.waitFinished(QStringLiteral("search"), beforeSearch);
    snapshot(w.app.get(), QStringLiteral("6-search-results"));
    QStringList rows;
    for (int r = 0; r < w.app->treeAdapter()->rowCount(w.row({0})); ++r) rows << w.row({0, r}).data().toString();
    EXPECT_EQ(rows.filter(QStringLiteral("Search Results (2)")).size(), 1)
        << w.row({0}).data().toString().toStdString() << ": " << rows.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(waitFor([&] { return w.app->tableView()->model()->rowCount() == 2; }));

    const QString report = out.path() + QStringLiteral("/report.html");
    w.desktop.saveFiles.push_back(report);
    w.selectRow({0});
    w.run("SaveFileList", QStringLiteral("saveReport"));
    EXPECT_TRUE(readAll(report).contains("IMG_0001.JPG"));
    EXPECT_EQ(w.app->hint().pending, uiText("ReportDoneHint", {report}));
    // One that cannot be written, and one onto the disk being read: told.
    for (const QString& path : {out.path() + QStringLiteral("/no/such/folder/report.html"),
                                QString::fromStdString(mediaPath("camera_card.img"))}) {
        w.desktop.asked.clear();
        w.desktop.saveFiles.push_back(path);
        w.run("SaveFileList", QStringLiteral("saveReport"));
        EXPECT_EQ(w.desktop.asked, QStringList{QStringLiteral("The file list was not saved")}) << path.toStdString();
        EXPECT_EQ(w.app->hint().pending, uiText("ReportFailedHint", {path})) << "not the hint of the list saved before";
    }
}

TEST(GuiWindow, SheetIsModalThrottledAndLiveWhileAReadHangs) {
    Driver w({"carving_fat32.img"}, true);
    w.chooseDisk();
    auto* disk = static_cast<HeldDisk*>(w.disks[0]);
    QSignalSpy aboutTriggered(w.app->action(Action::About), &QAction::triggered);
    disk->setHold(true);
    const qsizetype before = w.finished.size();
    w.startDeletedScan();
    ASSERT_TRUE(waitFor([&] { return disk->isWaiting(); }));
    w.app->setHelpText(QStringLiteral("still here"), true);
    EXPECT_TRUE(waitFor([&] { return w.app->hint().shown == QStringLiteral("still here"); }));
    EXPECT_FALSE(w.app->grab().isNull());
    snapshot(w.app.get(), QStringLiteral("4-progress-sheet"));
    clickThroughWindow(w.app->progressSheet()->cancelButton());
    EXPECT_FALSE(w.app->progressSheet()->cancelButton()->isEnabled());
    ASSERT_TRUE(w.app->action(Action::About)->isEnabled());
    clickThroughWindow(w.app->toolButton(QStringLiteral("About")));
    EXPECT_EQ(aboutTriggered.size(), 0);
    EXPECT_TRUE(w.app->progressSheet()->isVisible());
    disk->setHold(false);
    w.waitFinished(QStringLiteral("deletedFilesScan"), before);
    EXPECT_EQ(aboutTriggered.size(), 0);
}

// Run without its medium, a window test fails once, with a line naming the
// medium, and its waits end at once rather than after a minute each.
TEST(GuiTestMedia, AWindowTestWithoutItsMediumFailsAtOnce) {
    EXPECT_NONFATAL_FAILURE(
        {
            Window w({"no_such_medium.img"});
            EXPECT_FALSE(waitFor([] { return true; }));
        },
        "missing test medium");
}

TEST(GuiWindow, ProgressIsServedOncePerTenthOfASecondAndParksTheEngine) {
    const struct {
        double step;  // seconds the clock moves per reading
        int served;
    } cases[] = {{0.0, 1}, {0.25, 50}, {0.04, 17}};
    for (const auto& c : cases) {
        double now = 0;
        FakeDesktop desktop;
        gui::AppOptions options;
        options.desktop = &desktop;
        options.chooseDiskAtStart = false;
        options.clock = [&now, &c] { return now += c.step; };
        gui::AppController app(options);
        gui::Engine* engine = app.engine();
        std::atomic<int> cancels{0};
        std::atomic<bool> done{false};
        app.progressSheet()->begin(QStringLiteral("title"), QStringLiteral("text"));
        engine->post([&] {
            RecoveryEventListener* listener = engine->recovery()->getListener();
            for (int i = 0; i < 50; ++i) {
                bool cancel = false;
                listener->progressEvent(i == 0 ? -1.0 : i, &cancel);
                if (cancel) ++cancels;
            }
            done = true;
        });
        ASSERT_TRUE(waitFor([&] { return done.load(); })) << c.step;
        EXPECT_EQ(app.servedProgressCount(), c.served) << c.step;
        EXPECT_EQ(cancels.load(), 0) << c.step;
        const bool measured = app.progressSheet()->bar()->maximum() == 100;
        EXPECT_EQ(measured, c.served > 1) << c.step;

        QTest::mouseClick(app.progressSheet()->cancelButton(), Qt::LeftButton);
        done = false;
        engine->post([&] {
            bool cancel = false;
            engine->recovery()->getListener()->progressEvent(10, &cancel);
            if (cancel) ++cancels;
            done = true;
        });
        ASSERT_TRUE(waitFor([&] { return done.load(); })) << c.step;
        EXPECT_EQ(cancels.load(), c.step >= 0.1 ? 1 : 0) << "a cancel is passed on only by a served report";
        EXPECT_FALSE(app.progressSheet()->cancelButton()->isEnabled()) << "pressed once, Cancel stays disabled";
        app.progressSheet()->hide();
    }
}

TEST(GuiWindow, HoverShowsHintsOnlyForEnabledButtons) {
    Driver w({"camera_card.img"});
    w.chooseDisk();
    const struct {
        const char* button;
        bool hint;
    } cases[] = {{"Save", false}, {"DeletedFilesScan", true}};
    for (const auto& c : cases) {
        const QString before = w.app->hint().pending;
        gui::HoverButton* button = w.app->toolButton(QString::fromLatin1(c.button));
        QTest::mouseMove(button->window()->windowHandle(), button->mapTo(button->window(), button->rect().center()));
        QTest::mouseMove(button->window()->windowHandle(), button->mapTo(button->window(), QPoint(2, 2)));
        EXPECT_EQ(w.app->hint().pending != before, c.hint) << c.button;
    }
    w.app->speakHintsCheckbox()->setChecked(true);
    w.app->setHelpText(QStringLiteral("spoken"), true);
    for (int tick = 0; tick < 30; ++tick) w.app->timerTick();
    EXPECT_EQ(w.desktop.spoken.count(QStringLiteral("spoken")), 1) << w.desktop.spoken.join('|').toStdString();
    EXPECT_EQ(w.app->helpTextView()->text(), QStringLiteral("spoken"));
    EXPECT_EQ(w.app->helpTextView()->textFormat(), Qt::PlainText);
    EXPECT_EQ(w.app->findChild<QToolBar*>()->isMovable(), false);
    EXPECT_EQ(w.app->contextMenuPolicy(), Qt::NoContextMenu);
}

}  // namespace
}  // namespace vorn::test
