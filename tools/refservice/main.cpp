// ondaline-refservice: runs the reference web service on 127.0.0.1, or adds a
// user with a salted password hash to its data file.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include "refservice.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ondaline-refservice"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reference Ondaline web service (plain HTTP on 127.0.0.1)"));
    parser.addHelpOption();
    const QCommandLineOption dataOption(QStringLiteral("data"), QStringLiteral("Data file (JSON)."), QStringLiteral("FILE"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port to listen on; 0 picks a free one."), QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption filesOption(QStringLiteral("files"), QStringLiteral("Directory of logo and build files."), QStringLiteral("DIR"));
    const QCommandLineOption addUserOption(QStringLiteral("add-user"), QStringLiteral("Add or replace a user in the data file, then exit."), QStringLiteral("NAME"));
    const QCommandLineOption passwordOption(QStringLiteral("password"), QStringLiteral("Password of the user added."), QStringLiteral("P"));
    const QCommandLineOption stationOption(QStringLiteral("station"), QStringLiteral("Station id of the user added."), QStringLiteral("ID"));
    const QCommandLineOption userIdOption(QStringLiteral("user-id"), QStringLiteral("User id of the user added (default: next free)."), QStringLiteral("N"), QStringLiteral("0"));
    parser.addOptions({dataOption, portOption, filesOption, addUserOption, passwordOption, stationOption, userIdOption});
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);
    if (!parser.isSet(dataOption)) {
        err << "--data FILE is required\n";
        return 2;
    }
    const QString dataFile = parser.value(dataOption);

    if (parser.isSet(addUserOption)) {
        if (!parser.isSet(passwordOption) || parser.value(passwordOption).isEmpty()
            || !parser.isSet(stationOption)) {
            err << "--add-user needs --password and --station\n";
            return 2;
        }
        QString error;
        if (!RefService::addUserToFile(dataFile, parser.value(addUserOption),
                                       parser.value(passwordOption), parser.value(stationOption),
                                       parser.value(userIdOption).toInt(), &error)) {
            err << error << '\n';
            return 1;
        }
        out << "User " << parser.value(addUserOption) << " written to " << dataFile << '\n';
        return 0;
    }

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        err << "--port must be a number from 0 to 65535\n";
        return 2;
    }

    RefService service;
    QString error;
    if (!service.loadDataFile(dataFile, &error)) {
        err << error << '\n';
        return 1;
    }
    if (parser.isSet(filesOption))
        service.setFilesDir(parser.value(filesOption));
    if (!service.start(quint16(port), &error)) {
        err << error << '\n';
        return 1;
    }
    out << "Listening on " << service.baseUrl() << Qt::endl;
    return app.exec();
}
