// Runs the tst_*.qml files. The hub that the components bind to is the
// real one, started in a private directory and pointed at a closed
// loopback port, so every request it sends fails at once.
#include <QDir>
#include <QQmlEngine>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest>

#include "olclientuser.h"

Q_IMPORT_QML_PLUGIN(OndalinePlugin)

class Setup : public QObject
{
    Q_OBJECT

public slots:
    void applicationAvailable()
    {
        QDir::setCurrent(m_dir.path());
        QTcpServer server;
        if (server.listen(QHostAddress::LocalHost, 0))
            OLClientUser::setServiceBaseUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()));
        else
            qFatal("no loopback port for the closed service");
    }

    void qmlEngineAvailable(QQmlEngine *engine) { engine->addImportPath(QStringLiteral("qrc:/qt/qml")); }

private:
    QTemporaryDir m_dir;
};

QUICK_TEST_MAIN_WITH_SETUP(tst_qml, Setup)

#include "tst_qml.moc"
