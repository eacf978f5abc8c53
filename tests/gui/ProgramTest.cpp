// The program itself: without a display it names the command line and ends
// with status 1 (the command line needs none); one windowed copy per user,
// a second one ends at once with the alert (and never shows its splash), and
// a copy killed with SIGKILL blocks nothing. Lines go to the log file as
// "vorn[pid] ...". The copies run under an instance name of this test run's
// own, so that a vorn the user has open changes nothing.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QLocalServer>

#include "GuiTestSupport.h"
#include "gui/SingleInstance.h"

namespace vorn::test {
namespace {

QProcessEnvironment baseEnvironment(const QString& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_STATE_HOME"}) env.remove(name);
    env.insert(QStringLiteral("HOME"), home);
    static int runs = 0;
    env.insert(QStringLiteral("VORN_INSTANCE_NAME"),
               QStringLiteral("vorn-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++runs));
    return env;
}

struct Copy {
    QProcess process;
    QByteArray err;
    Copy(const QProcessEnvironment& env, const QStringList& args = {}) {
        process.setProcessEnvironment(env);
        QObject::connect(&process, &QProcess::readyReadStandardError, [this] { err += process.readAllStandardError(); });
        process.start(QStringLiteral(VORN_BINARY), args);
    }
    bool finished() { return process.state() == QProcess::NotRunning; }
};

TEST(GuiProgram, WithoutADisplayTheCommandLineIsNamed) {
    QTemporaryDir home;
    const struct {
        QStringList args;
        int status;
        bool namesCommandLine;
    } cases[] = {{{}, 1, true}, {{QStringLiteral("-v")}, 1, true}, {{QStringLiteral("-h")}, 0, false}};
    for (const auto& c : cases) {
        Copy copy(baseEnvironment(home.path()), c.args);
        ASSERT_TRUE(waitFor([&] { return copy.finished(); }));
        EXPECT_EQ(copy.process.exitStatus(), QProcess::NormalExit) << c.args.join(' ').toStdString();
        EXPECT_EQ(copy.process.exitCode(), c.status) << c.args.join(' ').toStdString();
        EXPECT_EQ(copy.err.contains("vorn -cli"), c.namesCommandLine) << copy.err.toStdString();
    }
}

TEST(GuiProgram, OneCopyPerUserAndAKilledCopyBlocksNothing) {
    QTemporaryDir home, runtime;
    QProcessEnvironment env = baseEnvironment(home.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    env.insert(QStringLiteral("VORN_NO_ALERTS"), QStringLiteral("1"));
    // The user's own vorn, open meanwhile, holds the product's name.
    QLocalServer usersVorn;
    usersVorn.setSocketOptions(QLocalServer::AbstractNamespaceOption);
    usersVorn.listen(gui::SingleInstance::defaultName());

    Copy first(env);
    ASSERT_TRUE(waitFor([&] { return first.err.contains("window shown"); })) << first.err.toStdString();
    Copy second(env);
    ASSERT_TRUE(waitFor([&] { return second.finished(); }));
    EXPECT_EQ(second.process.exitCode(), 0);
    EXPECT_TRUE(second.err.contains("Application is already running!")) << second.err.toStdString();
    EXPECT_FALSE(second.err.contains("window shown"));
    EXPECT_FALSE(second.err.contains("splash shown")) << "the alert is never under the copy's own splash";
    EXPECT_TRUE(first.err.contains("splash shown"));

    first.process.kill();
    ASSERT_TRUE(waitFor([&] { return first.finished(); }));
    Copy third(env);
    EXPECT_TRUE(waitFor([&] { return third.err.contains("window shown"); })) << third.err.toStdString();
    third.process.kill();
    ASSERT_TRUE(waitFor([&] { return third.finished(); }));

    QFile log(home.path() + QStringLiteral("/.local/state/vorn/vorn.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray lines = log.readAll();
    EXPECT_EQ(lines.count("] failed\n"), 1) << lines.toStdString();
    EXPECT_TRUE(lines.contains("] checking singleton application..."));
}

}  // namespace
}  // namespace vorn::test
