// Runs the tst_*.qml files. The hub that the components bind to is the
// real one, started in a private directory and pointed at a closed
// loopback port, so every request it sends fails at once.
#include <QQmlEngine>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest>
#include <memory>

#include "testsupport.h"

Q_IMPORT_QML_PLUGIN(OndalinePlugin)

class Setup : public QObject
{
    Q_OBJECT

public slots:
    void applicationAvailable() { m_dir = std::make_unique<TestSupport::WorkDir>(); }

    void qmlEngineAvailable(QQmlEngine *engine) { engine->addImportPath(QStringLiteral("qrc:/qt/qml")); }

private:
    std::unique_ptr<TestSupport::WorkDir> m_dir;
};

QUICK_TEST_MAIN_WITH_SETUP(tst_qml, Setup)

#include "tst_qml.moc"
