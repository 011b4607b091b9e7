// The network access manager: referer on every request, the request deadline,
// and senderReply's verdict and log line.
#include <QNetworkReply>
#include <QPointer>
#include <QTest>

#include "cvnetworkaccessmanager.h"
#include "refservice.h"
#include "testsupport.h"

Q_LOGGING_CATEGORY(lcProbe, "ondaline.test.probe")

class tst_CVNetworkAccessManager : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_service = std::make_unique<RefService>();
        QString error;
        QVERIFY2(m_service->start(0, &error) != 0, qPrintable(error));
    }
    void cleanup() { m_service.reset(); }

    void refererOnEveryRequest()
    {
        CVNetworkAccessManager nam;
        nam.setReferer(QStringLiteral("com.tarnwell.ondaline"));
        const QUrl versionUrl(m_service->baseUrl() + QStringLiteral("/api/player/version"));
        QNetworkRequest request(versionUrl);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        QNetworkReply *post = nam.post(request, QByteArrayLiteral("{}"));
        QNetworkReply *get = nam.get(QNetworkRequest(QUrl(m_service->baseUrl() + QStringLiteral("/x"))));
        QTRY_VERIFY(post->isFinished() && get->isFinished());
        const auto requests = m_service->requests();
        QCOMPARE(requests.size(), 2);
        for (const auto &r : requests)
            QCOMPARE(r.headers.value("referer"), QByteArray("com.tarnwell.ondaline"));
        delete post;
        delete get;
    }

    void overdueRequestIsAborted()
    {
        CVNetworkAccessManager nam;
        nam.setTimeoutMs(300);
        m_service->setReplyDelayMs(-1);
        QNetworkRequest request(QUrl(m_service->baseUrl() + QStringLiteral("/api/player/version")));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        std::unique_ptr<QNetworkReply> reply(nam.post(request, QByteArrayLiteral("{}")));
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 5000);
        QVERIFY(reply->error() != QNetworkReply::NoError);

        // A reply that comes in time is left alone.
        m_service->setReplyDelayMs(50);
        nam.setTimeoutMs(5000);
        std::unique_ptr<QNetworkReply> quick(nam.post(request, QByteArrayLiteral("{}")));
        QTRY_VERIFY_WITH_TIMEOUT(quick->isFinished(), 5000);
        QCOMPARE(quick->error(), QNetworkReply::NoError);
    }

    void senderReplyVerdictAndLog()
    {
        CVNetworkAccessManager nam;
        QUrl failing(m_service->baseUrl() + QStringLiteral("/api/player/version"));
        failing.setUserName(QStringLiteral("alice"));
        failing.setPassword(QStringLiteral("hunter2"));
        m_service->forceNextReply(500, QByteArrayLiteral("{}"));
        QNetworkRequest request(failing);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        QPointer<QNetworkReply> bad = nam.post(request, QByteArrayLiteral("{}"));
        QTRY_VERIFY(bad->isFinished());

        QList<TestSupport::LogSpy::Entry> captured;
        QNetworkReply *verdict = nullptr;
        {
            TestSupport::LogSpy log;
            verdict = CVNetworkAccessManager::senderReply(bad, QStringLiteral("Probe request"), lcProbe());
            captured = log.entries();
        }

        QCOMPARE(verdict, nullptr);
        QStringList texts;
        for (const auto &m : captured)
            texts << m.category + QLatin1Char(' ') + m.text;
        QVERIFY2(captured.size() == 1, qPrintable(texts.join(QLatin1Char('\n'))));
        QCOMPARE(captured.at(0).type, QtWarningMsg);
        QCOMPARE(captured.at(0).category, QStringLiteral("ondaline.test.probe"));
        const QString expected = QStringLiteral("Error Probe request: \"%1/api/player/version\" \"%2\" Code: QNetworkReply::InternalServerError")
                                     .arg(m_service->baseUrl(), CVNetworkAccessManager::errorString(bad));
        QCOMPARE(captured.at(0).text, expected);
        // Qt's own error text quotes the URL with its credentials.
        QVERIFY(bad->errorString().contains(QStringLiteral("hunter2")));
        QVERIFY2(!captured.at(0).text.contains(QStringLiteral("hunter2")), qPrintable(captured.at(0).text));
        QVERIFY(!captured.at(0).text.contains(QStringLiteral("alice")));

        // Never deleted by the verdict, success or not.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(bad);

        QPointer<QNetworkReply> good = nam.post(request, QByteArrayLiteral("{}"));
        QTRY_VERIFY(good->isFinished());
        QCOMPARE(CVNetworkAccessManager::senderReply(good, QStringLiteral("Probe request"), lcProbe()), good.data());
        QTest::ignoreMessage(QtWarningMsg, "Error Probe request: the sender is not a network reply");
        QCOMPARE(CVNetworkAccessManager::senderReply(&nam, QStringLiteral("Probe request"), lcProbe()), nullptr);
        delete bad;
        delete good;
    }

private:
    std::unique_ptr<RefService> m_service;
};

QTEST_GUILESS_MAIN(tst_CVNetworkAccessManager)
#include "tst_cvnetworkaccessmanager.moc"
