// The reference Ondaline web service.
#include "refservice.h"

#include <QAbstractHttpServer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
const QString statePath = QStringLiteral("/api/player/state");
const QString logoutPath = QStringLiteral("/api/player/logout");
const QString versionPath = QStringLiteral("/api/player/version");
const QString stationLogoPrefix = QStringLiteral("/stationFormat/");
const QString playerBuildPrefix = QStringLiteral("/playerBuild/");

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

void writeResponse(QTcpSocket *socket, int status, const QByteArray &contentType,
                   const QByteArray &body)
{
    QByteArray message = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
        + "\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    message += body;
    socket->write(message);
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray errorBody(const QString &message)
{
    return compact(QJsonObject{{QStringLiteral("error"), message}});
}

QString randomHex(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    for (char &c : raw)
        c = char(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(raw.toHex());
}

QByteArray contentTypeFor(const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("png"))
        return "image/png";
    if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg"))
        return "image/jpeg";
    if (suffix == QLatin1String("svg"))
        return "image/svg+xml";
    return "application/octet-stream";
}
} // namespace

class RefService::Server : public QAbstractHttpServer
{
public:
    explicit Server(RefService *owner) : m_owner(owner) {}

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        m_owner->handle(request, socket);
        return true;
    }
    void missingHandler(const QHttpServerRequest &, QTcpSocket *socket) override
    {
        writeResponse(socket, 404, "application/json", errorBody(QStringLiteral("not found")));
    }

private:
    RefService *m_owner;
};

QJsonObject RefService::Request::json() const
{
    return QJsonDocument::fromJson(body).object();
}

RefService::RefService(QObject *parent)
    : QObject(parent)
    , m_server(std::make_unique<Server>(this))
{
}

RefService::~RefService() = default;

bool RefService::loadData(const QJsonObject &data, QString *error)
{
    QHash<QString, Station> stations;
    const QJsonObject stationsJson = data.value(QStringLiteral("stations")).toObject();
    for (auto it = stationsJson.begin(); it != stationsJson.end(); ++it) {
        const QJsonObject s = it.value().toObject();
        Station station;
        station.name = s.value(QStringLiteral("name")).toString();
        station.city = s.value(QStringLiteral("city")).toString();
        station.logoFilename = s.value(QStringLiteral("logoFilename")).toString();
        for (const QJsonValue &url : s.value(QStringLiteral("streams")).toArray())
            station.streams.append(url.toString());
        stations.insert(it.key(), station);
    }

    QList<User> users;
    for (const QJsonValue &value : data.value(QStringLiteral("users")).toArray()) {
        const QJsonObject u = value.toObject();
        User user;
        user.name = u.value(QStringLiteral("name")).toString();
        user.userId = u.value(QStringLiteral("userId")).toInt();
        user.stationId = u.value(QStringLiteral("station")).toString();
        user.salt = u.value(QStringLiteral("salt")).toString();
        user.passwordHash = u.value(QStringLiteral("passwordHash")).toString().toLower();
        if (user.name.isEmpty() || user.userId <= 0 || !stations.contains(user.stationId)) {
            if (error)
                *error = QStringLiteral("user \"%1\" needs a name, a positive userId and a "
                                        "known station")
                             .arg(user.name);
            return false;
        }
        users.append(user);
    }

    const QJsonObject build = data.value(QStringLiteral("build")).toObject();
    m_stations = stations;
    m_users = users;
    m_buildVersion = build.value(QStringLiteral("version")).toString();
    m_buildCode = build.value(QStringLiteral("code")).toInteger();
    m_buildFilename = build.value(QStringLiteral("filename")).toString();
    return true;
}

bool RefService::loadDataFile(const QString &fileName, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(fileName, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        if (error)
            *error = QStringLiteral("%1 is not a JSON object: %2")
                         .arg(fileName, parseError.errorString());
        return false;
    }
    return loadData(document.object(), error);
}

void RefService::setFilesDir(const QString &dir)
{
    m_filesDir = dir;
}

quint16 RefService::start(quint16 port, QString *error)
{
    auto *tcpServer = new QTcpServer(m_server.get());
    if (!tcpServer->listen(QHostAddress::LocalHost, port)) {
        if (error)
            *error = QStringLiteral("cannot listen on 127.0.0.1:%1: %2")
                         .arg(port)
                         .arg(tcpServer->errorString());
        delete tcpServer;
        return 0;
    }
    m_server->bind(tcpServer);
    m_port = tcpServer->serverPort();
    return m_port;
}

quint16 RefService::port() const
{
    return m_port;
}

QString RefService::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

bool RefService::setStationStreams(const QString &stationId, const QStringList &streamUrls)
{
    auto it = m_stations.find(stationId);
    if (it == m_stations.end())
        return false;
    it->streams = streamUrls;
    return true;
}

void RefService::forceNextReply(int status, const QByteArray &body, const QString &path)
{
    m_forced.append(Forced{path, status, body});
}

void RefService::setReplyDelayMs(int delayMs)
{
    m_replyDelayMs = delayMs;
}

void RefService::addSession(const QString &sid, const QString &username)
{
    m_sessions.insert(sid, username);
}

bool RefService::hasSession(const QString &sid) const
{
    return m_sessions.contains(sid);
}

QJsonObject RefService::lastReport(const QString &stationId) const
{
    return m_stations.value(stationId).lastReport;
}

QList<RefService::Request> RefService::requests() const
{
    return m_requests;
}

QList<RefService::Request> RefService::requests(const QString &path) const
{
    QList<Request> matching;
    for (const Request &request : m_requests) {
        if (request.path == path)
            matching.append(request);
    }
    return matching;
}

void RefService::clearRequests()
{
    m_requests.clear();
}

QString RefService::passwordHash(const QString &salt, const QString &password)
{
    return QString::fromLatin1(
        QCryptographicHash::hash((salt + password).toUtf8(), QCryptographicHash::Sha256).toHex());
}

QJsonObject RefService::makeUser(const QString &name, int userId, const QString &stationId,
                                 const QString &password)
{
    const QString salt = randomHex(16);
    return QJsonObject{{QStringLiteral("name"), name},
                       {QStringLiteral("userId"), userId},
                       {QStringLiteral("station"), stationId},
                       {QStringLiteral("salt"), salt},
                       {QStringLiteral("passwordHash"), passwordHash(salt, password)}};
}

bool RefService::addUserToFile(const QString &fileName, const QString &name,
                               const QString &password, const QString &stationId, int userId,
                               QString *error)
{
    QJsonObject data;
    QFile in(fileName);
    if (in.exists()) {
        if (!in.open(QIODevice::ReadOnly)) {
            if (error)
                *error = QStringLiteral("cannot read %1: %2").arg(fileName, in.errorString());
            return false;
        }
        const QJsonDocument document = QJsonDocument::fromJson(in.readAll());
        if (!document.isObject()) {
            if (error)
                *error = QStringLiteral("%1 is not a JSON object").arg(fileName);
            return false;
        }
        data = document.object();
    }

    QJsonArray users = data.value(QStringLiteral("users")).toArray();
    int maxId = 0;
    int replaced = -1;
    for (int i = 0; i < users.size(); ++i) {
        const QJsonObject user = users.at(i).toObject();
        maxId = qMax(maxId, user.value(QStringLiteral("userId")).toInt());
        if (user.value(QStringLiteral("name")).toString() == name)
            replaced = i;
    }
    if (userId <= 0)
        userId = replaced >= 0 ? users.at(replaced).toObject().value(QStringLiteral("userId")).toInt()
                               : maxId + 1;
    const QJsonObject user = makeUser(name, userId, stationId, password);
    if (replaced >= 0)
        users.replace(replaced, user);
    else
        users.append(user);
    data.insert(QStringLiteral("users"), users);

    QJsonObject stations = data.value(QStringLiteral("stations")).toObject();
    if (!stations.contains(stationId)) {
        stations.insert(stationId, QJsonObject{{QStringLiteral("name"), stationId},
                                               {QStringLiteral("city"), QString()},
                                               {QStringLiteral("logoFilename"), QString()},
                                               {QStringLiteral("streams"), QJsonArray()}});
        data.insert(QStringLiteral("stations"), stations);
    }

    QSaveFile out(fileName);
    if (!out.open(QIODevice::WriteOnly)
        || out.write(QJsonDocument(data).toJson(QJsonDocument::Indented)) < 0 || !out.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(fileName, out.errorString());
        return false;
    }
    return true;
}

void RefService::handle(const QHttpServerRequest &request, QTcpSocket *socket)
{
    QByteArray method;
    switch (request.method()) {
    case QHttpServerRequest::Method::Get: method = "GET"; break;
    case QHttpServerRequest::Method::Post: method = "POST"; break;
    case QHttpServerRequest::Method::Head: method = "HEAD"; break;
    default: method = "OTHER"; break;
    }

    Request record;
    record.method = method;
    record.path = request.url().path();
    record.body = request.body().left(maxBodyBytes);
    const auto headers = request.headers();
    for (const auto &header : headers)
        record.headers.insert(header.first.toLower(), header.second);

    Reply reply;
    const auto forced = std::find_if(m_forced.begin(), m_forced.end(), [&](const Forced &f) {
        return f.path.isEmpty() || f.path == record.path;
    });
    if (forced != m_forced.end()) {
        reply.status = forced->status;
        reply.body = forced->body;
        m_forced.erase(forced);
    } else if (request.body().size() > maxBodyBytes) {
        reply.status = 413;
        reply.body = errorBody(QStringLiteral("body too large"));
    } else {
        reply = route(method, record.path, request.body());
    }

    record.status = reply.status;
    m_requests.append(record);
    while (m_requests.size() > maxKeptRequests)
        m_requests.removeFirst();

    if (m_replyDelayMs == 0) {
        writeResponse(socket, reply.status, reply.contentType, reply.body);
    } else if (m_replyDelayMs > 0) {
        // The socket is the context: a client that gave up takes the
        // pending answer with it.
        QTimer::singleShot(m_replyDelayMs, socket, [socket, reply]() {
            writeResponse(socket, reply.status, reply.contentType, reply.body);
        });
    }
    emit requestReceived(record.path);
}

RefService::Reply RefService::route(const QByteArray &method, const QString &path,
                                    const QByteArray &body)
{
    if (path == statePath || path == logoutPath || path == versionPath) {
        if (method != "POST")
            return Reply{405, "application/json", errorBody(QStringLiteral("POST only"))};
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
        if (parseError.error != QJsonParseError::NoError || !document.isObject())
            return Reply{400, "application/json", errorBody(QStringLiteral("a JSON object expected"))};
        if (path == statePath)
            return stateCall(document.object());
        if (path == logoutPath)
            return logoutCall(document.object());
        return versionCall();
    }
    if (method == "GET" && path.startsWith(stationLogoPrefix))
        return fileDownload(stationLogoPrefix, path.mid(stationLogoPrefix.size()));
    if (method == "GET" && path.startsWith(playerBuildPrefix))
        return fileDownload(playerBuildPrefix, path.mid(playerBuildPrefix.size()));
    return Reply{404, "application/json", errorBody(QStringLiteral("not found"))};
}

const RefService::User *RefService::findUser(const QString &name) const
{
    for (const User &user : m_users) {
        if (user.name == name)
            return &user;
    }
    return nullptr;
}

RefService::Reply RefService::stateCall(const QJsonObject &body)
{
    const Reply forbidden{403, "application/json", errorBody(QStringLiteral("forbidden"))};

    if (body.contains(QStringLiteral("user"))) {
        const User *user = findUser(body.value(QStringLiteral("user")).toString());
        const QString password = body.value(QStringLiteral("pass")).toString();
        if (!user || password.isEmpty()
            || passwordHash(user->salt, password) != user->passwordHash)
            return forbidden;
        QString sid = randomHex(16);
        while (m_sessions.contains(sid))
            sid = randomHex(16);
        m_sessions.insert(sid, user->name);
        return Reply{200, "application/json", compact(stateReply(sid, *user))};
    }

    const QString sid = body.value(QStringLiteral("sid")).toString();
    const User *user = sid.isEmpty() ? nullptr : findUser(m_sessions.value(sid));
    if (!user)
        return forbidden;
    m_stations[user->stationId].lastReport = body;
    return Reply{200, "application/json", compact(stateReply(sid, *user))};
}

QJsonObject RefService::stateReply(const QString &sid, const User &user) const
{
    const Station station = m_stations.value(user.stationId);
    QJsonArray streams;
    for (const QString &url : station.streams)
        streams.append(QJsonObject{{QStringLiteral("streamUrl"), url}});

    QJsonObject reply{{QStringLiteral("sid"), sid},
                      {QStringLiteral("username"), user.name},
                      {QStringLiteral("userId"), user.userId},
                      {QStringLiteral("city"), station.city},
                      {QStringLiteral("stationName"), station.name},
                      {QStringLiteral("stationLogoFilename"), station.logoFilename},
                      {QStringLiteral("streams"), streams}};
    if (!m_buildVersion.isEmpty()) {
        reply.insert(QStringLiteral("newVersion"), m_buildVersion);
        reply.insert(QStringLiteral("newVersionCode"), m_buildCode);
        reply.insert(QStringLiteral("newVersionFilename"), m_buildFilename);
    }
    return reply;
}

RefService::Reply RefService::logoutCall(const QJsonObject &body)
{
    m_sessions.remove(body.value(QStringLiteral("sid")).toString());
    return Reply{200, "application/json", QByteArrayLiteral("{}")};
}

RefService::Reply RefService::versionCall()
{
    QJsonObject reply;
    if (!m_buildVersion.isEmpty()) {
        reply.insert(QStringLiteral("newVersion"), m_buildVersion);
        reply.insert(QStringLiteral("newVersionCode"), m_buildCode);
        reply.insert(QStringLiteral("newVersionFilename"), m_buildFilename);
    }
    return Reply{200, "application/json", compact(reply)};
}

RefService::Reply RefService::fileDownload(const QString &prefix, const QString &name)
{
    const Reply notFound{404, "application/json", errorBody(QStringLiteral("not found"))};
    // One plain file name inside the files directory, nothing else.
    if (m_filesDir.isEmpty() || name.isEmpty() || name.startsWith(QLatin1Char('.'))
        || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return notFound;
    const QString subdir = prefix == stationLogoPrefix ? QStringLiteral("stationFormat")
                                                       : QStringLiteral("playerBuild");
    QFileInfo info(QDir(m_filesDir).filePath(subdir + QLatin1Char('/') + name));
    if (!info.isFile())
        info = QFileInfo(QDir(m_filesDir).filePath(name));
    if (!info.isFile())
        return notFound;
    QFile file(info.filePath());
    if (!file.open(QIODevice::ReadOnly))
        return notFound;
    return Reply{200, contentTypeFor(name), file.readAll()};
}
