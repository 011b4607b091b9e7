// The non-template part of the object list model.
#include "qqmlobjectlistmodel.h"

QQmlObjectListModelBase::QQmlObjectListModelBase(QObject *parent)
    : QAbstractListModel(parent)
{
}

const QSet<QByteArray> &QQmlObjectListModelBase::reservedRoleNames()
{
    static const QSet<QByteArray> names{
        QByteArrayLiteral("id"),    QByteArrayLiteral("index"),     QByteArrayLiteral("class"),
        QByteArrayLiteral("model"), QByteArrayLiteral("modelData"),
    };
    return names;
}
