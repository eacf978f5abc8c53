#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTemporaryDir>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTreeView>
#include <future>

#include <sys/stat.h>

#include "GuiTestSupport.h"
#include "gui/AppLog.h"
#include "gui/Desktop.h"
#include "gui/Engine.h"
#include "gui/Hint.h"
#include "gui/StringTable.h"
#include "gui/TableAdapter.h"
#include "gui/TextLines.h"
#include "gui/TreeAdapter.h"
#include "gui/Validation.h"
#include "misc/OutputFile.h"
#include "misc/TableModelInterface.h"
#include "misc/TreeModelInterface.h"

namespace vorn::test {
namespace {

using gui::Action;
using gui::UiState;

TEST(GuiValidation, CommandsFollowTheStateTable) {
    UiState none;
    UiState partition{true, false, 3, false, false, false};
    UiState wholeFixed{true, true, 3, false, false, false};
    UiState wholeImage{true, true, 4, false, false, false};
    UiState results{false, false, 0, true, true, false};
    UiState busy{true, true, 4, true, true, true};
    const struct {
        Action action;
        UiState state;
        bool enabled;
    } rows[] = {
        {Action::ChooseDisk, none, true},         {Action::Help, busy, true},
        {Action::About, busy, true},              {Action::ChooseDisk, busy, false},
        {Action::BrowseVolume, none, false},      {Action::BrowseVolume, partition, true},
        {Action::BrowseVolume, wholeFixed, false}, {Action::BrowseVolume, wholeImage, true},
        {Action::DeletedFilesScan, none, false},  {Action::DeletedFilesScan, partition, true},
        {Action::LostFilesScan, wholeFixed, true}, {Action::CreateImageFile, partition, true},
        {Action::LostVolumesScan, partition, false}, {Action::LostVolumesScan, wholeFixed, true},
        {Action::Save, none, false},              {Action::Save, results, true},
        {Action::SaveReport, results, true},      {Action::Search, partition, false},
        {Action::Search, results, true},          {Action::SortBySize, results, true},
        {Action::OpenImageFile, none, true},      {Action::OpenImageFile, results, false},
        {Action::DeletedFilesScan, busy, false},
    };
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(gui::isEnabled(rows[i].action, rows[i].state), rows[i].enabled) << "row " << i;
}

TEST(GuiHint, FadeSwapsOnTheFifthTickAndEndsOnTheTenth) {
    gui::HintFade fade;
    fade.shown = QStringLiteral("old");
    ASSERT_TRUE(fade.set(QStringLiteral("new"), true));
    const float expected[] = {0.8f, 0.6f, 0.4f, 0.20000003f, 3.3e-8f, 0.2f, 0.4f, 0.6f, 0.8f, 1.0f};
    for (int tick = 1; tick <= 10; ++tick) {
        const bool swapped = fade.tick();
        EXPECT_NEAR(fade.alpha, expected[tick - 1], 1e-6) << "tick " << tick;
        EXPECT_EQ(swapped, tick == 5) << "tick " << tick;
        EXPECT_EQ(fade.shown, tick < 5 ? QStringLiteral("old") : QStringLiteral("new")) << "tick " << tick;
    }
    EXPECT_EQ(fade.state, gui::HintFade::Still);
    EXPECT_FALSE(fade.set(QStringLiteral("new"), true));
    EXPECT_EQ(fade.state, gui::HintFade::Still);
    EXPECT_TRUE(fade.set(QStringLiteral("new"), false));
    for (int tick = 0; tick < 6; ++tick) fade.tick();
    ASSERT_EQ(fade.state, gui::HintFade::FadingIn);
    const float reached = fade.alpha;
    fade.set(QStringLiteral("third"), true);
    fade.tick();
    EXPECT_NEAR(fade.alpha, reached - 0.2f, 1e-6);
}

TEST(GuiStrings, MissingKeysAndFormats) {
    gui::StringTable table(QStringLiteral("none"));
    table.addLines(QStringLiteral("# comment\nGreeting\tHello %@ and %s, 100%%\nTwo\tline\\nbreak\n"));
    EXPECT_EQ(table.text(QStringLiteral("NoSuchKey")), QStringLiteral("NoSuchKey"));
    EXPECT_EQ(table.text(QStringLiteral("Two")), QStringLiteral("line\nbreak"));
    EXPECT_EQ(table.format(QStringLiteral("Greeting"), {QStringLiteral("a%s"), QStringLiteral("b")}),
              QStringLiteral("Hello a%s and b, 100%"));
    EXPECT_EQ(table.format(QStringLiteral("Greeting"), {}), QStringLiteral("Hello  and , 100%"));
    EXPECT_NE(gui::appInfo().text(QStringLiteral("AppName")), QStringLiteral("AppName"));
}

TEST(GuiTextLines, LinesAndKeywords) {
    const struct {
        QString text;
        QStringList lines, keywords;
    } cases[] = {
        {QString(), {}, {}},
        {QStringLiteral("alpha\nbeta"), {QStringLiteral("alpha\n"), QStringLiteral("beta")},
         {QStringLiteral("alpha"), QStringLiteral("beta")}},
        {QStringLiteral("  one \n\n\t two\n"),
         {QStringLiteral("  one \n"), QStringLiteral("\n"), QStringLiteral("\t two\n"), QString()},
         {QStringLiteral("one"), QStringLiteral("two")}},
    };
    for (const auto& c : cases) {
        QPlainTextEdit edit;
        edit.setLineWrapMode(QPlainTextEdit::NoWrap);
        edit.setPlainText(c.text);
        edit.resize(300, 200);
        edit.show();
        EXPECT_EQ(gui::lines(&edit), c.lines) << c.text.toStdString();
        EXPECT_EQ(gui::numberOfLines(&edit), c.lines.size());
        EXPECT_EQ(gui::keywordsOf(&edit), c.keywords) << c.text.toStdString();
    }
}

struct FakeNode : Base {
    std::string name;
    std::vector<FakeNode*> children;
};

struct FakeTree : TreeModelInterface {
    FakeNode root, a, b, shared, results;
    int childCalls = 0;
    FakeTree() {
        root.name = "root";
        a.name = "a\x1b[31m";
        b.name = "b\xe2\x80\xae" "fdp.exe";
        shared.name = "shared";
        results.name = "results";
        root.children = {&a, &b, &results};
        a.children = {&shared};
        results.children = {&shared};
    }
    static FakeNode* node(Base* n) { return static_cast<FakeNode*>(n); }
    Base* getRoot() override { return &root; }
    bool isLeaf(Base* n) override { return node(n)->children.empty(); }
    std::string getText(Base* n) override { return node(n)->name; }
    u32 getChildCount(Base* n) override { return u32(node(n)->children.size()); }
    Base* getChild(Base* n, u32 i) override {
        ++childCalls;
        return i < node(n)->children.size() ? node(n)->children[i] : nullptr;
    }
    int getTag(Base*) override { return 0; }
    int getIcon(Base*, bool) override { return ICON_FOLDER_CLOSED; }
};

TEST(GuiAdapters, OutlineRowsAreOccurrencesAndNamesArePlainText) {
    gui::Engine engine(std::make_unique<DiskManager>());
    gui::TreeAdapter adapter(&engine);
    QAbstractItemModelTester tester(&adapter, QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto model = std::make_shared<FakeTree>();
    QTreeView view;
    view.setModel(&adapter);
    view.show();
    QObject::connect(&adapter, &gui::TreeAdapter::rowsFetched, &view,
                     [&](const QModelIndex& parent) {
                         for (int r = 0; r < adapter.rowCount(parent); ++r) view.expand(adapter.index(r, 0, parent));
                     });
    adapter.setModel(model);
    ASSERT_TRUE(waitFor([&] {
        const QModelIndex root = adapter.index(0, 0);
        return root.isValid() && adapter.rowCount(root) == 3 && adapter.rowCount(adapter.index(0, 0, root)) == 1 &&
               adapter.rowCount(adapter.index(2, 0, root)) == 1;
    }));
    const QModelIndex root = adapter.index(0, 0);
    const QModelIndex underA = adapter.index(0, 0, adapter.index(0, 0, root));
    const QModelIndex underResults = adapter.index(0, 0, adapter.index(2, 0, root));
    EXPECT_EQ(adapter.objectAt(underA), adapter.objectAt(underResults));
    EXPECT_NE(underA, underResults);
    EXPECT_EQ(adapter.parent(underResults), adapter.index(2, 0, root));
    EXPECT_EQ(adapter.index(0, 0, root).data().toString(), QStringLiteral("a\\x1B[31m"));
    EXPECT_EQ(adapter.index(1, 0, root).data().toString(), QStringLiteral("b\\xE2\\x80\\xAEfdp.exe"));
    adapter.reload();
    adapter.setModel(nullptr);
    EXPECT_EQ(adapter.rowCount(), 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(adapter.rowCount(), 0);
}

TEST(GuiLog, TheFileKeepsItsLastLinesUpToTheLimit) {
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/vorn.log");
    const struct {
        QByteArray before;
        qint64 limit;
        QByteArray after;
    } cases[] = {{"a\nb\n", 100, "a\nb\n"}, {"first line\nsecond\nthird\n", 10, "third\n"}, {"", 10, ""}};
    for (const auto& c : cases) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.before);
        file.close();
        gui::trimLogFile(path, c.limit);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), c.after) << c.before.toStdString();
        file.close();
    }
}

TEST(GuiDesktop, AlertsShowPlainTextAndEscapeAnswersNothing) {
    gui::Desktop desktop;
    const struct {
        int key;  // 0: click the second button
        int answer;
    } cases[] = {{Qt::Key_Escape, -1}, {0, 1}};
    for (const auto& c : cases) {
        QString shown;
        Qt::TextFormat format = Qt::AutoText;
        QTimer::singleShot(0, [&] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(widget);
                if (!box || !box->isVisible()) continue;
                shown = box->text();
                format = box->textFormat();
                if (c.key) {
                    QTest::keyClick(box, Qt::Key(c.key));
                } else {
                    box->buttons().value(1)->click();
                }
            }
        });
        const int answer = desktop.ask(nullptr, QStringLiteral("Title"), QStringLiteral("<b>a name</b>"),
                                       {QStringLiteral("Yes"), QStringLiteral("No"), QStringLiteral("Cancel")}, 0);
        EXPECT_EQ(answer, c.answer) << c.key;
        EXPECT_EQ(format, Qt::PlainText);
        EXPECT_TRUE(shown.contains(QStringLiteral("<b>a name</b>"))) << shown.toStdString();
    }
}

// Every file panel's "New Folder" (its button and its menu entry) makes the folder through
// Desktop::makeFolder, here the engine's check with /dev/shm standing for a file system inside an
// image being read: nothing is made there, and in a plain folder the folder is made and chosen.
TEST(GuiDesktop, APanelsNewFolderIsMadeThroughTheGuardAndNowhereItRefuses) {
    QTemporaryDir plain;
    QTemporaryDir image(QStringLiteral("/dev/shm/vorn_panel_XXXXXX"));
    ASSERT_TRUE(plain.isValid() && image.isValid());
    struct stat plainInfo {}, imageInfo {};
    ASSERT_EQ(stat(QFile::encodeName(plain.path()).constData(), &plainInfo), 0);
    ASSERT_EQ(stat(QFile::encodeName(image.path()).constData(), &imageInfo), 0);
    if (plainInfo.st_dev == imageInfo.st_dev) GTEST_SKIP() << "/tmp and /dev/shm are one file system here";
    ProtectedFiles files;
    files.addDevice(imageInfo.st_dev);
    gui::Desktop desktop;
    QStringList asked;
    desktop.makeFolder = [&](QWidget*, const QString& path) {
        asked << path;
        return makeFolders(path.toStdString(), files) == FolderMade::Ready;
    };
    const std::function<QString()> panels[] = {
        [&] { return desktop.chooseFolder(nullptr, QStringLiteral("folder")); },
        [&] { return desktop.chooseSaveFile(nullptr, QStringLiteral("file"), QStringLiteral("x.img"), QStringLiteral("img")); },
        [&] { return desktop.chooseOpenFile(nullptr, QStringLiteral("open"), QStringLiteral("(*.img)")); },
    };
    int made = 0;
    for (const auto& panel : panels) {
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_TRUE(dialog);
            auto* button = dialog->findChild<QAbstractButton*>(QStringLiteral("newFolderButton"));
            auto* action = dialog->findChild<QAction*>(QStringLiteral("qt_new_folder_action"));
            ASSERT_TRUE(button && action);
            dialog->setDirectory(image.path());
            QApplication::processEvents();
            // The panel renames and deletes nothing, here or anywhere.
            auto* rename = dialog->findChild<QAction*>(QStringLiteral("qt_rename_action"));
            auto* remove = dialog->findChild<QAction*>(QStringLiteral("qt_delete_action"));
            ASSERT_TRUE(rename && remove);
            EXPECT_FALSE(rename->isEnabled() || remove->isEnabled());
            EXPECT_TRUE(dialog->testOption(QFileDialog::ReadOnly));
            EXPECT_TRUE(button->isEnabled()) << "New Folder stays, through the guard";
            button->click();
            action->trigger();
            dialog->setDirectory(plain.path());
            QApplication::processEvents();
            button->click();
            dialog->reject();
        });
        panel();
        ++made;
        EXPECT_TRUE(QDir(image.path()).isEmpty()) << "nothing made in the protected file system";
        EXPECT_EQ(QDir(plain.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), made);
    }
    EXPECT_EQ(asked.size(), 9) << asked.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(asked.value(2), plain.filePath(QStringLiteral("New Folder")));
    EXPECT_EQ(asked.value(5), plain.filePath(QStringLiteral("New Folder 2")));
}

struct BigTable : TableModelInterface {
    u32 getRowCount() override { return 100000; }
    u32 getColumnCount() override { return 5; }
    std::string getText(u32 row, u32 column) override {
        ++reads;
        return column == 0 ? "file " + std::to_string(row) : std::string();
    }
    std::string getColumnName(u32) override { return ""; }
    int getIcon(u32) override { return ICON_FILE; }
    VolumeItem* getItem(u32) override { return nullptr; }
    std::atomic<u64> reads{0};
};

TEST(GuiAdapters, BigFolderScrollsWithBoundedCacheAndWaitsForABusyEngine) {
    gui::Engine engine(std::make_unique<DiskManager>());
    gui::TableAdapter adapter(&engine);
    QAbstractItemModelTester tester(&adapter, QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto model = std::make_shared<BigTable>();
    adapter.setModel(model);
    ASSERT_EQ(adapter.rowCount(), 100000);
    QTableView view;
    view.setModel(&adapter);
    view.resize(600, 400);
    view.show();
    for (int row = 0; row < 100000; row += 997) {
        view.scrollTo(adapter.index(row, 0));
        QCoreApplication::processEvents();
        EXPECT_EQ(adapter.index(row, 0).data().toString(), QStringLiteral("file %1").arg(row));
    }
    EXPECT_LE(adapter.cachedPages(), gui::TableAdapter::kMaxPages);
    EXPECT_LT(model->reads.load(), u64(100000));

    std::mutex gate;
    std::condition_variable go;
    bool running = false, release = false;
    engine.post([&] {
        std::unique_lock<std::mutex> lock(gate);
        running = true;
        go.notify_all();
        go.wait(lock, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> lock(gate);
        go.wait(lock, [&] { return running; });
    }
    adapter.reload();
    EXPECT_FALSE(adapter.index(5, 0).data().isValid());
    {
        std::lock_guard<std::mutex> lock(gate);
        release = true;
    }
    go.notify_all();
    EXPECT_TRUE(waitFor([&] { return adapter.index(5, 0).data().toString() == QStringLiteral("file 5"); }));
}

TEST(GuiGateDeathTest, AnEngineCallFromAThreadWithoutTheGateFails) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A call that does not abort lets the job go, so the block ends and the
    // death test fails at once instead of waiting for the job forever.
    EXPECT_DEATH(
        {
            gui::Engine engine(std::make_unique<DiskManager>());
            std::promise<void> inJob;
            std::promise<void> release;
            engine.post([&inJob, released = release.get_future().share()] {
                inJob.set_value();
                released.wait();
            });
            inJob.get_future().wait();
            engine.recovery();
            release.set_value();
        },
        "engine call \\(recovery\\) from a thread that may not use the engine");
    gui::Engine engine(std::make_unique<DiskManager>());
    gui::GateAccess access(engine.gate());
    ASSERT_TRUE(access);
    EXPECT_NE(engine.recovery(), nullptr);
}

}  // namespace
}  // namespace vorn::test
