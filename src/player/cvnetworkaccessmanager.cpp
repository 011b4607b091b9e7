// PLACEHOLDER: replaced by the audio engine.
#include "cvnetworkaccessmanager.h"
#include <QNetworkReply>
CVNetworkAccessManager::CVNetworkAccessManager(QObject *parent) : QNetworkAccessManager(parent) {}
int CVNetworkAccessManager::timeoutMs() const { return m_timeoutMs; }
QByteArray CVNetworkAccessManager::referer() const { return m_referer; }
bool CVNetworkAccessManager::setTimeoutMs(int t) { if (t == m_timeoutMs) return false; m_timeoutMs = t; emit timeoutMsChanged(t); return true; }
bool CVNetworkAccessManager::setReferer(const QString &r) { m_referer = r.toUtf8(); return true; }
QNetworkReply *CVNetworkAccessManager::senderReply(QObject *sender, const QString &, const QLoggingCategory &)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender);
    return (reply && reply->error() == QNetworkReply::NoError) ? reply : nullptr;
}
QNetworkReply *CVNetworkAccessManager::createRequest(Operation op, const QNetworkRequest &request, QIODevice *data)
{
    return QNetworkAccessManager::createRequest(op, request, data);
}
