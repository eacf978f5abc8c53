#include "gui/KvCrashReporter.h"

#include <pwd.h>
#include <unistd.h>

#include <QDateTime>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <vector>

#include "gui/CrashLogCheck.h"
#include "gui/CrashUpload.h"
#include "gui/Desktop.h"
#include "gui/KvSystemInfo.h"
#include "gui/StringTable.h"

namespace vorn::gui {

namespace {

QString text(const char* key) { return KvCrashReporter::strings().text(QString::fromLatin1(key)); }

const char kDraftGroup[] = "KvCrashReporterDraft";
const char kEmailKey[] = "KvCrashReporterEmail";

// Each mode keeps a draft of its own: a feedback window discarded, sent or
// failed leaves a crash report's draft alone, and the other way round.
QString draftGroup(bool feedback) {
    return QString::fromLatin1(kDraftGroup) + (feedback ? QStringLiteral("/feedback") : QStringLiteral("/crash"));
}

QString displayName() {
    const QString name = QGuiApplication::applicationDisplayName();
    return name.isEmpty() ? KvCrashReporter::applicationName() : name;
}

}  // namespace

const StringTable& KvCrashReporter::strings() {
    static const StringTable table(QStringLiteral("KvCrashReporter"));
    return table;
}

QString KvCrashReporter::applicationName() { return QStringLiteral("vorn"); }

QString KvCrashReporter::applicationVersion() { return appInfo().text(QStringLiteral("CFBundleShortVersionString")); }

QString KvCrashReporter::longUserName() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        const QString fullName = QString::fromLocal8Bit(found->pw_gecos ? found->pw_gecos : "").section(',', 0, 0);
        if (!fullName.trimmed().isEmpty()) return fullName.trimmed();
        if (found->pw_name && *found->pw_name) return QString::fromLocal8Bit(found->pw_name);
    }
    return qEnvironmentVariable("USER");
}

QString KvCrashReporter::emailAddress() {
    const QString remembered = QSettings().value(QString::fromLatin1(kEmailKey)).toString().trimmed();
    return remembered.isEmpty() ? qEnvironmentVariable("EMAIL").trimmed() : remembered;
}

bool KvCrashReporter::isOwnSettingsKey(const QString& key) {
    return key == QLatin1String(kEmailKey) || key.startsWith(QLatin1String(kDraftGroup) + QLatin1Char('/'));
}

KvCrashReporter* KvCrashReporter::open(const QString& logString, Desktop* desktop) {
    auto* reporter = new KvCrashReporter(logString, desktop);
    reporter->show();
    reporter->raise();
    reporter->activateWindow();
    return reporter;
}

KvCrashReporter::KvCrashReporter(const QString& logString, Desktop* desktop)
    : feedback(logString.isNull()),
      desktop(desktop),
      uploadUrl(text("CRASH_REPORT_CGI_URL")),
      connection(new CrashUpload(this)) {
    if (!this->desktop) {
        ownDesktop = std::make_unique<Desktop>();
        this->desktop = ownDesktop.get();
    }
    setObjectName(QStringLiteral("reportWindow"));
    // Closing the window is "remind me later".
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(text(feedback ? "FEEDBACK_WINDOW_TITLE" : "CRASH_WINDOW_TITLE"));
    build();
    fill(logString);
    connect(connection, &CrashUpload::finished, this, &KvCrashReporter::showFinishedMessage);
}

KvCrashReporter::~KvCrashReporter() = default;

void KvCrashReporter::setUploadTimeoutMs(int ms) { connection->setTimeoutMs(ms); }

void KvCrashReporter::build() {
    auto plainLabel = [](const QString& caption) {
        auto* label = new QLabel(caption);
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        return label;
    };
    explanationField = plainLabel(QString());
    informationField = new QPlainTextEdit;
    emailField = new QLineEdit;
    crashLogField = new QPlainTextEdit;
    crashLogField->setReadOnly(true);
    crashLogField->setLineWrapMode(QPlainTextEdit::NoWrap);
    switchTabView = new QTabWidget;
    switchTabView->addTab(crashLogField, text("CRASH_LOG_TAB_NAME"));
    switchTabView->tabBar()->setTabData(0, QStringLiteral("crashlog"));
    progressIndicator = new QProgressBar;
    progressIndicator->setRange(0, 0);
    progressIndicator->setTextVisible(false);
    progressIndicator->setMaximumWidth(80);
    progressIndicator->hide();
    sendButton = new QPushButton(text("SEND_BUTTON"));
    remindButton = new QPushButton(text("REMIND_BUTTON"));
    discardButton = new QPushButton(text("DISCARD_BUTTON"));
    sendButton->setDefault(true);
    const std::pair<QWidget*, const char*> names[] = {
        {informationField, "informationField"}, {emailField, "emailField"},       {crashLogField, "crashLogField"},
        {explanationField, "explanationField"}, {progressIndicator, "progressIndicator"}, {sendButton, "sendButton"},
        {remindButton, "remindButton"},         {discardButton, "discardButton"},  {switchTabView, "switchTabView"}};
    for (const auto& [widget, name] : names) widget->setObjectName(QString::fromLatin1(name));

    auto* emailRow = new QHBoxLayout;
    emailRow->addWidget(plainLabel(text("EMAIL_LABEL")));
    emailRow->addWidget(emailField, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(progressIndicator);
    buttons->addStretch(1);
    buttons->addWidget(discardButton);
    buttons->addWidget(remindButton);
    buttons->addWidget(sendButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explanationField);
    layout->addWidget(plainLabel(text("MESSAGE_LABEL")));
    layout->addWidget(informationField, 1);
    layout->addLayout(emailRow);
    layout->addWidget(switchTabView, 2);
    layout->addLayout(buttons);
    resize(560, 520);

    connect(sendButton, &QPushButton::clicked, this, &KvCrashReporter::sendCrashReport);
    connect(remindButton, &QPushButton::clicked, this, &KvCrashReporter::remindMeLater);
    connect(discardButton, &QPushButton::clicked, this, &KvCrashReporter::discardCrashReport);
}

void KvCrashReporter::fill(const QString& logString) {
    QString explanation = text(feedback ? "FEEDBACK_EXPLANATION_TEXT" : "CRASH_EXPLANATION_TEXT");
    explanationField->setText(explanation.replace(QStringLiteral("%%APPNAME"), displayName()));
    QString email = emailAddress();
    QString message = text(feedback ? "FEEDBACK_MESSAGE_TEXT" : "CRASH_MESSAGE_TEXT");
    message.replace(QStringLiteral("%%LONGUSERNAME"), longUserName());
    // Without an address the signature has none (no "<>" to fill in).
    if (email.isEmpty()) message.replace(QStringLiteral(" <%%EMAILADDRESS>"), QString());
    message.replace(QStringLiteral("%%EMAILADDRESS"), email);
    // A draft of this mode, left by a failed upload, comes back as typed.
    QSettings settings;
    settings.beginGroup(draftGroup(feedback));
    if (settings.contains(QStringLiteral("message"))) {
        message = settings.value(QStringLiteral("message")).toString();
        email = settings.value(QStringLiteral("email")).toString();
    }
    settings.endGroup();
    emailField->setPlaceholderText(text("MISSING_EMAIL_ADDRESS"));
    emailField->setText(email);
    informationField->setPlainText(message);
    if (!feedback) {
        crashLogField->setPlainText(logString);
        return;
    }
    remindButton->hide();
    switchTabView->setTabText(0, text("SYSTEM_INFO_TAB_NAME"));
    KvSystemInfo& info = KvSystemInfo::shared();
    crashLogField->setPlainText(
        QStringLiteral("Application: %1 %2\nModel: %3\nCPU Speed: %4%5 GHz\nSystem Version: %6\n\nPreferences:\n%7")
            .arg(displayName(), applicationVersion(), info.machineModelName(), info.processorPrefix(),
                 QString::number(info.cpuClockSpeedMHz() / 1000.0, 'f', 2), info.systemVersionString(),
                 preferencesText()));
}

void KvCrashReporter::sendCrashReport() {
    if (connection->running()) return;
    const QString log = informationField->toPlainText() + QStringLiteral("\n==========\n") + crashLogField->toPlainText();
    progressIndicator->show();
    for (QPushButton* button : {sendButton, remindButton, discardButton}) button->setEnabled(false);
    connection->start(uploadUrl, CrashUpload::body(emailField->text(), applicationName(), applicationVersion(), log));
}

void KvCrashReporter::remindMeLater() { finish(); }

void KvCrashReporter::discardCrashReport() {
    if (!feedback) storeLastCrashReportDate(double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
    keepDraft(false);
    finish();
}

void KvCrashReporter::keepDraft(bool keep) {
    QSettings settings;
    settings.beginGroup(draftGroup(feedback));
    if (keep) {
        settings.setValue(QStringLiteral("message"), informationField->toPlainText());
        settings.setValue(QStringLiteral("email"), emailField->text());
    } else {
        settings.remove(QString());
    }
    settings.endGroup();
    settings.sync();
}

void KvCrashReporter::showFinishedMessage(bool ok, const QString& error) {
    progressIndicator->hide();
    if (ok && !feedback) storeLastCrashReportDate(double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
    keepDraft(!ok);
    if (ok && !emailField->text().trimmed().isEmpty()) {
        QSettings settings;
        settings.setValue(QString::fromLatin1(kEmailKey), emailField->text().trimmed());
    }
    if (!ok) {
        desktop->ask(this, text(feedback ? "COULDNT_SEND_FEEDBACK_ERROR" : "COULDNT_SEND_CRASH_REPORT_ERROR"), error,
                     {text("COULDNT_SEND_CRASH_REPORT_ERROR_OK")}, 0);
    }
    emit uploadFinished(ok);
    finish();
}

void KvCrashReporter::finish() {
    hide();
    deleteLater();
}

}  // namespace vorn::gui
