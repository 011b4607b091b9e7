// Process-wide file logging: one line per message in the day's log file,
// and the retention that deletes old day files.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QtGlobal>

// Set once by initLogging() before any other thread exists; empty means
// no log files, lines go to standard error.
extern QString logFilePrefix;

void initLogging(const QString &prefix);
// prefix + "_" + date as dd.MM.yyyy + ".log", relative to the working directory.
QString logFileName();
QString logFileName(const QDate &date);
QByteArray formatLogMessage(QtMsgType type, const QMessageLogContext &context, const QString &message);
void fileMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
void stderrMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
// Deletes the day files dated storeDays or more days before today.
void removeOldLogFiles(int storeDays);
void removeOldLogFiles(int storeDays, const QDate &today);
