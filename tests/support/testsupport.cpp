#include "testsupport.h"

#include "olclientuser.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSettings>
#include <QTcpServer>
#include <QTest>

namespace TestSupport {

QMutex LogSpy::s_mutex;
LogSpy *LogSpy::s_spy = nullptr;

LogSpy::LogSpy()
{
    QMutexLocker locker(&s_mutex);
    s_spy = this;
    m_previous = qInstallMessageHandler(&LogSpy::handle);
}

LogSpy::~LogSpy()
{
    QMutexLocker locker(&s_mutex);
    qInstallMessageHandler(m_previous);
    s_spy = nullptr;
}

void LogSpy::handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    QtMessageHandler previous = nullptr;
    {
        QMutexLocker locker(&s_mutex);
        if (!s_spy)
            return;
        previous = s_spy->m_previous;
        s_spy->m_lines.append(message);
    }
    if (previous)
        previous(type, context, message);
}

int LogSpy::count(const QStringList &texts) const
{
    QStringList found = lines();
    for (const QString &text : texts)
        found = found.filter(text);
    return int(found.size());
}

bool LogSpy::loggedWithin(const QString &text, int timeoutMs)
{
    const int before = count(text);
    QTest::qWait(timeoutMs);
    return count(text) > before;
}

QString closedServiceUrl()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort());
}

WorkDir::WorkDir() : m_previous(QDir::currentPath())
{
    QDir::setCurrent(m_dir.path());
    OLClientUser::setServiceBaseUrl(closedServiceUrl());
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(50);
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<StoredSource> storedSources(const QString &iniPath)
{
    QSettings settings(iniPath, QSettings::IniFormat);
    QList<StoredSource> sources;
    const int size = settings.beginReadArray(QStringLiteral("sources"));
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        sources.append({ settings.value(QStringLiteral("streamUrl")).toString(),
                         settings.value(QStringLiteral("volumeLevel"), 1.0).toDouble() });
    }
    settings.endArray();
    return sources;
}

QString storedValue(const QString &iniPath, const QString &key)
{
    return QSettings(iniPath, QSettings::IniFormat).value(key).toString();
}

QByteArray sourcesIni(const QList<QPair<QString, double>> &sources, const QByteArray &general)
{
    QByteArray ini = "[General]\n" + general + "\n[sources]\n";
    for (int i = 0; i < sources.size(); ++i) {
        const QByteArray n = QByteArray::number(i + 1);
        ini += n + "\\streamUrl=" + sources.at(i).first.toUtf8() + "\n";
        if (sources.at(i).second >= 0)
            ini += n + "\\volumeLevel=" + QByteArray::number(sources.at(i).second) + "\n";
    }
    return ini + "size=" + QByteArray::number(sources.size()) + "\n";
}

QString dayLogText(const QString &dir)
{
    QString text;
    const QFileInfoList files = QDir(dir).entryInfoList({ QStringLiteral("ondaline_*.log") }, QDir::Files,
                                                        QDir::Time | QDir::Reversed);
    for (const QFileInfo &info : files)
        text += QString::fromUtf8(readFile(info.filePath()));
    return text;
}

} // namespace TestSupport
