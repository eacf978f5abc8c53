#include "gui/Desktop.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QDesktopServices>
#include <QFileDialog>
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

}  // namespace

Desktop::Desktop() = default;
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
    return QFileDialog::getExistingDirectory(parent, title, QString(),
                                             QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
}

QString Desktop::chooseSaveFile(QWidget* parent, const QString& title, const QString& proposedName,
                                const QString& suffix) {
    QFileDialog dialog(parent, title);
    dialog.setOptions(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(suffix);
    dialog.setNameFilter(QStringLiteral("(*.%1)").arg(suffix));
    dialog.selectFile(proposedName);
    return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty() ? dialog.selectedFiles().first()
                                                                                     : QString();
}

QString Desktop::chooseOpenFile(QWidget* parent, const QString& title, const QString& filter) {
    return QFileDialog::getOpenFileName(parent, title, QString(), filter, nullptr, QFileDialog::DontUseNativeDialog);
}

QTextToSpeech* Desktop::speech() {
#ifdef VORN_HAVE_SPEECH
    if (!speechTried) {
        speechTried = true;
        if (QTextToSpeech::availableEngines().isEmpty()) {
            qInfo("no speech engine: hints stay silent");
        } else {
            speaker = std::make_unique<QTextToSpeech>();
            speaker->setLocale(QLocale::system().uiLanguages().isEmpty()
                                   ? QLocale(QStringLiteral("en_US"))
                                   : QLocale(QLocale::system().uiLanguages().first()));
        }
    }
#endif
    return speaker.get();
}

void Desktop::say(const QString& text) {
#ifdef VORN_HAVE_SPEECH
    if (QTextToSpeech* s = speech()) {
        s->say(text);
        return;
    }
#endif
    qInfo("hint not spoken: %s", qUtf8Printable(text));
}

void Desktop::stopSpeaking() {
#ifdef VORN_HAVE_SPEECH
    if (speaker) speaker->stop();
#endif
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

bool Desktop::openHelp(const QString& path) {
    const bool opened = QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    if (!opened) qInfo("cannot open the help file %s", qUtf8Printable(path));
    return opened;
}

}  // namespace vorn::gui
