// The reference web service with one station and one operator, in this
// process on 127.0.0.1.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include "refservice.h"

namespace TestSupport {

struct Station
{
    QString id = QStringLiteral("st1");
    QString name = QStringLiteral("Radio One");
    QString city = QStringLiteral("Tarnwell");
    QString logoFilename;
    QStringList streams;
    QString user = QStringLiteral("op");
    int userId = 7;
    QString password = QStringLiteral("secret");
    QJsonObject build; // the offered build, if any
};

// Loads `station` and listens on `port` (0: a free one). The error says why
// not, e.g. that the port an end-to-end program is built against is taken.
bool startService(RefService &service, const Station &station, quint16 port, QString *error);

} // namespace TestSupport
