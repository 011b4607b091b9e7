// Process-wide file logging: one line per message in the day's log file.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

extern QString logFilePrefix;

void initLogging(const QString &prefix);
QString logFileName();
QByteArray formatLogMessage(QtMsgType type, const QMessageLogContext &context, const QString &message);
void fileMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
void stderrMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
void removeOldLogFiles(int storeDays);
