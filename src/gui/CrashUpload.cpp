#include "gui/CrashUpload.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace vorn::gui {

CrashUpload::CrashUpload(QObject* parent) : QObject(parent), manager(new QNetworkAccessManager(this)) {}

CrashUpload::~CrashUpload() {
    // No outcome reaches an owner that is going away.
    if (reply) {
        reply->disconnect(this);
        reply->abort();
    }
}

QByteArray CrashUpload::body(const QString& email, const QString& appName, const QString& appVersion,
                             const QString& log) {
    const QString boundary = QString::fromLatin1(kBoundary);
    const std::pair<const char*, const QString*> parts[] = {
        {"email", &email}, {"appname", &appName}, {"appversion", &appVersion}, {"crashlog", &log}};
    QByteArray out;
    for (const auto& [name, value] : parts) {
        out += "--" + boundary.toLatin1() + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n";
        out += QString(*value).replace(boundary, QStringLiteral("USED_TO_BE_KHTMLBOUNDARY")).toUtf8();
        out += "\r\n";
    }
    out += "--" + boundary.toLatin1() + "--\r\n";
    return out;
}

void CrashUpload::start(const QString& url, const QByteArray& body) {
    const QUrl address(url);
    if (url.isEmpty() || !address.isValid()) {
        QTimer::singleShot(0, this, [this] { done(false, QStringLiteral("No address to send the report to.")); });
        return;
    }
    QNetworkRequest request(address);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("multipart/form-data; boundary=%1").arg(QString::fromLatin1(kBoundary)));
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("KvCrashReporter"));
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    reply = manager->post(request, body);
    QNetworkReply* current = reply;
    // The whole transfer is limited, not only its pauses: a server that
    // trickles bytes cannot keep the window waiting either.
    QTimer::singleShot(timeoutMs, current, [current] { current->abort(); });
    connect(current, &QNetworkReply::finished, this, [this, current] {
        current->deleteLater();
        const int status = current->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (current->error() == QNetworkReply::OperationCanceledError && status == 0)
            done(false, QStringLiteral("The server did not answer in time."));
        else if (status < 200 || status > 299)
            done(false, current->error() != QNetworkReply::NoError ? current->errorString()
                                                                    : QStringLiteral("HTTP status %1").arg(status));
        else
            done(true, QString());
    });
}

void CrashUpload::done(bool ok, const QString& error) {
    reply = nullptr;
    emit finished(ok, error);
}

}  // namespace vorn::gui
