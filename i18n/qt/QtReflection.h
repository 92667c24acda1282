// Qt objects as the object-tree walk sees them (i18n/gnugettext_objects.h).
//
// The mapping:
//   - a QString property is a text property, a QObject * property an object property, a QStringList
//     property a string list (translated line by line and written back in one assignment);
//   - children() are the owned components in order, objectName their component name; every QObject
//     class descends from TComponentClass, and its "objectName" is kept out by a class rule on QObject,
//     so names are never translated;
//   - the entries of a QComboBox and the cells of a QListWidget, QTableWidget or QTreeWidget (top
//     level) are a collection named "items" whose items have the text properties "text" and "toolTip".
//     Entries are translated one by one in place, so the data a combo box carries with each entry stays
//     with its entry.
//
// Texts go into Qt with bare line feeds: the service hands translations back with CR LF pairs.
//
// Thread safety: main thread only, like the widgets themselves.
#pragma once

#include "i18n/gnugettext_objects.h"

#include <QObject>

// The class of a meta-object, created on first use and kept for the whole run.
const TObjectClass &QtClass(const QMetaObject &MetaObject);
// A QObject as a reflected object; follows the object's lifetime (empty once it is destroyed).
TObjectRef ReflectQObject(QObject *Object);

// Translates Root and everything it owns in Domain (empty: the current domain), keeping objectName
// out. Errors are those of the core walk (std::runtime_error).
void TranslateObjectTree(QObject *Root, const std::string &Domain = {});
