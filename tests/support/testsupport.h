// Small helpers every test may use: a log spy, a private working directory
// whose service is a closed local port, and readers of what the program
// leaves on disk (settings file, day logs).
#pragma once

#include <QDir>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>

namespace TestSupport {

// Every message while alive, from any thread, passed on to the previous
// handler too.
class LogSpy
{
public:
    LogSpy();
    ~LogSpy();

    [[nodiscard]] QStringList lines() const
    {
        QMutexLocker locker(&s_mutex);
        return m_lines;
    }
    // Lines that contain every one of the texts.
    [[nodiscard]] int count(const QStringList &texts) const;
    [[nodiscard]] int count(const QString &text) const { return count(QStringList { text }); }
    void clear()
    {
        QMutexLocker locker(&s_mutex);
        m_lines.clear();
    }
    // Handles events for the whole time: the way to show that no line with
    // `text` comes.
    bool loggedWithin(const QString &text, int timeoutMs);

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message);

    static QMutex s_mutex;
    static LogSpy *s_spy;
    QtMessageHandler m_previous = nullptr;
    QStringList m_lines;
};

// A fresh temporary directory made the current one, where the program keeps
// ondaline.ini and its logs; the client's service is a closed local port,
// so its requests never leave the machine.
class WorkDir
{
public:
    WorkDir();
    ~WorkDir() { QDir::setCurrent(m_previous); }
    [[nodiscard]] QString path() const { return m_dir.path(); }
    [[nodiscard]] QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
};

// http://127.0.0.1:<a port nothing listens on>
QString closedServiceUrl();

// Polls `condition` every 50 ms while the event loop runs, at most `timeoutMs`.
bool waitFor(const std::function<bool()> &condition, int timeoutMs);

bool writeFile(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path);

// The sources array of a settings file, in order.
struct StoredSource
{
    QString streamUrl;
    double volumeLevel = 1;
};
QList<StoredSource> storedSources(const QString &iniPath);
QString storedValue(const QString &iniPath, const QString &key);
// An ondaline.ini: [General] lines, then one sources entry per (url, volume);
// a negative volume is left out.
QByteArray sourcesIni(const QList<QPair<QString, double>> &sources, const QByteArray &general = {});

// Every line of the day logs in `dir`, oldest file first.
QString dayLogText(const QString &dir);

} // namespace TestSupport
