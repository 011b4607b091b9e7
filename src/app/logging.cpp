// Process-wide file logging and log retention.
#include "logging.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>

QString logFilePrefix;

namespace {

QString dateFormat()
{
    return QStringLiteral("dd.MM.yyyy");
}

QString levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("(D)");
    case QtWarningMsg:
        return QStringLiteral("(W)");
    case QtCriticalMsg:
        return QStringLiteral("(C)");
    case QtFatalMsg:
        return QStringLiteral("(F)");
    case QtInfoMsg:
        return QStringLiteral("(I)");
    }
    return QStringLiteral("(U)");
}

void writeToStderr(const QByteArray &line)
{
    std::fprintf(stderr, "%s", line.constData());
    std::fflush(stderr);
}

// One unbuffered write of the whole line, so lines from several threads
// never interleave inside the append-only file.
bool appendToDayFile(const QByteArray &line)
{
    QFile file(logFileName());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    const bool written = file.write(line) == line.size();
    file.close();
    return written;
}

} // namespace

void initLogging(const QString &prefix)
{
    logFilePrefix = prefix;
    if (prefix.isEmpty()) {
        qInstallMessageHandler(stderrMessageHandler);
        return;
    }
    QFile file(logFileName());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        qFatal("Can not open log file: %s", qPrintable(prefix));
    file.close();
    qInstallMessageHandler(fileMessageHandler);
}

QString logFileName()
{
    return logFileName(QDate::currentDate());
}

QString logFileName(const QDate &date)
{
    return logFilePrefix + QLatin1Char('_') + date.toString(dateFormat()) + QStringLiteral(".log");
}

QByteArray formatLogMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    QString file = context.file ? QString::fromUtf8(context.file) : QString();
    const qsizetype separator = file.lastIndexOf(QLatin1Char('\\'));
    if (separator >= 0)
        file = file.mid(separator + 1);
    // Plain concatenation: a message holding "%2" stays as it is.
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"))
                         + QLatin1Char(' ') + levelWord(type) + QStringLiteral(": ") + message
                         + QStringLiteral(" (") + file + QLatin1Char('|')
                         + QString::number(context.line) + QStringLiteral(")\n");
    return line.toUtf8();
}

void fileMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray line = formatLogMessage(type, context, message);
    // The day's file may have become unopenable since start-up (a new day in
    // a directory turned read-only, a name taken by a directory): the line
    // then goes to standard error rather than nowhere.
    if (!appendToDayFile(line))
        writeToStderr(line);
    if (type == QtFatalMsg)
        std::abort();
}

void stderrMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    writeToStderr(formatLogMessage(type, context, message));
    if (type == QtFatalMsg)
        std::abort();
}

void removeOldLogFiles(int storeDays)
{
    removeOldLogFiles(storeDays, QDate::currentDate());
}

void removeOldLogFiles(int storeDays, const QDate &today)
{
    if (logFilePrefix.isEmpty())
        return;
    const QDate threshold = today.addDays(-storeDays);
    const QDir dir(QStringLiteral("."));
    const QStringList names = dir.entryList({logFilePrefix + QStringLiteral("*.log")},
                                            QDir::Files | QDir::CaseSensitive, QDir::Unsorted);
    for (const QString &name : names) {
        QString rest = name;
        rest.remove(logFilePrefix + QLatin1Char('_'));
        rest.remove(QStringLiteral(".log"));
        // A name that is no date gives an invalid date: such files are kept.
        const QDate date = QDate::fromString(rest, dateFormat());
        if (!date.isValid() || date > threshold)
            continue;
        QFile::remove(name);
        qDebug() << "Old log file" << name << "was removed";
    }
}
