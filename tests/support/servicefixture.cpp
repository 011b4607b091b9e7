#include "servicefixture.h"

#include <QJsonArray>

namespace TestSupport {

bool startService(RefService &service, const Station &station, quint16 port, QString *error)
{
    QJsonObject data {
        { QStringLiteral("stations"),
          QJsonObject { { station.id,
                          QJsonObject { { QStringLiteral("name"), station.name },
                                        { QStringLiteral("city"), station.city },
                                        { QStringLiteral("logoFilename"), station.logoFilename },
                                        { QStringLiteral("streams"), QJsonArray::fromStringList(station.streams) } } } } },
        { QStringLiteral("users"),
          QJsonArray { RefService::makeUser(station.user, station.userId, station.id, station.password) } }
    };
    if (!station.build.isEmpty())
        data.insert(QStringLiteral("build"), station.build);
    if (!service.loadData(data, error))
        return false;
    const quint16 bound = service.start(port, error);
    if (bound != 0 && (port == 0 || bound == port))
        return true;
    if (port != 0)
        *error = QStringLiteral("the reference service cannot listen on port %1, which the end-to-end program is "
                                "built against (%2); reconfigure with another ONDALINE_E2E_SERVICE_PORT")
                         .arg(port)
                         .arg(*error);
    return false;
}

} // namespace TestSupport
