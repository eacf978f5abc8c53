// Sends a crash or feedback report to the collection server as a
// multipart/form-data POST (parts email, appname, appversion, crashlog, all
// UTF-8) and reports the outcome once. The upload runs on the event loop;
// nothing here blocks the caller. A status other than 2xx, a network error,
// an empty address or a transfer that outlasts the time limit is a failure.
#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;

namespace vorn::gui {

class CrashUpload : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kBoundary = "0xKhTmLbOuNdArY";

    explicit CrashUpload(QObject* parent = nullptr);
    ~CrashUpload() override;

    // The form body; the boundary text inside any value becomes
    // "USED_TO_BE_KHTMLBOUNDARY", so no value can end the form.
    static QByteArray body(const QString& email, const QString& appName, const QString& appVersion,
                           const QString& log);

    // Starts the POST; finished() follows exactly once (at once, but not
    // inside this call, when the address is empty).
    void start(const QString& url, const QByteArray& body);
    bool running() const { return reply; }
    void setTimeoutMs(int ms) { timeoutMs = ms; }

signals:
    // error is empty on success.
    void finished(bool ok, const QString& error);

private:
    void done(bool ok, const QString& error);

    QNetworkAccessManager* manager;
    QPointer<QNetworkReply> reply;
    int timeoutMs = 60000;
};

}  // namespace vorn::gui
