// Network access manager shared by the program's web requests: every request
// carries the referer and is aborted once it outlives the time-out.
#include "cvnetworkaccessmanager.h"
#include "cvurl.h"

#include <QDebug>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

CVNetworkAccessManager::CVNetworkAccessManager(QObject *parent)
    : QNetworkAccessManager(parent)
{
}

int CVNetworkAccessManager::timeoutMs() const
{
    return m_timeoutMs;
}

QByteArray CVNetworkAccessManager::referer() const
{
    return m_referer;
}

bool CVNetworkAccessManager::setTimeoutMs(int timeoutMs)
{
    if (timeoutMs == m_timeoutMs)
        return false;
    m_timeoutMs = timeoutMs;
    emit timeoutMsChanged(m_timeoutMs);
    return true;
}

bool CVNetworkAccessManager::setReferer(const QString &referer)
{
    const QByteArray value = referer.toUtf8();
    if (value == m_referer)
        return false;
    m_referer = value;
    return true;
}

QNetworkReply *CVNetworkAccessManager::senderReply(QObject *sender, const QString &requestName,
                                                   const QLoggingCategory &category)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender);
    if (!reply) {
        qCWarning(category).noquote() << "Error" << requestName + QLatin1Char(':')
                                      << "the sender is not a network reply";
        return nullptr;
    }
    if (reply->error() == QNetworkReply::NoError)
        return reply;

    if (!category.isWarningEnabled())
        return nullptr;
    QDebug line = QMessageLogger(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC)
                      .warning(category);
    line.noquote() << "Error" << requestName + QLatin1Char(':');
    line.quote() << CVUrl::forLog(reply->url()) << errorString(reply)
                 << "Code:" << reply->error();
    return nullptr;
}

QString CVNetworkAccessManager::errorString(const QNetworkReply *reply)
{
    QString text = reply->errorString();
    const QUrl url = reply->url();
    if (url.userInfo().isEmpty())
        return text;
    const QString safe = CVUrl::forLog(url);
    for (const QString &form : {url.toString(), url.toString(QUrl::FullyEncoded),
                                url.toDisplayString()})
        text.replace(form, safe);
    // Whatever form Qt chose, the password itself never reaches the log.
    const QString password = url.password(QUrl::FullyDecoded);
    if (!password.isEmpty())
        text.replace(password, QStringLiteral("***"));
    return text;
}

QNetworkReply *CVNetworkAccessManager::createRequest(Operation op, const QNetworkRequest &request,
                                                     QIODevice *outgoingData)
{
    QNetworkRequest prepared(request);
    if (!m_referer.isEmpty() && !prepared.hasRawHeader("Referer"))
        prepared.setRawHeader("Referer", m_referer);

    QNetworkReply *reply = QNetworkAccessManager::createRequest(op, prepared, outgoingData);
    // A whole-request deadline rather than the transfer time-out: a server
    // that trickles bytes must not hold a request open forever either.
    if (reply && m_timeoutMs > 0 && !reply->isFinished()) {
        auto *deadline = new QTimer(reply);
        deadline->setSingleShot(true);
        const int timeoutMs = m_timeoutMs;
        connect(deadline, &QTimer::timeout, reply, [reply, timeoutMs]() {
            if (!reply->isRunning())
                return;
            // The abort alone would only say "Operation canceled".
            qDebug() << "Network request timed out after" << timeoutMs << "ms:"
                     << CVUrl::forLog(reply->url());
            reply->abort();
        });
        connect(reply, &QNetworkReply::finished, deadline, &QTimer::stop);
        deadline->start(m_timeoutMs);
    }
    return reply;
}
