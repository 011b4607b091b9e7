// The reference web service: sessions, refusals, bad input and downloads.
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "refservice.h"
#include "servicefixture.h"

namespace {
struct Answer
{
    int status = 0;
    QByteArray body;
    [[nodiscard]] QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};
} // namespace

class tst_RefService : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_service = std::make_unique<RefService>();
        TestSupport::Station station;
        station.logoFilename = QStringLiteral("one.png");
        station.streams = QStringList{QStringLiteral("http://127.0.0.1:9/a")};
        QString error;
        QVERIFY2(TestSupport::startService(*m_service, station, 0, &error), qPrintable(error));
    }
    void cleanup() { m_service.reset(); }

    void sessionLifecycle()
    {
        const Answer login = post("/api/player/state", R"({"user":"op","pass":"secret"})");
        QCOMPARE(login.status, 200);
        const QJsonObject reply = login.json();
        const QString sid = reply.value(QStringLiteral("sid")).toString();
        QVERIFY(!sid.isEmpty());
        QCOMPARE(reply.value(QStringLiteral("userId")).toInt(), 7);
        QCOMPARE(reply.value(QStringLiteral("username")).toString(), QStringLiteral("op"));
        QCOMPARE(reply.value(QStringLiteral("stationLogoFilename")).toString(), QStringLiteral("one.png"));
        QCOMPARE(reply.value(QStringLiteral("streams")).toArray(),
                 (QJsonArray{QJsonObject{{QStringLiteral("streamUrl"), QStringLiteral("http://127.0.0.1:9/a")}}}));

        const QByteArray report = QJsonDocument(QJsonObject{
            {QStringLiteral("sid"), sid},
            {QStringLiteral("sourcesInfo"), QJsonArray{QJsonObject{{QStringLiteral("levelDb"), QJsonValue::Null}}}}}).toJson();
        QCOMPARE(post("/api/player/state", report).status, 200);
        QCOMPARE(m_service->lastReport(QStringLiteral("st1")).value(QStringLiteral("sourcesInfo")).toArray().size(), 1);

        QCOMPARE(post("/api/player/logout", "{\"sid\":\"" + sid.toLatin1() + "\"}").status, 200);
        QCOMPARE(post("/api/player/state", report).status, 403);
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::newRow("wrong password") << QByteArray("/api/player/state") << QByteArray(R"({"user":"op","pass":"nope"})") << 403;
        QTest::newRow("unknown sid") << QByteArray("/api/player/state") << QByteArray(R"({"sid":"nobody"})") << 403;
        QTest::newRow("malformed json") << QByteArray("/api/player/state") << QByteArray(R"({"user":)") << 400;
        QTest::newRow("array body") << QByteArray("/api/player/state") << QByteArray("[]") << 400;
        QTest::newRow("empty body") << QByteArray("/api/player/version") << QByteArray() << 400;
        QTest::newRow("binary body") << QByteArray("/api/player/logout") << QByteArray("\x00\xff\xfe{", 4) << 400;
        QTest::newRow("huge body") << QByteArray("/api/player/state") << QByteArray(3 * 1024 * 1024, '[') << 413;
        QTest::newRow("unknown path") << QByteArray("/api/player/other") << QByteArray("{}") << 404;
    }
    void refusals()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QCOMPARE(post(path, body).status, status);
        // Still serving afterwards.
        QCOMPARE(post("/api/player/version", "{}").status, 200);
    }

    void garbageOnTheWireDoesNotKillTheServer()
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_service->port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write(QByteArray("\x01\x02 NOT HTTP\r\n\r\n\xff\xfe", 16) + QByteArray(64 * 1024, 'x'));
        QVERIFY(socket.waitForBytesWritten(5000));
        socket.waitForDisconnected(2000);
        QCOMPARE(post("/api/player/version", "{}").status, 200);
    }

    void downloads()
    {
        QTemporaryDir files;
        QVERIFY(files.isValid());
        QVERIFY(QDir(files.path()).mkdir(QStringLiteral("stationFormat")));
        QFile logo(files.filePath(QStringLiteral("stationFormat/one.png")));
        QVERIFY(logo.open(QIODevice::WriteOnly));
        logo.write("PNGDATA");
        logo.close();
        m_service->setFilesDir(files.path());

        const Answer ok = get("/stationFormat/one.png");
        QCOMPARE(ok.status, 200);
        QCOMPARE(ok.body, QByteArray("PNGDATA"));
        QCOMPARE(get("/stationFormat/").status, 404);
        QCOMPARE(get("/playerBuild/missing.exe").status, 404);
        QCOMPARE(get("/stationFormat/..%2Fsecret").status, 404);
        QCOMPARE(get("/stationFormat/%2E%2E").status, 404);
    }

    void addedUserCanLogIn()
    {
        QTemporaryDir dir;
        const QString dataFile = dir.filePath(QStringLiteral("data.json"));
        QString error;
        QVERIFY2(RefService::addUserToFile(dataFile, QStringLiteral("anna"), QStringLiteral("pw1"), QStringLiteral("st9"), 0, &error), qPrintable(error));
        QVERIFY2(RefService::addUserToFile(dataFile, QStringLiteral("anna"), QStringLiteral("pw2"), QStringLiteral("st9"), 0, &error), qPrintable(error));
        QFile file(dataFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray stored = file.readAll();
        QVERIFY(!stored.contains("pw2"));
        QCOMPARE(QJsonDocument::fromJson(stored).object().value(QStringLiteral("users")).toArray().size(), 1);

        QVERIFY2(m_service->loadDataFile(dataFile, &error), qPrintable(error));
        QCOMPARE(post("/api/player/state", R"({"user":"anna","pass":"pw1"})").status, 403);
        const Answer login = post("/api/player/state", R"({"user":"anna","pass":"pw2"})");
        QCOMPARE(login.status, 200);
        QCOMPARE(login.json().value(QStringLiteral("userId")).toInt(), 1);
    }

private:
    Answer finish(QNetworkReply *reply)
    {
        std::unique_ptr<QNetworkReply> owned(reply);
        if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 10000))
            return {};
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    }
    Answer post(const QByteArray &path, const QByteArray &body)
    {
        QNetworkRequest request(QUrl(m_service->baseUrl() + QString::fromLatin1(path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        return finish(m_nam.post(request, body));
    }
    Answer get(const QByteArray &path)
    {
        return finish(m_nam.get(QNetworkRequest(QUrl(m_service->baseUrl() + QString::fromLatin1(path)))));
    }

    QNetworkAccessManager m_nam;
    std::unique_ptr<RefService> m_service;
};

QTEST_GUILESS_MAIN(tst_RefService)
#include "tst_refservice.moc"
