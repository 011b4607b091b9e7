// Runs the tst_*.qml files against the real hub, in a private directory
// whose service is a closed local port: every request fails at once.
#include <QQmlEngine>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest>

#include "testsupport.h"

Q_IMPORT_QML_PLUGIN(OndalinePlugin)

class Setup : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestSupport::WorkDir> m_dir;

public slots:
    void applicationAvailable() { m_dir = std::make_unique<TestSupport::WorkDir>(); }
    void qmlEngineAvailable(QQmlEngine *engine) { engine->addImportPath(QStringLiteral("qrc:/qt/qml")); }
};

QUICK_TEST_MAIN_WITH_SETUP(tst_qml, Setup)
#include "tst_qml.moc"
