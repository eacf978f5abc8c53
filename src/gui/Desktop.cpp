#include "gui/Desktop.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#ifdef VORN_HAVE_SPEECH
#include <QTextToSpeech>
#endif
#ifdef VORN_HAVE_SOUND
#include <QSoundEffect>
#endif

namespace vorn::gui {

namespace {

// An alert that Escape or its close button dismisses unanswered.
class AlertBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape) {
            reject();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        event->accept();
        reject();
    }
};

// The panel's own "New Folder", "Rename" and "Delete" would act wherever the
// panel stands, also on the disk being read. The panel is read-only (no
// rename, delete or drop), and its New Folder button and menu entry make the
// folder through makeFolder instead. A panel whose parts are not found makes
// no folders at all.
void routeNewFolder(QFileDialog& dialog, const std::function<bool(QWidget*, const QString&)>& makeFolder) {
    dialog.setOption(QFileDialog::ReadOnly);
    auto make = [&dialog, makeFolder] {
        const QDir folder = dialog.directory();
        const QString base = QFileDialog::tr("New Folder");
        QString name = base;
        for (int n = 2; folder.exists(name) && n < 1000; ++n) name = base + QStringLiteral(" %1").arg(n);
        const QString path = folder.absoluteFilePath(name);
        if (makeFolder && makeFolder(&dialog, path)) dialog.selectFile(path);
    };
    auto* button = dialog.findChild<QAbstractButton*>(QStringLiteral("newFolderButton"));
    auto* action = dialog.findChild<QAction*>(QStringLiteral("qt_new_folder_action"));
    if (!button || !action) return;
    QObject::disconnect(button, &QAbstractButton::clicked, nullptr, nullptr);
    QObject::disconnect(action, &QAction::triggered, nullptr, nullptr);
    QObject::connect(button, &QAbstractButton::clicked, &dialog, make);
    QObject::connect(action, &QAction::triggered, &dialog, make);
    // A read-only panel turns its New Folder off with every folder it
    // enters; the guard decides instead.
    button->setEnabled(true);
    auto enable = [button] { button->setEnabled(true); };
    QObject::connect(&dialog, &QFileDialog::directoryEntered, button, enable, Qt::QueuedConnection);
    if (auto* model = dialog.findChild<QFileSystemModel*>())
        QObject::connect(model, &QFileSystemModel::rootPathChanged, button, enable, Qt::QueuedConnection);
}

// The path chosen in a panel shown modally; empty when cancelled.
QString chosenPath(QFileDialog& dialog) {
    return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty() ? dialog.selectedFiles().first()
                                                                                     : QString();
}

#ifdef VORN_HAVE_SPEECH
// The system's speech engine, in the user's language; made, used and deleted
// on the speech thread.
class SystemVoice : public Speaker {
public:
    static std::unique_ptr<Speaker> make() {
        if (QTextToSpeech::availableEngines().isEmpty()) {
            qInfo("no speech engine: hints stay silent");
            return nullptr;
        }
        return std::make_unique<SystemVoice>();
    }
    SystemVoice() {
        const QStringList languages = QLocale::system().uiLanguages();
        voice.setLocale(languages.isEmpty() ? QLocale(QStringLiteral("en_US")) : QLocale(languages.first()));
    }
    void say(const QString& text) override { voice.say(text); }
    void stop() override { voice.stop(); }

private:
    QTextToSpeech voice;
};
#endif

}  // namespace

Desktop::Desktop() {
#ifdef VORN_HAVE_SPEECH
    makeVoice = SystemVoice::make;
#endif
}
Desktop::~Desktop() = default;

int Desktop::ask(QWidget* parent, const QString& title, const QString& text, const QStringList& buttons,
                 int defaultButton) {
    AlertBox box(parent);
    box.setWindowModality(Qt::WindowModal);
    // Texts may hold names from a disk: plain text only (the informative
    // text would guess at markup).
    box.setWindowTitle(title);
    box.setTextFormat(Qt::PlainText);
    box.setText(title + QStringLiteral("\n\n") + text);
    QList<QPushButton*> made;
    // Escape or closing the box answers nothing (-1), which no caller reads
    // as "go ahead".
    for (int i = 0; i < buttons.size(); ++i) {
        made << box.addButton(buttons[i], i == defaultButton ? QMessageBox::AcceptRole : QMessageBox::ActionRole);
    }
    if (defaultButton >= 0 && defaultButton < made.size()) box.setDefaultButton(made[defaultButton]);
    box.exec();
    return int(made.indexOf(qobject_cast<QPushButton*>(box.clickedButton())));
}

QString Desktop::chooseFolder(QWidget* parent, const QString& title) {
    QFileDialog dialog(parent, title);
    dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    routeNewFolder(dialog, makeFolder);
    return chosenPath(dialog);
}

QString Desktop::chooseSaveFile(QWidget* parent, const QString& title, const QString& proposedName,
                                const QString& suffix) {
    QFileDialog dialog(parent, title);
    dialog.setOptions(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(suffix);
    dialog.setNameFilter(QStringLiteral("(*.%1)").arg(suffix));
    dialog.selectFile(proposedName);
    routeNewFolder(dialog, makeFolder);
    return chosenPath(dialog);
}

QString Desktop::chooseOpenFile(QWidget* parent, const QString& title, const QString& filter) {
    QFileDialog dialog(parent, title);
    dialog.setOptions(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(filter);
    routeNewFolder(dialog, makeFolder);
    return chosenPath(dialog);
}

void Desktop::setVoice(HintSpeech::MakeSpeaker make, std::chrono::milliseconds bound) {
    makeVoice = std::move(make);
    voiceBound = bound;
}

void Desktop::say(const QString& text) {
    if (!speech) speech = std::make_unique<HintSpeech>(makeVoice, voiceBound);
    speech->say(text);
}

void Desktop::stopSpeaking() {
    if (speech) speech->stop();
}

void Desktop::playComplete() {
#ifdef VORN_HAVE_SOUND
    if (!sound) {
        sound = std::make_unique<QSoundEffect>();
        sound->setSource(QUrl(QStringLiteral("qrc:/vorn/sounds/complete.wav")));
    }
    if (sound->status() != QSoundEffect::Error) {
        sound->play();
        return;
    }
#endif
    QApplication::beep();
}

void Desktop::openHelp(QWidget* parent, const QString& path, std::function<void()> failed) {
    if (!QFileInfo(path).isFile()) {
        qInfo("the help file %s is missing", qUtf8Printable(path));
        failed();
        return;
    }
    const QUrl url = QUrl::fromLocalFile(path);
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        if (!QDesktopServices::openUrl(url)) {
            qInfo("cannot open the help file %s", qUtf8Printable(path));
            failed();
        }
        return;
    }
    // xdg-open says with its exit status whether a browser took the file; it
    // may also stay until the browser ends, so it is not tied to the window:
    // quitting vorn leaves the browser and its opener running.
    auto* process = new QProcess;
    process->setProgram(opener);
    process->setArguments({url.toString()});
    process->setStandardOutputFile(QProcess::nullDevice());
    const QPointer<QWidget> owner(parent);
    const bool owned = parent != nullptr;
    auto done = [process, path, failed, owner, owned](bool ok) {
        if (!ok) {
            qInfo("no web browser opened the help file %s", qUtf8Printable(path));
            if (owner || !owned) failed();
        }
        process->deleteLater();
    };
    QObject::connect(process, &QProcess::finished, process, [process, done](int status, QProcess::ExitStatus how) {
        const QByteArray said = process->readAllStandardError().trimmed();
        if (!said.isEmpty()) qInfo("xdg-open: %s", said.constData());
        done(how == QProcess::NormalExit && status == 0);
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [done](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) done(false);
    });
    process->start();
}

}  // namespace vorn::gui
