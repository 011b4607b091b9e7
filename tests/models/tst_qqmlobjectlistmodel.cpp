// The object list model that holds the sources for the views.
#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

#include "qqmlobjectlistmodel.h"

class Item : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString name MEMBER m_name NOTIFY nameChanged)
    Q_PROPERTY(double value MEMBER m_value NOTIFY valueChanged)
    Q_PROPERTY(int fixed READ fixed CONSTANT)

public:
    explicit Item(const QString &name, QObject *parent = nullptr) : QObject(parent), m_name(name) {}
    int fixed() const { return 7; }
    QString m_name;
    double m_value = 0.0;

signals:
    void nameChanged();
    void valueChanged();
};

// Two property names that QML delegates reserve for themselves.
class ReservedItem : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int id MEMBER m_one CONSTANT)
    Q_PROPERTY(int model MEMBER m_one CONSTANT)
    Q_PROPERTY(int weight MEMBER m_one CONSTANT)
    int m_one = 1;
};

using ItemModel = QQmlObjectListModel<Item>;
using Tester = QAbstractItemModelTester;

// One letter a row, by the items' names; `fill` appends one item a letter.
static QString names(const ItemModel &model)
{
    QString list;
    for (const Item *item : model.items())
        list += item->m_name;
    return list;
}

static void fill(ItemModel &model, QObject *owner, const QString &letters)
{
    for (const QChar letter : letters)
        model.append(new Item(letter, owner));
}

class TestObjectListModel : public QObject
{
    Q_OBJECT

private slots:
    // Roles by property name, reserved names left out; a notification
    // names its row and role only, the display role with its property.
    void rolesDataAndNotifications()
    {
        QTest::ignoreMessage(QtWarningMsg, "Can't have \"id\" as a role name in QQmlObjectListModel<ReservedItem>");
        QTest::ignoreMessage(QtWarningMsg, "Can't have \"model\" as a role name in QQmlObjectListModel<ReservedItem>");
        const QList<QByteArray> reserved = QQmlObjectListModel<ReservedItem>().roleNames().values();
        QVERIFY(!reserved.contains("id") && !reserved.contains("model") && reserved.contains("weight"));
        ItemModel model(nullptr, "name");
        QList<QByteArray> roles = model.roleNames().values();
        std::sort(roles.begin(), roles.end());
        QCOMPARE(roles, (QList<QByteArray>{"display", "fixed", "name", "objectName", "qtObject", "value"}));
        const int nameRole = model.roleForName("name");
        const int valueRole = model.roleForName("value");
        fill(model, &model, "abc");
        const QModelIndex b = model.index(1);
        QCOMPARE(model.data(b, nameRole).toString(), "b");
        QCOMPARE(model.data(b, Qt::DisplayRole).toString(), "b");
        QCOMPARE(model.data(b, model.roleForName("qtObject")).value<QObject *>(), model.get(1));
        QVERIFY(!model.data(b, 999).isValid());
        QVERIFY(!model.data(model.index(5, 0), nameRole).isValid());
        QVERIFY(!model.setData(b, 3, model.roleForName("fixed"))); // read-only
        QVERIFY(!model.setData(b, QVariant(), Qt::UserRole));
        QVERIFY(!model.setData(model.index(3, 0), 0.5, valueRole));

        QSignalSpy spy(&model, &QAbstractItemModel::dataChanged);
        QVERIFY(model.setData(b, 0.25, valueRole));
        QCOMPARE(model.get(1)->m_value, 0.25);
        model.get(2)->setProperty("name", "z");
        model.insert(0, model.get(2)); // listed twice, still connected once
        model.get(0)->setObjectName("x");
        QCOMPARE(spy.size(), 3);
        QCOMPARE(spy.at(0).at(0).toModelIndex(), b);
        QCOMPARE(spy.at(0).at(2).value<QList<int>>(), QList<int>{valueRole});
        QCOMPARE(spy.at(1).at(0).toModelIndex(), model.index(2));
        QCOMPARE(spy.at(1).at(2).value<QList<int>>(), (QList<int>{nameRole, Qt::DisplayRole}));
        QCOMPARE(spy.at(2).at(2).value<QList<int>>(), QList<int>{model.roleForName("objectName")});
    }

    void move_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("destination"); // as the view sees it, -1 for no move
        QTest::newRow("down over two") << 0 << 2 << "BCAD" << 3;
        QTest::newRow("up over two") << 2 << 0 << "CABD" << 0;
        QTest::newRow("last row up") << 3 << 2 << "ABDC" << 2;
        QTest::newRow("in place") << 1 << 1 << "ABCD" << -1;
        QTest::newRow("from outside") << 5 << 0 << "ABCD" << -1;
        QTest::newRow("to outside") << 0 << 4 << "ABCD" << -1;
    }
    void move()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        ItemModel model;
        Tester tester(&model, Tester::FailureReportingMode::QtTest);
        fill(model, &model, "ABCD");
        QSignalSpy moved(&model, &QAbstractItemModel::rowsMoved);
        model.move(from, to);
        QTEST(names(model), "expected");
        QTEST(moved.isEmpty() ? -1 : moved.at(0).at(4).toInt(), "destination");
        // Later notifications name the item's new row.
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        model.get(2)->setProperty("value", 1.0);
        QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 2);
    }

    void countFollowsRowChanges()
    {
        ItemModel model(nullptr, QByteArray(), "name");
        Tester tester(&model, Tester::FailureReportingMode::QtTest);
        QStringList events;
        connect(&model, &QAbstractItemModel::rowsInserted, this, [&] { events << "inserted"; });
        connect(&model, &QAbstractItemModel::rowsRemoved, this, [&] { events << "removed"; });
        connect(&model, &QQmlObjectListModelBase::countChanged, this, [&] { events << QString::number(model.property("count").toInt()); });
        QObject stranger;
        model.clear();
        model.remove(0);
        model.append(&stranger);
        model.append(static_cast<Item *>(nullptr));
        QCOMPARE(events, QStringList());
        fill(model, &model, "A");
        model.prepend(new Item("P", &model));
        model.insert(1, new Item("I", &model));
        QCOMPARE(names(model), "PIA");
        QCOMPARE(model.toVariantList().at(1).value<Item *>(), model.get(1));
        // Found by its name, under the new name once it changes.
        QCOMPARE(model.get(QStringLiteral("I")), model.get(1));
        model.get(1)->setProperty("name", "J");
        QCOMPARE(model.get(QStringLiteral("I")), nullptr);
        QCOMPARE(model.get(QStringLiteral("J")), model.get(1));
        model.remove(&stranger);
        model.remove(1);
        QCOMPARE(model.get(QStringLiteral("J")), nullptr);
        model.clear();
        QCOMPARE(events, (QStringList{"inserted", "1", "inserted", "2", "inserted", "3", "removed", "2", "removed", "0"}));
        QCOMPARE(model.first(), nullptr);
    }

    // Adopted items go with their row; others stay, with nothing of the
    // model left on them; an item destroyed elsewhere leaves the list.
    void ownership()
    {
        QObject owner;
        ItemModel model;
        Tester tester(&model, Tester::FailureReportingMode::QtTest);
        QPointer<Item> foreign = new Item("f", &owner);
        QPointer<Item> adopted = new Item("a");
        model.append(foreign.data());
        model.append(adopted.data());
        fill(model, &owner, "AB");
        QCOMPARE(adopted->parent(), &model);
        delete model.get(2);
        QCOMPARE(names(model), "faB");
        model.remove(foreign.data());
        model.remove(0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(adopted.isNull());
        QCOMPARE(foreign->parent(), &owner);
        QVERIFY(!QObject::disconnect(foreign.data(), nullptr, &model, nullptr));
        QCOMPARE(model.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestObjectListModel)
#include "tst_qqmlobjectlistmodel.moc"
