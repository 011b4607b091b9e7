// A list model over QObject items of one class: every property of the item
// class is a role, and every notify signal becomes a dataChanged for that
// item's row and role.
#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QDebug>
#include <QHash>
#include <QList>
#include <QMetaMethod>
#include <QMetaObject>
#include <QMetaProperty>
#include <QSet>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

#include <utility>

// The non-template part: what QML and moc need (the meta-object, `count`,
// the change slot) and the list operations as virtuals.
class QQmlObjectListModelBase : public QAbstractListModel
{
    Q_OBJECT
    // Known to QML as a type of its own, so `sources.count` is typed.
    QML_ANONYMOUS
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    explicit QQmlObjectListModelBase(QObject *parent = nullptr);

public slots:
    virtual int size() const = 0;
    virtual int count() const = 0;
    virtual bool isEmpty() const = 0;
    virtual bool contains(QObject *item) const = 0;
    virtual int indexOf(QObject *item) const = 0;
    virtual int roleForName(const QByteArray &name) const = 0;
    virtual void clear() = 0;
    virtual void append(QObject *item) = 0;
    virtual void prepend(QObject *item) = 0;
    virtual void insert(int idx, QObject *item) = 0;
    virtual void move(int idxFrom, int idxTo) = 0;
    virtual void remove(int idx) = 0;
    virtual void remove(QObject *item) = 0;
    virtual QObject *get(const QString &uid) const = 0;
    virtual QObject *get(int idx) const = 0;
    virtual QObject *first() const = 0;
    virtual QObject *last() const = 0;
    virtual QVariantList toVariantList() const = 0;

protected slots:
    virtual void onItemPropertyChanged() = 0;
    // Drops an item that is destroyed while still listed, so the list never
    // holds a dangling pointer.
    virtual void onItemDestroyed(QObject *item) = 0;

signals:
    void countChanged();

protected:
    // "id", "index", "class", "model", "modelData": names QML delegates
    // already use for themselves. Shared by every model.
    [[nodiscard]] static const QSet<QByteArray> &reservedRoleNames();
};

template <class T>
class QQmlObjectListModel : public QQmlObjectListModelBase
{
public:
    explicit QQmlObjectListModel(QObject *parent = nullptr,
                                 const QByteArray &displayRole = QByteArray(),
                                 const QByteArray &uidRole = QByteArray())
        : QQmlObjectListModelBase(parent)
        , m_uidRoleName(uidRole)
        , m_displayRoleName(displayRole)
            {
        qRegisterMetaType<T *>();
        const QMetaObject *self = metaObject();
        m_changeHandler = self->method(self->indexOfMethod("onItemPropertyChanged()"));
        if (!m_displayRoleName.isEmpty())
            m_roles.insert(Qt::DisplayRole, QByteArrayLiteral("display"));
        m_roles.insert(QtObjectRole, QByteArrayLiteral("qtObject"));
        const int propertyCount = m_itemMetaObject->propertyCount();
        for (int i = 0; i < propertyCount; ++i) {
            const int role = Qt::UserRole + 1 + i;
            const QMetaProperty property = m_itemMetaObject->property(i);
            const QByteArray name(property.name());
            if (reservedRoleNames().contains(name)) {
                qWarning() << "Can't have" << name << "as a role name in" << qPrintable(classLabel());
                continue;
            }
            m_roles.insert(role, name);
            if (property.hasNotifySignal())
                m_signalIndexToRole.insert(property.notifySignalIndex(), role);
        }
    }

    ~QQmlObjectListModel() override = default;

    // Qt model interface

    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        // A flat list: rows have no children.
        return parent.isValid() ? 0 : int(m_items.size());
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        T *item = itemAt(index);
        const QByteArray name = roleName(role);
        if (!item || name.isEmpty())
            return QVariant();
        if (role == QtObjectRole)
            return QVariant::fromValue(static_cast<QObject *>(item));
        return item->property(name.constData());
    }

    bool setData(const QModelIndex &index, const QVariant &value, int role) override
    {
        T *item = itemAt(index);
        const QByteArray name = roleName(role);
        if (!item || role == QtObjectRole || name.isEmpty())
            return false;
        return item->setProperty(name.constData(), value);
    }

    QHash<int, QByteArray> roleNames() const override { return m_roles; }

    // List operations

    int size() const override { return m_count; }
    int count() const override { return m_count; }
    bool isEmpty() const override { return m_items.isEmpty(); }

    bool contains(QObject *item) const override
    {
        T *typed = qobject_cast<T *>(item);
        return typed && m_items.contains(typed);
    }

    int indexOf(QObject *item) const override
    {
        T *typed = qobject_cast<T *>(item);
        return typed ? int(m_items.indexOf(typed)) : -1;
    }

    int roleForName(const QByteArray &name) const override
    {
        for (auto it = m_roles.cbegin(); it != m_roles.cend(); ++it) {
            if (it.value() == name)
                return it.key();
        }
        return -1;
    }

    void clear() override
    {
        if (m_items.isEmpty())
            return;
        beginRemoveRows(QModelIndex(), 0, int(m_items.size()) - 1);
        for (T *item : std::as_const(m_items))
            dereferenceItem(item);
        m_items.clear();
        endRemoveRows();
        updateCounter();
    }

    void append(T *item)
    {
        if (!item)
            return;
        const int row = int(m_items.size());
        beginInsertRows(QModelIndex(), row, row);
        m_items.append(item);
        referenceItem(item);
        endInsertRows();
        updateCounter();
    }

    void append(QObject *item) override { append(qobject_cast<T *>(item)); }

    void prepend(QObject *item) override { insert(0, item); }

    // Positions outside 0..count are ignored: the list would assert on them.
    void insert(int idx, QObject *item) override
    {
        T *typed = qobject_cast<T *>(item);
        if (!typed || idx < 0 || idx > m_items.size())
            return;
        beginInsertRows(QModelIndex(), idx, idx);
        m_items.insert(idx, typed);
        referenceItem(typed);
        endInsertRows();
        updateCounter();
    }

    // The item at idxFrom ends at idxTo, the others keep their order.
    // Positions outside the list are ignored.
    void move(int idxFrom, int idxTo) override
    {
        const int n = int(m_items.size());
        if (idxFrom == idxTo || idxFrom < 0 || idxFrom >= n || idxTo < 0 || idxTo >= n)
            return;
        // beginMoveRows counts the destination before the move takes place.
        const int destination = idxTo > idxFrom ? idxTo + 1 : idxTo;
        beginMoveRows(QModelIndex(), idxFrom, idxFrom, QModelIndex(), destination);
        m_items.move(idxFrom, idxTo);
        endMoveRows();
    }

    void remove(int idx) override
    {
        if (idx < 0 || idx >= m_items.size())
            return;
        beginRemoveRows(QModelIndex(), idx, idx);
        T *item = m_items.takeAt(idx);
        dereferenceItem(item);
        endRemoveRows();
        updateCounter();
    }

    void remove(QObject *item) override
    {
        T *typed = qobject_cast<T *>(item);
        if (typed)
            remove(int(m_items.indexOf(typed)));
    }

    T *get(const QString &uid) const override { return m_itemsByUid.value(uid, nullptr); }

    T *get(int idx) const override
    {
        return (idx >= 0 && idx < m_items.size()) ? m_items.at(idx) : nullptr;
    }

    // Null on an empty list.
    T *first() const override { return m_items.isEmpty() ? nullptr : m_items.first(); }
    T *last() const override { return m_items.isEmpty() ? nullptr : m_items.last(); }

    QVariantList toVariantList() const override
    {
        QVariantList list;
        list.reserve(m_items.size());
        for (T *item : m_items)
            list.append(QVariant::fromValue(item));
        return list;
    }

    [[nodiscard]] const QList<T *> &items() const { return m_items; }

protected:
    void onItemPropertyChanged() override
    {
        T *item = qobject_cast<T *>(sender());
        const int row = item ? int(m_items.indexOf(item)) : -1;
        const int role = m_signalIndexToRole.value(senderSignalIndex(), -1);
        if (row < 0 || role < 0)
            return;
        const QByteArray name = m_roles.value(role);
        QList<int> changedRoles{role};
        if (!m_displayRoleName.isEmpty() && name == m_displayRoleName)
            changedRoles.append(Qt::DisplayRole);
        const QModelIndex modelIndex = index(row);
        emit dataChanged(modelIndex, modelIndex, changedRoles);
        if (!m_uidRoleName.isEmpty() && name == m_uidRoleName)
            indexUid(item);
    }

    void onItemDestroyed(QObject *object) override
    {
        // The object is already past its T part: find it by address only.
        for (int row = 0; row < m_items.size(); ++row) {
            if (static_cast<QObject *>(m_items.at(row)) != object)
                continue;
            beginRemoveRows(QModelIndex(), row, row);
            m_items.removeAt(row);
            unindexUid(object);
            endRemoveRows();
            updateCounter();
            return;
        }
    }

private:
    static constexpr int QtObjectRole = Qt::UserRole;

    static const QString &classLabel()
    {
        static const QString label = QStringLiteral("QQmlObjectListModel<")
                                     + QString::fromLatin1(T::staticMetaObject.className())
                                     + QLatin1Char('>');
        return label;
    }

    T *itemAt(const QModelIndex &index) const
    {
        const int row = index.row();
        return (index.isValid() && row >= 0 && row < m_items.size()) ? m_items.at(row) : nullptr;
    }

    QByteArray roleName(int role) const
    {
        return role == Qt::DisplayRole ? m_displayRoleName : m_roles.value(role);
    }

    void updateCounter()
    {
        const int n = int(m_items.size());
        if (m_count == n)
            return;
        m_count = n;
        emit countChanged();
    }

    void referenceItem(T *item)
    {
        if (!item->parent())
            item->setParent(this);
        for (auto it = m_signalIndexToRole.cbegin(); it != m_signalIndexToRole.cend(); ++it) {
            connect(item, m_itemMetaObject->method(it.key()), this, m_changeHandler,
                    Qt::UniqueConnection);
        }
        connect(item, &QObject::destroyed, this, &QQmlObjectListModel::onItemDestroyed,
                Qt::UniqueConnection);
        if (!m_uidRoleName.isEmpty())
            indexUid(item);
    }

    void dereferenceItem(T *item)
    {
        disconnect(this, nullptr, item, nullptr);
        disconnect(item, nullptr, this, nullptr);
        if (!m_uidRoleName.isEmpty())
            unindexUid(item);
        if (item->parent() == this)
            item->deleteLater();
    }

    void indexUid(T *item)
    {
        unindexUid(item);
        const QString uid = item->property(m_uidRoleName.constData()).toString();
        if (!uid.isEmpty())
            m_itemsByUid.insert(uid, item);
    }

    void unindexUid(const QObject *item)
    {
        for (auto it = m_itemsByUid.begin(); it != m_itemsByUid.end();) {
            if (static_cast<const QObject *>(it.value()) == item)
                it = m_itemsByUid.erase(it);
            else
                ++it;
        }
    }

    int m_count = 0;
    QByteArray m_uidRoleName;
    QByteArray m_displayRoleName;
    // The static meta-object itself: connections by QMetaMethod must name
    // the sender class's own meta-object, never a copy of it.
    const QMetaObject *m_itemMetaObject = &T::staticMetaObject;
    QMetaMethod m_changeHandler;
    QHash<int, QByteArray> m_roles;
    QHash<int, int> m_signalIndexToRole;
    QList<T *> m_items;
    QHash<QString, T *> m_itemsByUid;
};
