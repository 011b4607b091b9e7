// PLACEHOLDER until the object list model lands: just enough API for the
// other classes to compile against.
#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QVariant>

class QQmlObjectListModelBase : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
public:
    explicit QQmlObjectListModelBase(QObject *parent = nullptr) : QAbstractListModel(parent) {}
    virtual int count() const = 0;
signals:
    void countChanged();
};

template <class T>
class QQmlObjectListModel : public QQmlObjectListModelBase
{
public:
    explicit QQmlObjectListModel(QObject *parent = nullptr, const QByteArray & = {}, const QByteArray & = {})
        : QQmlObjectListModelBase(parent) {}
    int rowCount(const QModelIndex & = QModelIndex()) const override { return int(m_items.size()); }
    QVariant data(const QModelIndex &, int) const override { return {}; }
    int count() const override { return int(m_items.size()); }
    int size() const { return count(); }
    bool isEmpty() const { return m_items.isEmpty(); }
    T *get(int i) const { return (i >= 0 && i < m_items.size()) ? m_items.at(i) : nullptr; }
    void append(T *item) { if (item) { beginInsertRows({}, count(), count()); m_items.append(item); endInsertRows(); emit countChanged(); } }
    void remove(int i) { if (i >= 0 && i < count()) { beginRemoveRows({}, i, i); m_items.removeAt(i); endRemoveRows(); emit countChanged(); } }
    void move(int from, int to) { if (from != to) { beginResetModel(); m_items.move(from, to); endResetModel(); } }
    void clear() { if (!m_items.isEmpty()) { beginResetModel(); m_items.clear(); endResetModel(); emit countChanged(); } }
    const QList<T *> &items() const { return m_items; }
private:
    QList<T *> m_items;
};
