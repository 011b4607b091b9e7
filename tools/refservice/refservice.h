// The reference Ondaline web service: the state, logout and version calls and
// the two download prefixes, plain HTTP on 127.0.0.1. Tests run it in-process
// and use its hooks to inspect requests and to shape the next replies.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <memory>

class QHttpServerRequest;
class QTcpSocket;

class RefService : public QObject
{
    Q_OBJECT
public:
    // One received request, as the tests see it.
    struct Request
    {
        QByteArray method;
        QString path;
        QByteArray body;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        int status = 0;                        // the status answered (0: none yet)

        [[nodiscard]] QJsonObject json() const; // the body as an object, or empty
    };

    static constexpr int maxKeptRequests = 1000;
    static constexpr qsizetype maxBodyBytes = 1024 * 1024;

    explicit RefService(QObject *parent = nullptr);
    ~RefService() override;

    // Data: {"stations": {id: {"name", "city", "logoFilename", "streams": [url]}},
    //        "users": [{"name", "userId", "station", "salt", "passwordHash"}],
    //        "build": {"version", "code", "filename"}}
    bool loadData(const QJsonObject &data, QString *error = nullptr);
    bool loadDataFile(const QString &fileName, QString *error = nullptr);
    void setFilesDir(const QString &dir);

    // Listens on 127.0.0.1; port 0 takes a free one. Returns the port, or 0.
    quint16 start(quint16 port = 0, QString *error = nullptr);
    [[nodiscard]] quint16 port() const;
    [[nodiscard]] QString baseUrl() const; // "http://127.0.0.1:<port>"

    // Test hooks.
    bool setStationStreams(const QString &stationId, const QStringList &streamUrls);
    // The next request to `path` (any path when empty) gets exactly this
    // status and body instead of its normal handling. Queued in order.
    void forceNextReply(int status, const QByteArray &body = {}, const QString &path = {});
    // 0 answers at once, > 0 after that many ms, < 0 never.
    void setReplyDelayMs(int delayMs);
    void addSession(const QString &sid, const QString &username);
    [[nodiscard]] bool hasSession(const QString &sid) const;
    [[nodiscard]] QJsonObject lastReport(const QString &stationId) const;
    [[nodiscard]] QList<Request> requests() const;
    [[nodiscard]] QList<Request> requests(const QString &path) const;
    void clearRequests();

    static QString passwordHash(const QString &salt, const QString &password);
    // A user entry with a fresh salt and the hash of `password`.
    static QJsonObject makeUser(const QString &name, int userId, const QString &stationId,
                                const QString &password);
    // Adds (or replaces) a user in a data file, creating the file if needed.
    static bool addUserToFile(const QString &fileName, const QString &name,
                              const QString &password, const QString &stationId, int userId,
                              QString *error = nullptr);

signals:
    // After each request has been recorded.
    void requestReceived(const QString &path);

private:
    class Server;
    friend class Server;

    struct Station
    {
        QString name;
        QString city;
        QString logoFilename;
        QStringList streams;
        QJsonObject lastReport;
    };
    struct User
    {
        QString name;
        int userId = 0;
        QString stationId;
        QString salt;
        QString passwordHash;
    };
    struct Reply
    {
        int status = 200;
        QByteArray contentType = "application/json";
        QByteArray body;
    };
    struct Forced
    {
        QString path;
        int status = 200;
        QByteArray body;
    };

    void handle(const QHttpServerRequest &request, QTcpSocket *socket);
    Reply route(const QByteArray &method, const QString &path, const QByteArray &body);
    Reply stateCall(const QJsonObject &body);
    Reply logoutCall(const QJsonObject &body);
    Reply versionCall();
    Reply fileDownload(const QString &prefix, const QString &name);
    QJsonObject stateReply(const QString &sid, const User &user) const;
    const User *findUser(const QString &name) const;

    std::unique_ptr<Server> m_server;
    quint16 m_port = 0;
    QString m_filesDir;
    QHash<QString, Station> m_stations;
    QList<User> m_users;
    QString m_buildVersion;
    qint64 m_buildCode = 0;
    QString m_buildFilename;
    QHash<QString, QString> m_sessions; // sid -> user name
    QList<Forced> m_forced;
    int m_replyDelayMs = 0;
    QList<Request> m_requests;
};
