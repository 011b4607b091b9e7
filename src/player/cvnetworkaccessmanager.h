// Network access manager with a per-request time-out and a fixed referer.
#pragma once

#include <QLoggingCategory>
#include <QNetworkAccessManager>

class QNetworkReply;

class CVNetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
    Q_PROPERTY(int timeoutMs READ timeoutMs WRITE setTimeoutMs NOTIFY timeoutMsChanged)
public:
    explicit CVNetworkAccessManager(QObject *parent = nullptr);

    // Total time a request may take; 0 or less lets requests run unbounded.
    [[nodiscard]] int timeoutMs() const;
    [[nodiscard]] QByteArray referer() const;

    // The finished reply behind `sender` when it can be read, null when it
    // failed (the failure is logged under `requestName`). Never deletes it.
    static QNetworkReply *senderReply(QObject *sender, const QString &requestName,
                                      const QLoggingCategory &category);
    // The reply's error string fit for a log: Qt quotes the request URL in
    // it, user name and password included.
    static QString errorString(const QNetworkReply *reply);

public slots:
    bool setTimeoutMs(int timeoutMs);
    bool setReferer(const QString &referer);

signals:
    void timeoutMsChanged(int timeoutMs);

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    int m_timeoutMs = 0;
    QByteArray m_referer;
};
