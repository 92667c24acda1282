// Maps the reflection interface of the object-tree walk onto Qt's meta-object system.
#include "i18n/qt/QtReflection.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QListWidget>
#include <QMetaProperty>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QStringList>
#include <QTableWidget>
#include <QTreeWidget>

#include <map>
#include <mutex>

namespace {

const TObjectClass ItemCollectionClass{"TQtItems", &TCollectionClass};
const TObjectClass ItemClass{"TQtItem", &TCollectionItemClass};
const TObjectClass StringListPropertyClass{"TQtStringListProperty", &TStringsClass};

const char ItemsProperty[] = "items";

QString ToQt(const std::string &Text) {
    QString Result = QString::fromStdString(Text);
    Result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return Result;
}

// The model whose top-level cells are the widget's entries, or null for widgets without entries.
// Only widgets that own their entries qualify: a view of someone else's model is not ours to rewrite.
QAbstractItemModel *EntryModel(QObject *Object) {
    if (auto *Combo = qobject_cast<QComboBox *>(Object))
        return Combo->model();
    if (auto *List = qobject_cast<QListWidget *>(Object))
        return List->model();
    if (auto *Table = qobject_cast<QTableWidget *>(Object))
        return Table->model();
    if (auto *Tree = qobject_cast<QTreeWidget *>(Object))
        return Tree->model();
    return nullptr;
}

// One cell of an entry model; "text" is the display role, "toolTip" the tool-tip role.
class TQtItem : public TReflectedObject {
public:
    TQtItem(QAbstractItemModel *Model, const QModelIndex &Index) : FModel(Model), FIndex(Index) {}

    const TObjectClass &ClassType() const override { return ItemClass; }
    std::vector<TPropertyInfo> Properties() const override {
        return {{"text", pkText, true}, {"toolTip", pkText, true}};
    }
    std::string GetTextProp(std::string_view Name) const override {
        const int Role = RoleOf(Name);
        if (Role < 0 || !FModel || !FIndex.isValid())
            return {};
        const QVariant Value = FModel->data(FIndex, Role);
        return Value.typeId() == QMetaType::QString ? Value.toString().toStdString() : std::string();
    }
    bool SetTextProp(std::string_view Name, const std::string &Value) override {
        const int Role = RoleOf(Name);
        if (Role < 0 || !FModel || !FIndex.isValid())
            return false;
        FModel->setData(FIndex, ToQt(Value), Role);
        return true;
    }
    TObjectRef GetObjectProp(std::string_view) const override { return nullptr; }

private:
    static int RoleOf(std::string_view Name) {
        if (Name == "text")
            return Qt::DisplayRole;
        return Name == "toolTip" ? Qt::ToolTipRole : -1;
    }
    QPointer<QAbstractItemModel> FModel;
    QPersistentModelIndex FIndex;
};

class TQtItemCollection : public TReflectedObject {
public:
    explicit TQtItemCollection(QAbstractItemModel *Model) : FModel(Model) {}

    const TObjectClass &ClassType() const override { return ItemCollectionClass; }
    std::vector<TPropertyInfo> Properties() const override { return {}; }
    std::string GetTextProp(std::string_view) const override { return {}; }
    bool SetTextProp(std::string_view, const std::string &) override { return false; }
    TObjectRef GetObjectProp(std::string_view) const override { return nullptr; }
    std::vector<TObjectRef> Items() const override {
        std::vector<TObjectRef> Result;
        if (!FModel)
            return Result;
        for (int Row = 0; Row < FModel->rowCount(); ++Row)
            for (int Column = 0; Column < FModel->columnCount(); ++Column)
                Result.push_back(std::make_shared<TQtItem>(FModel, FModel->index(Row, Column)));
        return Result;
    }

private:
    QPointer<QAbstractItemModel> FModel;
};

// A QStringList property seen as a list of lines.
class TQtStringListProperty : public TReflectedObject {
public:
    TQtStringListProperty(QObject *Object, QMetaProperty Property) : FObject(Object), FProperty(Property) {}

    const TObjectClass &ClassType() const override { return StringListPropertyClass; }
    std::vector<TPropertyInfo> Properties() const override { return {}; }
    std::string GetTextProp(std::string_view) const override { return {}; }
    bool SetTextProp(std::string_view, const std::string &) override { return false; }
    TObjectRef GetObjectProp(std::string_view) const override { return nullptr; }
    std::vector<std::string> Lines() const override {
        std::vector<std::string> Result;
        if (FObject)
            for (const QString &Line : FProperty.read(FObject).toStringList())
                Result.push_back(Line.toStdString());
        return Result;
    }
    void SetLines(const std::vector<std::string> &Lines) override {
        QStringList List;
        for (const std::string &Line : Lines)
            List.push_back(QString::fromStdString(Line));
        // A read-only list stays as it is, like a read-only text property.
        if (FObject && FProperty.isWritable() && FProperty.read(FObject).toStringList() != List)
            FProperty.write(FObject, List);
    }

private:
    QPointer<QObject> FObject;
    QMetaProperty FProperty;
};

TPropertyKind KindOf(const QMetaProperty &Property) {
    const QMetaType Type = Property.metaType();
    if (Type.id() == QMetaType::QString)
        return pkText;
    if (Type.id() == QMetaType::QStringList || (Type.flags() & QMetaType::PointerToQObject))
        return pkObject;
    return pkOther;
}

class TQtObject : public TReflectedObject {
public:
    explicit TQtObject(QObject *Object) : FObject(Object) {}

    const TObjectClass &ClassType() const override {
        return QtClass(FObject ? *FObject->metaObject() : QObject::staticMetaObject);
    }
    const void *Identity() const override {
        return FObject ? static_cast<const void *>(FObject.data()) : this;
    }

    std::vector<TPropertyInfo> Properties() const override {
        std::vector<TPropertyInfo> Result;
        if (!FObject)
            return Result;
        const QMetaObject *Meta = FObject->metaObject();
        for (int I = 0; I < Meta->propertyCount(); ++I) {
            const QMetaProperty Property = Meta->property(I);
            Result.push_back({Property.name(), KindOf(Property), Property.isWritable()});
        }
        if (EntryModel(FObject) && Meta->indexOfProperty(ItemsProperty) < 0)
            Result.push_back({ItemsProperty, pkObject, false});
        return Result;
    }
    std::string GetTextProp(std::string_view Name) const override {
        const QMetaProperty Property = Find(Name);
        if (!Property.isValid() || KindOf(Property) != pkText)
            return {};
        return Property.read(FObject).toString().toStdString();
    }
    bool SetTextProp(std::string_view Name, const std::string &Value) override {
        const QMetaProperty Property = Find(Name);
        if (!Property.isValid() || KindOf(Property) != pkText)
            return false;
        Property.write(FObject, ToQt(Value));
        return true;
    }
    TObjectRef GetObjectProp(std::string_view Name) const override {
        const QMetaProperty Property = Find(Name);
        if (!Property.isValid()) {
            QAbstractItemModel *Model = Name == ItemsProperty ? EntryModel(FObject) : nullptr;
            return Model ? std::make_shared<TQtItemCollection>(Model) : nullptr;
        }
        if (Property.metaType().id() == QMetaType::QStringList)
            return std::make_shared<TQtStringListProperty>(FObject, Property);
        if (KindOf(Property) == pkObject)
            return ReflectQObject(Property.read(FObject).value<QObject *>());
        return nullptr;
    }

    std::string Name() const override {
        return FObject ? FObject->objectName().toStdString() : std::string();
    }
    std::vector<TObjectRef> Components() const override {
        std::vector<TObjectRef> Result;
        if (FObject)
            for (QObject *Child : FObject->children())
                Result.push_back(ReflectQObject(Child));
        return Result;
    }

private:
    // An invalid property for a destroyed object or an unknown name.
    QMetaProperty Find(std::string_view Name) const {
        if (!FObject)
            return {};
        const QMetaObject *Meta = FObject->metaObject();
        return Meta->property(Meta->indexOfProperty(std::string(Name).c_str()));
    }
    QPointer<QObject> FObject;
};

} // namespace

const TObjectClass &QtClass(const QMetaObject &MetaObject) {
    static std::mutex Lock;
    static std::map<const QMetaObject *, TObjectClass> Classes; // nodes never move: addresses are identities
    std::lock_guard Guard(Lock);
    auto Found = Classes.find(&MetaObject);
    if (Found != Classes.end())
        return Found->second;
    // The parent first: recursion under the same lock would deadlock, so walk the chain here.
    std::vector<const QMetaObject *> Chain;
    for (const QMetaObject *M = &MetaObject; M && !Classes.count(M); M = M->superClass())
        Chain.push_back(M);
    for (auto It = Chain.rbegin(); It != Chain.rend(); ++It) {
        const QMetaObject *Super = (*It)->superClass();
        const TObjectClass *Parent = Super ? &Classes.at(Super) : &TComponentClass;
        Classes.emplace(*It, TObjectClass{(*It)->className(), Parent});
    }
    return Classes.at(&MetaObject);
}

TObjectRef ReflectQObject(QObject *Object) {
    return Object ? std::make_shared<TQtObject>(Object) : nullptr;
}

void TranslateObjectTree(QObject *Root, const std::string &Domain) {
    if (!Root) { // nothing to walk, but the walk still completes
        IgnoreNames().clear();
        return;
    }
    // The rules start afresh with every instance of the service; adding the name again is harmless.
    TP_GlobalIgnoreClassProperty(QtClass(QObject::staticMetaObject), "objectName");
    TQtObject Object(Root);
    TranslateObjectTree(static_cast<TReflectedObject &>(Object), Domain);
}
