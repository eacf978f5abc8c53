#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSettings>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <cstdlib>
#include <thread>

#include "GuiTestSupport.h"
#include "gui/CrashHandler.h"
#include "gui/CrashLogCheck.h"
#include "gui/CrashUpload.h"
#include "gui/Engine.h"
#include "gui/PreviewWorker.h"
#include "gui/KvCrashReporter.h"
#include "gui/KvSystemInfo.h"

extern "C" __attribute__((noinline, no_sanitize_undefined)) void vornTestCrashByNullWrite() {
    volatile int* volatile target = nullptr;
    *target = 1;
}
static volatile int recursionLimit = -1;  // never reached
extern "C" __attribute__((noinline)) int vornTestCrashByRecursion(int depth) {
    if (depth == recursionLimit) return 0;
    volatile char frame[512];
    frame[depth % 512] = char(depth);
    return vornTestCrashByRecursion(depth + 1) + frame[0];
}
extern "C" __attribute__((noinline)) void vornTestCrashByAbort() {
    void (*volatile stop)() = abort;
    stop();
    __asm__ volatile("" ::: "memory");  // keeps the call a call
}

namespace vorn::test {
namespace {

void writeFile(const QString& path, const QByteArray& data, qint64 mtimeSeconds = -1) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(data);
    file.flush();  // a later flush would set the time again
    if (mtimeSeconds >= 0)
        file.setFileTime(QDateTime::fromSecsSinceEpoch(mtimeSeconds), QFileDevice::FileModificationTime);
}

gui::KvCrashReporter* openReporter() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* r = qobject_cast<gui::KvCrashReporter*>(w); r && r->isVisible()) return r;
    return nullptr;
}

struct EchoServer {
    QProcess process;
    QByteArray pending;
    int port = 0;
    EchoServer() {
        process.start(QStringLiteral("python3"), {QStringLiteral(VORN_SOURCE_DIR "/tests/gui/upload_echo.py")});
        const QByteArray line = nextLine();
        if (line.startsWith("PORT ")) port = line.mid(5).toInt();
    }
    ~EchoServer() {
        process.kill();
        process.waitForFinished();
    }
    QByteArray nextLine() {
        QSignalSpy output(&process, &QProcess::readyReadStandardOutput);
        for (;;) {
            pending += process.readAllStandardOutput();
            const qsizetype end = pending.indexOf('\n');
            if (end >= 0) {
                const QByteArray line = pending.left(end);
                pending.remove(0, end + 1);
                return line;
            }
            if (!output.wait(20000)) return {};
        }
    }
    QJsonObject nextReport() {
        const QByteArray line = nextLine();
        const QJsonObject report = QJsonDocument::fromJson(line).object();
        if (report.isEmpty()) ADD_FAILURE() << "server said: " << line.toStdString();
        return report;
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/report").arg(port); }
};

TEST(CrashChild, Run) {
    const QByteArray mode = qgetenv("VORN_CRASH_CHILD");
    if (mode.isEmpty()) GTEST_SKIP() << "only as a crashing child";
    ASSERT_TRUE(gui::installCrashHandler(qEnvironmentVariable("VORN_CRASH_DIR")));
    if (mode == "held-segv") gui::holdCrashFile(true);
    if (mode == "segv" || mode == "held-segv") vornTestCrashByNullWrite();
    if (mode == "overflow") vornTestCrashByRecursion(0);
    if (mode == "abort") vornTestCrashByAbort();
    // The threads of the window: the engine's and a preview worker.
    std::unique_ptr<gui::Engine> engine;
    std::unique_ptr<gui::PreviewWorker> worker;
    if (mode == "engine-overflow") {
        engine = std::make_unique<gui::Engine>(std::make_unique<DiskManager>());
        engine->post([] { vornTestCrashByRecursion(0); });
    }
    if (mode == "worker-overflow") {
        worker = std::make_unique<gui::PreviewWorker>([](int, u64) { return vornTestCrashByRecursion(0), gui::PreviewResult(); });
        worker->request({0});
    }
    std::this_thread::sleep_for(std::chrono::seconds(60));
}

TEST(CrashHandler, ChildWritesTheLogAndKeepsTheStatus) {
    const struct {
        const char* mode;
        const char* status;
        const char* function;
        const char* signal;
    } cases[] = {{"segv", "139", "vornTestCrashByNullWrite", "Signal: 11 (SIGSEGV)\nAddress: 0x0\n"},
                 {"overflow", "139", "vornTestCrashByRecursion", "Signal: 11 (SIGSEGV)"},
                 {"engine-overflow", "139", "vornTestCrashByRecursion", "Signal: 11 (SIGSEGV)"},
                 {"worker-overflow", "139", "vornTestCrashByRecursion", "Signal: 11 (SIGSEGV)"},
                 {"abort", "134", "vornTestCrashByAbort", "Signal: 6 (SIGABRT)"}};
    for (const auto& c : cases) {
        QTemporaryDir dir;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VORN_CRASH_CHILD"), QString::fromLatin1(c.mode));
        env.insert(QStringLiteral("VORN_CRASH_DIR"), dir.path() + QStringLiteral("/crashes"));
        env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("handle_segv=0:handle_abort=0:handle_sigbus=0:"
                                                                  "handle_sigfpe=0:handle_sigill=0:use_sigaltstack=0"));
        child.setProcessEnvironment(env);
        child.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"), QStringLiteral("ulimit -c 0; \"$0\" --gtest_filter=CrashChild.Run "
                                                          ">/dev/null 2>&1; echo $?"),
                     QCoreApplication::applicationFilePath()});
        ASSERT_TRUE(child.waitForFinished(60000)) << c.mode;
        EXPECT_EQ(child.readAllStandardOutput().trimmed(), QByteArray(c.status)) << c.mode;
        const QString found = gui::findNewestCrashLog(QStringLiteral("vorn"), dir.path());
        ASSERT_FALSE(found.isEmpty()) << c.mode;
        EXPECT_TRUE(QFileInfo(found).fileName().contains(QRegularExpression(
            QStringLiteral("^vorn_\\d{4}-\\d\\d-\\d\\d-\\d{6}_.+\\.crash$"))))
            << found.toStdString();
        QFile file(found);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray log = file.readAll();
        EXPECT_TRUE(log.startsWith(c.signal)) << c.mode << "\n" << log.left(200).toStdString();
        EXPECT_TRUE(log.contains(c.function)) << c.mode;
        EXPECT_TRUE(log.contains("\nMemory map:\n")) << c.mode;
    }
}

TEST(CrashHandler, AHeldCrashFolderGetsNothingAndTheReportGoesToStandardError) {
    // The window holds the folder while it lies on the disk being read.
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/crashes");
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VORN_CRASH_CHILD"), QStringLiteral("held-segv"));
    env.insert(QStringLiteral("VORN_CRASH_DIR"), folder);
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("handle_segv=0:use_sigaltstack=0"));
    child.setProcessEnvironment(env);
    child.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), QStringLiteral("ulimit -c 0; \"$0\" --gtest_filter=CrashChild.Run >/dev/null; echo $? >&2"),
                 QCoreApplication::applicationFilePath()});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray told = child.readAllStandardError();
    EXPECT_TRUE(told.contains("Signal: 11 (SIGSEGV)")) << told.left(400).toStdString();
    EXPECT_TRUE(told.contains("vornTestCrashByNullWrite"));
    EXPECT_TRUE(told.trimmed().endsWith("139"));
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST(CrashLog, NewestIsOfferedOnceAfterDiscardButAgainAfterRemind) {
    QTemporaryDir dir;
    const QString root = dir.path();
    writeFile(root + "/vorn_a.crash", "first", 1000);
    writeFile(root + "/vorn_b.crash", "second", 2000);
    writeFile(root + "/sub/vorn_0.crash", "tie, first in name order", 2000);
    writeFile(root + "/other_z.crash", "another program", 9000);
    writeFile(root + "/vorn_z.crash.txt", "not a crash file", 9000);
    const QString newest = root + "/sub/vorn_0.crash";
    EXPECT_EQ(gui::findNewestCrashLog(QStringLiteral("vorn"), root), newest);

    const struct {
        double stored;
        bool offered;
    } dates[] = {{0, true}, {1999.5, true}, {2000, false}, {2000.5, false}};
    for (const auto& d : dates) {
        gui::storeLastCrashReportDate(d.stored);
        EXPECT_EQ(gui::crashLogToOffer(root), d.offered ? newest : QString()) << d.stored;
    }

    FakeDesktop desktop;
    const auto check = [&] {
        gui::checkForNewCrashLog(&desktop, root);
        return openReporter();
    };
    gui::storeLastCrashReportDate(0);
    gui::KvCrashReporter* reporter = check();
    ASSERT_TRUE(reporter);
    EXPECT_FALSE(reporter->feedbackMode());
    snapshot(reporter, QStringLiteral("crash-report"));
    EXPECT_TRUE(reporter->findChild<QPlainTextEdit*>("crashLogField")->toPlainText().contains("tie, first")) ;
    reporter->remindMeLater();
    EXPECT_EQ(gui::lastCrashReportDate(), 0.0);
    reporter = check();
    ASSERT_TRUE(reporter) << "a reminded crash comes again";
    reporter->discardCrashReport();
    EXPECT_GT(gui::lastCrashReportDate(), 2000.0);
    EXPECT_FALSE(check()) << "a discarded crash does not";

    gui::storeLastCrashReportDate(0);
    gui::KvCrashReporter* feedback = gui::KvCrashReporter::open(QString(), &desktop);
    EXPECT_TRUE(feedback->findChild<QPushButton*>("remindButton")->isHidden());
    feedback->discardCrashReport();
    EXPECT_EQ(gui::lastCrashReportDate(), 0.0) << "feedback never stores";
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Today's dates need all their digits (a float rounds them to 128 s): a
// crash a second newer than the last report is offered.
TEST(CrashLog, StoredDatesKeepTheirSecondsToday) {
    QTemporaryDir dir;
    const qint64 crashed = 1767225600;  // 2026-01-01
    writeFile(dir.path() + "/vorn_x.crash", "report", crashed);
    for (const double stored : {crashed - 1.0, crashed - 0.25, double(crashed)}) {
        gui::storeLastCrashReportDate(stored);
        EXPECT_EQ(gui::crashLogToOffer(dir.path()).isEmpty(), stored == crashed) << qint64(stored * 4);
    }
    gui::storeLastCrashReportDate(0);
}

TEST(CrashLog, ComposedTextKeepsTheLastReportAndTheAppLogLines) {
    QTemporaryDir dir;
    const QByteArray state = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", dir.path().toUtf8());
    writeFile(dir.path() + "/vorn/vorn.log", "vorn[12] kept line\nother[3] dropped\nvorn[12] second\n");
    writeFile(dir.path() + "/c.crash", "old report\n\n**********\n\nnew report\n./vorn(_ZN4vorn3gui3runEv+0x1d)[0x5]");
    const QString text = gui::composeCrashText(dir.path() + "/c.crash");
    const QString missing = gui::composeCrashText(dir.path() + "/absent.crash");
    qputenv("XDG_STATE_HOME", state);
    EXPECT_TRUE(text.startsWith("Model: ")) << text.toStdString();
    EXPECT_TRUE(text.contains(QRegularExpression("\nCPU Speed: (\\d+x )?\\d+\\.\\d\\d GHz\nnew report\n./vorn\\(vorn::gui::run\\(\\)\\+0x1d\\)\\[0x5\\]\n\nPreferences:\n")))
        << text.toStdString();
    EXPECT_FALSE(text.contains("old report"));
    EXPECT_TRUE(text.endsWith("\nvorn[12] kept line\nvorn[12] second")) << text.toStdString();
    EXPECT_TRUE(missing.contains("\n*** Couldn't read Report ***\n")) << missing.toStdString();
}

TEST(SystemInfo, FactsFromProcAndSys) {
    const struct {
        const char* cpufreq;  // kHz, null: absent
        const char* cpuinfo;
        const char* dmi;      // "vendor|product", null: absent
        const char* devicetree;
        const char* osrelease;
        int mhz;
        const char* cpu;
        const char* model;
        const char* version;
    } cases[] = {
        {"3500000\n", "processor\t: 0\nmodel name\t: Test CPU 9000\ncpu MHz\t\t: 2596.000\n", "ACME Corp|Box 7\n",
         nullptr, "6.18.44-fc-v1300\n", 3500, "Test CPU 9000", "Unknown (ACME Corp Box 7)", "6.18.44"},
        {nullptr, "cpu MHz\t: 2596.9\ncpu model\t: Board CPU\n", nullptr, "PowerMac7,3\0", "5.10\n", 2596,
         "Board CPU", "PowerMac G5", "5.10.0"},
        {nullptr, "", nullptr, "Board PowerMac12,1", "", 0, nullptr, "PowerMac (PowerMac)", nullptr},
    };
    for (const auto& c : cases) {
        QTemporaryDir root;
        const QString r = root.path();
        if (c.cpufreq) writeFile(r + "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", c.cpufreq);
        writeFile(r + "/proc/cpuinfo", c.cpuinfo);
        if (c.dmi) {
            const QList<QByteArray> dmi = QByteArray(c.dmi).split('|');
            writeFile(r + "/sys/class/dmi/id/sys_vendor", dmi[0] + "\n");
            writeFile(r + "/sys/class/dmi/id/product_name", dmi[1]);
        }
        if (c.devicetree) writeFile(r + "/sys/firmware/devicetree/base/model", QByteArray(c.devicetree, int(strlen(c.devicetree) + 1)));
        if (*c.osrelease) writeFile(r + "/proc/sys/kernel/osrelease", c.osrelease);
        gui::KvSystemInfo info(r);
        EXPECT_EQ(info.cpuClockSpeedMHz(), c.mhz) << c.model;
        if (c.cpu) {
            EXPECT_EQ(info.cpuTypeName(), c.cpu) << c.model;
        }
        EXPECT_EQ(info.machineModelName(), c.model);
        if (c.version) {
            EXPECT_EQ(info.systemVersionString(), c.version) << c.model;
        }
        EXPECT_GT(info.physicalRAMSize(), 0);
    }
}

// The model names of the machine table, fed as model texts.
TEST(SystemInfo, ModelTableRule) {
    const struct {
        const char* code;
        const char* name;
    } cases[] = {
        {"PowerMac7,3", "PowerMac G5"},        {"PowerMac12,1", "PowerMac (PowerMac)"},
        {"iMac,1", "iMac (first generation)"}, {"iMac5,1", "iMac (iMac)"},
        {"AAPL,e407", "Alchemy(Performa 6400 logic-board design)"},
        {"AAPL,9999", "Yikes! Old machine (AAPL)"},
        {"RackMac2,1", "XServe (RackMac)"},    {"Macmini1,1", "Mac Mini"},
        {"PowerBook6,3", "iBook G4"},          {"ACME Box 7", "Unknown (ACME Box 7)"},
    };
    for (const auto& c : cases) EXPECT_EQ(gui::KvSystemInfo::modelNameForCode(c.code), c.name) << c.code;
}

// The body's bytes: standard framing, and the boundary text replaced in every value.
TEST(CrashUpload, BodyFraming) {
    const QByteArray body = gui::CrashUpload::body("me@0xKhTmLbOuNdArY.example", "vorn", "0.1", "x0xKhTmLbOuNdArYy");
    EXPECT_EQ(body,
              "--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"email\"\r\n\r\n"
              "me@USED_TO_BE_KHTMLBOUNDARY.example\r\n"
              "--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"appname\"\r\n\r\nvorn\r\n"
              "--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"appversion\"\r\n\r\n0.1\r\n"
              "--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"crashlog\"\r\n\r\n"
              "xUSED_TO_BE_KHTMLBOUNDARYy\r\n--0xKhTmLbOuNdArY--\r\n");
}

TEST(CrashUpload, LoopbackServerParsesTheForm) {
    EchoServer server;
    ASSERT_NE(server.port, 0) << "python3 server did not start";
    const QString log = QStringLiteral("Grüße ✓\r\nline 2\n--0xKhTmLbOuNdArY--\n");
    const QByteArray good = gui::CrashUpload::body("me@example.org", "vorn", "0.1", log);
    QByteArray closedEach = good;
    closedEach.replace("\r\n--0xKhTmLbOuNdArY\r\n", "\r\n--0xKhTmLbOuNdArY--\r\n--0xKhTmLbOuNdArY\r\n");
    const struct {
        const QByteArray* body;
        int parts;
    } cases[] = {{&good, 4}, {&closedEach, 1}};
    for (const auto& c : cases) {
        gui::CrashUpload upload;
        QSignalSpy done(&upload, &gui::CrashUpload::finished);
        upload.start(server.url(), *c.body);
        ASSERT_TRUE(done.wait(20000)) << c.parts;
        EXPECT_TRUE(done.at(0).at(0).toBool()) << done.at(0).at(1).toString().toStdString();
        const QJsonObject got = server.nextReport();
        const QJsonObject parts = got["parts"].toObject();
        EXPECT_EQ(parts.size(), c.parts);
        EXPECT_EQ(got["length"].toInt(), c.body->size());
        EXPECT_EQ(got["declared"].toInt(), c.body->size());
        EXPECT_EQ(got["extra"].toInt(), 0);
        EXPECT_EQ(got["agent"].toString(), "KvCrashReporter");
        EXPECT_EQ(parts["email"].toString(), "me@example.org");
        if (c.parts != 4) continue;
        EXPECT_EQ(parts["appname"].toString(), "vorn");
        EXPECT_EQ(parts["appversion"].toString(), "0.1");
        EXPECT_EQ(parts["crashlog"].toString(), QString(log).replace("0xKhTmLbOuNdArY", "USED_TO_BE_KHTMLBOUNDARY"));
    }
}

TEST(CrashUpload, WindowOutcomes) {
    EchoServer echo;
    ASSERT_NE(echo.port, 0);
    enum Server { Echo, Refused, Status500, Silent, NoUrl };
    const struct {
        Server server;
        bool ok;
    } cases[] = {{Echo, true}, {Refused, false}, {Status500, false}, {Silent, false}, {NoUrl, false}};
    for (const auto& c : cases) {
        QTcpServer tcp;
        ASSERT_TRUE(tcp.listen(QHostAddress::LocalHost));
        const quint16 port = tcp.serverPort();
        QString url = QStringLiteral("http://127.0.0.1:%1/").arg(port);
        if (c.server == Echo) url = echo.url();
        if (c.server == NoUrl) url.clear();
        if (c.server == Refused) tcp.close();
        QObject::connect(&tcp, &QTcpServer::newConnection, [&tcp, &c] {
            QTcpSocket* socket = tcp.nextPendingConnection();
            if (c.server != Status500) return;  // silent: reads and never answers
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                socket->readAll();
                socket->write("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
            });
        });
        FakeDesktop desktop;
        gui::storeLastCrashReportDate(0);
        gui::KvCrashReporter* reporter = gui::KvCrashReporter::open(QStringLiteral("crash text"), &desktop);
        reporter->setUploadUrl(url);
        reporter->setUploadTimeoutMs(500);
        QSignalSpy finished(reporter, &gui::KvCrashReporter::uploadFinished);
        reporter->findChild<QPushButton*>("sendButton")->click();
        EXPECT_FALSE(reporter->findChild<QPushButton*>("discardButton")->isEnabled()) << c.server;
        EXPECT_TRUE(reporter->findChild<QProgressBar*>("progressIndicator")->isVisible()) << c.server;
        ASSERT_TRUE(finished.wait(20000)) << c.server;
        EXPECT_EQ(finished.at(0).at(0).toBool(), c.ok) << c.server;
        EXPECT_EQ(desktop.asked, c.ok ? QStringList() : QStringList{"The crash report could not be sent."}) << c.server;
        EXPECT_EQ(gui::lastCrashReportDate() > 0, c.ok) << c.server;
        if (c.server == Echo) {
            EXPECT_TRUE(echo.nextReport()["parts"].toObject()["crashlog"].toString().endsWith("\n==========\ncrash text"));
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    gui::storeLastCrashReportDate(0);
}

void forgetReporterSettings() {
    QSettings settings;
    settings.remove(QStringLiteral("KvCrashReporterDraft"));
    settings.remove(QStringLiteral("KvCrashReporterEmail"));
}

TEST(CrashReporterWindow, FeedbackFromTheHelpMenuDescribesTheMachine) {
    const QByteArray saved = qgetenv("EMAIL");
    forgetReporterSettings();
    for (const char* address : {"me@example.org", ""}) {
        qputenv("EMAIL", address);
        FakeDesktop desktop;
        gui::AppOptions options;
        options.desktop = &desktop;
        options.chooseDiskAtStart = false;
        gui::AppController app(options);
        app.findChild<QAction*>("feedbackItem")->trigger();
        gui::KvCrashReporter* reporter = openReporter();
        ASSERT_TRUE(reporter);
        EXPECT_TRUE(reporter->feedbackMode());
        if (*address) snapshot(reporter, QStringLiteral("feedback"));
        auto* email = reporter->findChild<QLineEdit*>("emailField");
        EXPECT_EQ(email->text(), address);
        EXPECT_EQ(email->placeholderText(), "(your e-mail address)") << "a hint, not a value";
        const QString message = reporter->findChild<QPlainTextEdit*>("informationField")->toPlainText();
        EXPECT_EQ(message.contains(QString(address) + ">"), *address != 0) << message.toStdString();
        EXPECT_FALSE(message.contains("%%")) << message.toStdString();
        EXPECT_FALSE(reporter->findChild<QLabel*>("explanationField")->text().contains("%%APPNAME"));
        auto* tabs = reporter->findChild<QTabWidget*>("switchTabView");
        EXPECT_EQ(tabs->tabText(0), "System Information");
        EXPECT_TRUE(reporter->findChild<QPlainTextEdit*>("crashLogField")->toPlainText().contains(
            QRegularExpression("^Application: .+ 0\\.1\nModel: .+\nCPU Speed: .+ GHz\nSystem Version: \\d+\\.\\d+\\.\\d+\n")));
        reporter->discardCrashReport();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    qputenv("EMAIL", saved);
}

// What the user typed survives a failed Send: the next window (here the
// crash offered again) shows it; a successful Send drops it and remembers
// the address. Neither goes into the report's preferences.
TEST(CrashReporterWindow, AFailedSendKeepsTheMessageAndTheAddress) {
    EchoServer echo;
    ASSERT_NE(echo.port, 0);
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QString refused = QStringLiteral("http://127.0.0.1:%1/").arg(closed.serverPort());
    closed.close();
    const QByteArray savedEmail = qgetenv("EMAIL");
    qputenv("EMAIL", "");
    forgetReporterSettings();
    FakeDesktop desktop;
    const auto send = [&](gui::KvCrashReporter* reporter, const QString& url) {
        reporter->setUploadUrl(url);
        reporter->setUploadTimeoutMs(5000);
        QSignalSpy finished(reporter, &gui::KvCrashReporter::uploadFinished);
        QTest::mouseClick(reporter->findChild<QPushButton*>("sendButton"), Qt::LeftButton);
        EXPECT_TRUE(finished.wait(20000));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    };
    const auto fields = [](gui::KvCrashReporter* reporter) {
        return reporter->findChild<QPlainTextEdit*>("informationField")->toPlainText() + QLatin1Char('|') +
               reporter->findChild<QLineEdit*>("emailField")->text();
    };

    gui::KvCrashReporter* first = gui::KvCrashReporter::open(QStringLiteral("crash text"), &desktop);
    first->findChild<QPlainTextEdit*>("informationField")->setPlainText(QStringLiteral("what I did"));
    first->findChild<QLineEdit*>("emailField")->setText(QStringLiteral("me@example.org"));
    send(first, refused);

    gui::KvCrashReporter* again = gui::KvCrashReporter::open(QStringLiteral("crash text"), &desktop);
    EXPECT_EQ(fields(again), QStringLiteral("what I did|me@example.org"));
    EXPECT_FALSE(gui::preferencesText().contains(QStringLiteral("what I did")));
    // A feedback window of its own meanwhile, failed and then discarded
    // (it has no Remind button): its draft is not the crash report's.
    gui::KvCrashReporter* feedback = gui::KvCrashReporter::open(QString(), &desktop);
    EXPECT_FALSE(fields(feedback).startsWith(QStringLiteral("what I did"))) << "a crash report's draft";
    feedback->findChild<QPlainTextEdit*>("informationField")->setPlainText(QStringLiteral("an idea"));
    send(feedback, refused);
    feedback = gui::KvCrashReporter::open(QString(), &desktop);
    EXPECT_TRUE(fields(feedback).startsWith(QStringLiteral("an idea"))) << "the feedback's own draft";
    feedback->discardCrashReport();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    again->remindMeLater();
    again = gui::KvCrashReporter::open(QStringLiteral("crash text"), &desktop);
    EXPECT_EQ(fields(again), QStringLiteral("what I did|me@example.org")) << "the crash report's draft lost";
    send(again, echo.url());
    EXPECT_TRUE(echo.nextReport()["parts"].toObject()["crashlog"].toString().startsWith("what I did\n=========="));

    gui::KvCrashReporter* later = gui::KvCrashReporter::open(QStringLiteral("crash text"), &desktop);
    EXPECT_FALSE(fields(later).startsWith(QStringLiteral("what I did"))) << "sent: the draft is gone";
    EXPECT_TRUE(fields(later).endsWith(QStringLiteral("|me@example.org"))) << "the address is remembered";
    later->discardCrashReport();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    forgetReporterSettings();
    gui::storeLastCrashReportDate(0);
    qputenv("EMAIL", savedEmail);
}

}  // namespace
}  // namespace vorn::test
