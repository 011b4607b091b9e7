// PLACEHOLDER: replaced by the start-up implementation.
#include <QApplication>
#include <QQmlApplicationEngine>
#include <QtQml/qqmlextensionplugin.h>
#include "logging.h"
Q_IMPORT_QML_PLUGIN(OndalinePlugin)
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QQmlApplicationEngine engine;
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Ondaline/qml/OLApplicationWindow.qml")));
    return app.exec();
}
