// PLACEHOLDER: replaced by the logging implementation.
#include "logging.h"
QString logFilePrefix;
void initLogging(const QString &prefix) { logFilePrefix = prefix; }
QString logFileName() { return QString(); }
QByteArray formatLogMessage(QtMsgType, const QMessageLogContext &, const QString &m) { return m.toUtf8(); }
void fileMessageHandler(QtMsgType, const QMessageLogContext &, const QString &) {}
void stderrMessageHandler(QtMsgType, const QMessageLogContext &, const QString &) {}
void removeOldLogFiles(int) {}
