// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef OBJECTTREE_H
#define OBJECTTREE_H

#include <QObject>
#include <QStringList>

// "objectName:ClassName" of each object, in order: for a parent's children
// this is the order in which the form created them.
inline QStringList namesAndClasses(const QObjectList &objects)
{
    QStringList list;
    for (const QObject *object : objects)
        list << object->objectName() + QLatin1Char(':')
                + QLatin1String(object->metaObject()->className());
    return list;
}

#endif // OBJECTTREE_H
