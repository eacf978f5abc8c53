// The report window: an explanation, the user's message, the e-mail address,
// a tab with the crash log (crash mode) or the system information (feedback
// mode), a spinner and Send / Remind me later / Discard. Every text is plain
// text: logs hold names read from disks.
//
// Crash mode marks the crash as handled (stores the date) on Discard and on
// a successful upload, never on Remind me later, so a reminded crash is
// offered again at the next start. Feedback mode never stores a date.
//
// What the user typed is not lost to a failed upload: the message and the
// e-mail address are kept as a draft (in the settings) and fill the next
// window of the same mode; a successful upload or Discard drops the draft.
// The address of a successful upload is remembered for later reports.
//
// Ownership: a reporter owns itself; it is deleted once its window is done
// (after the upload's outcome, or when closed or hidden by Remind or Discard). The
// Desktop is not owned (null: the real desktop).
#pragma once

#include <QWidget>
#include <memory>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;

namespace vorn::gui {

class CrashUpload;
class Desktop;
class StringTable;

class KvCrashReporter : public QWidget {
    Q_OBJECT
public:
    // A crash-mode window for logString, or a feedback window when logString
    // is null. Shown at once.
    static KvCrashReporter* open(const QString& logString, Desktop* desktop = nullptr);
    ~KvCrashReporter() override;

    bool feedbackMode() const { return feedback; }
    // Where Send posts to; the table's "CRASH_REPORT_CGI_URL" by default.
    void setUploadUrl(const QString& url) { uploadUrl = url; }
    void setUploadTimeoutMs(int ms);

    static QString applicationName();
    static QString applicationVersion();
    // The "KvCrashReporter" string table.
    static const StringTable& strings();
    // "%%LONGUSERNAME": the full name of the password entry, else the login.
    static QString longUserName();
    // "%%EMAILADDRESS": the address last sent from, else $EMAIL, else none
    // (the field then shows "MISSING_EMAIL_ADDRESS" as its placeholder).
    static QString emailAddress();
    // The settings keys of the reporter's own that are no preferences.
    static bool isOwnSettingsKey(const QString& key);

    void sendCrashReport();
    void remindMeLater();
    void discardCrashReport();

signals:
    void uploadFinished(bool ok);

private:
    KvCrashReporter(const QString& logString, Desktop* desktop);
    void build();
    void fill(const QString& logString);
    void showFinishedMessage(bool ok, const QString& error);
    void finish();
    void keepDraft(bool keep);

    bool feedback;
    Desktop* desktop;
    std::unique_ptr<Desktop> ownDesktop;
    QString uploadUrl;
    CrashUpload* connection;
    QLabel* explanationField;
    QPlainTextEdit* informationField;
    QLineEdit* emailField;
    QTabWidget* switchTabView;
    QPlainTextEdit* crashLogField;
    QProgressBar* progressIndicator;
    QPushButton *sendButton, *remindButton, *discardButton;
};

}  // namespace vorn::gui
