// Translation of whole object trees: a window and everything it owns, text property by text property.
//
// The walk is written against a small reflection interface (TReflectedObject) rather than against a
// widget toolkit, so the core stays free of Qt and can be tested on fake trees; i18n/qt/ maps Qt's
// meta-object system onto it.
//
// What the walk does, in short: a first-in, first-out queue of (queue name, object) pairs starting with
// ("", root). Each object is handled once: its text properties are replaced by their translations in
// one text domain, its string-list properties line by line, and what it refers to or owns is queued.
// Owned components are queued under the upper case of their Name; objects reached through an object
// property or as collection items under the empty name.
//
// Keeping things out:
//   - TP_Ignore(form, "Combo1") keeps an owned component of that name out of the next walk;
//     TP_Ignore(form, "COMBO1.Text") keeps one property of the object queued under that name out
//     (".Caption" addresses the root and everything queued under the empty name). The names apply to
//     one walk only: they are dropped when a walk completes, and kept when a walk ends in an error.
//   - TP_GlobalIgnoreClassProperty(class, "Hint") keeps a property out of every object of that class
//     and its descendants, for the whole run. Every new default instance of the translation service
//     starts with two such rules: TComponent "Name" and TCollection "PropName", so names are never
//     translated.
//
// Errors are std::runtime_error. Any error while one property is handled (a lookup that fails on an
// unusable catalogue, a property that vanished) is rethrown wrapped in a message that names the class
// and the property, and ends the walk at once: what came before stays translated, the rest does not.
//
// Thread safety: none. IgnoreNames and ClassRules are changed at start-up and by dialogs on the main
// thread; the walk runs on the main thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// --- Classes ---

// A class of reflected objects: its name and its parent, so that rules can apply to descendants.
// Identity is the address: one TObjectClass per class for the whole run.
struct TObjectClass {
    std::string_view ClassName;
    const TObjectClass *ClassParent = nullptr;
};

// True when Class is Ancestor or descends from it.
bool InheritsFrom(const TObjectClass &Class, const TObjectClass &Ancestor) noexcept;

// The base classes whose descendants the walk treats specially.
extern const TObjectClass TPersistentClass;
extern const TObjectClass TComponentClass;      // owns named components; its Name is never translated
extern const TObjectClass TCollectionClass;     // holds items that are queued when it is reached
extern const TObjectClass TCollectionItemClass; // the items themselves
extern const TObjectClass TStringsClass;        // a list of lines translated line by line

// --- Reflected objects ---

enum TPropertyKind : std::uint8_t { pkOther, pkText, pkObject };

struct TPropertyInfo {
    std::string Name; // as declared
    TPropertyKind Kind = pkOther;
    bool Writable = false;
};

class TReflectedObject;
using TObjectRef = std::shared_ptr<TReflectedObject>;

// One object as the walk sees it. Which of the groups below apply follows from ClassType(): the
// component group for descendants of TComponentClass, and so on; the defaults are empty.
class TReflectedObject {
public:
    virtual ~TReflectedObject() = default;

    virtual const TObjectClass &ClassType() const = 0;
    // Identity for "already done": two wrappers of one underlying object must agree.
    virtual const void *Identity() const { return this; }

    // The published properties in declaration order.
    virtual std::vector<TPropertyInfo> Properties() const = 0;
    // The value of a text property; empty text for any other name.
    virtual std::string GetTextProp(std::string_view Name) const = 0;
    // Writes a text property looked up by name; false when the object has no such text property.
    virtual bool SetTextProp(std::string_view Name, const std::string &Value) = 0;
    // The object an object property refers to, or null.
    virtual TObjectRef GetObjectProp(std::string_view Name) const = 0;

    // Components: the name and the owned components in order of ownership.
    virtual std::string Name() const { return {}; }
    virtual std::vector<TObjectRef> Components() const { return {}; }
    // Collections: the items in order.
    virtual std::vector<TObjectRef> Items() const { return {}; }
    // String lists: the lines, and replacing all of them at once.
    virtual std::vector<std::string> Lines() const { return {}; }
    virtual void SetLines(const std::vector<std::string> &Lines) { (void)Lines; }
};

// --- Rules ---

// Takes a whole object of a class over in place of the walk.
using TTranslatorHandler = std::function<void(TReflectedObject &Object)>;

// A class rule: applies to RuleClass and its descendants. With IgnoredProperties empty the rule takes
// whole objects over (through Handler, when set); otherwise it only hides those properties.
struct TClassMode {
    const TObjectClass *RuleClass = nullptr;
    TTranslatorHandler Handler;
    std::set<std::string> IgnoredProperties; // upper case
};

// Upper-case names from TP_Ignore, waiting for the next walk.
std::set<std::string> &IgnoreNames();
// The class rules; a rule for a class always stands before the rules of its ancestors.
std::vector<std::unique_ptr<TClassMode>> &ClassRules();

// Keeps a component, or a "QUEUENAME.Property", out of the next TranslateObjectTree. Form is unused.
void TP_Ignore(const void *Form, std::string_view Name);
// Never translate Property in objects of Class or its descendants. Throws when Class already has a
// rule with a handler.
void TP_GlobalIgnoreClassProperty(const TObjectClass &Class, std::string_view Property);

// Translates the text properties of Root and of everything it owns in Domain (empty: the current
// domain of the translation service).
void TranslateObjectTree(TReflectedObject &Root, const std::string &Domain = {});
// The walk's queue: (queue name, object); the name is the upper-case component name or empty.
using TObjectQueue = std::deque<std::pair<std::string, TObjectRef>>;
// One property of Object: a text property is translated and written back when the translation differs;
// an object property's string list is translated, its collection's items and the component it refers
// to are queued under the empty name. Any error comes out wrapped with the class and property names.
void TranslateProperty(TReflectedObject &Object, const TPropertyInfo &Property, const std::string &Domain,
                       TObjectQueue &Queue);
// Replaces every non-empty line by its translation, in one assignment; a translation with line
// breaks becomes several lines.
void TranslateStringList(TReflectedObject &List, const std::string &Domain);

// The lines of a text, split at CR LF, LF or CR; a final line break adds no empty line.
std::vector<std::string> SplitLines(std::string_view Text);
// ASCII upper case: the form names and property names are compared in.
std::string UpperCase(std::string_view Text);
