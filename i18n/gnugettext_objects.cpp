// The object-tree walk of the translation service. Kept apart from gnugettext.cpp because it needs
// nothing of the catalogues but TranslateTextInDomain and the current domain.
#include "i18n/gnugettext_objects.h"

#include "i18n/gnugettext.h"

#include <stdexcept>
#include <unordered_set>
#include <utility>

const TObjectClass TPersistentClass{"TPersistent", nullptr};
const TObjectClass TComponentClass{"TComponent", &TPersistentClass};
const TObjectClass TCollectionClass{"TCollection", &TPersistentClass};
const TObjectClass TCollectionItemClass{"TCollectionItem", &TPersistentClass};
const TObjectClass TStringsClass{"TStrings", &TPersistentClass};

bool InheritsFrom(const TObjectClass &Class, const TObjectClass &Ancestor) noexcept {
    for (const TObjectClass *C = &Class; C; C = C->ClassParent)
        if (C == &Ancestor)
            return true;
    return false;
}

std::string UpperCase(std::string_view Text) {
    std::string Result(Text);
    for (char &C : Result)
        if (C >= 'a' && C <= 'z')
            C = static_cast<char>(C - 'a' + 'A');
    return Result;
}

std::vector<std::string> SplitLines(std::string_view Text) {
    std::vector<std::string> Lines;
    std::size_t Start = 0;
    for (std::size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] != '\r' && Text[I] != '\n')
            continue;
        Lines.emplace_back(Text.substr(Start, I - Start));
        if (Text[I] == '\r' && I + 1 < Text.size() && Text[I + 1] == '\n')
            ++I;
        Start = I + 1;
    }
    if (Start < Text.size())
        Lines.emplace_back(Text.substr(Start));
    return Lines;
}

std::set<std::string> &IgnoreNames() {
    static std::set<std::string> Names;
    return Names;
}

std::vector<std::unique_ptr<TClassMode>> &ClassRules() {
    static std::vector<std::unique_ptr<TClassMode>> Rules;
    return Rules;
}

namespace {

// Every new default instance starts with empty ignore lists and the two rules that keep names out.
// Registered while the program's statics are set up, which is before any start-up can run.
[[maybe_unused]] const bool RulesHookAdded = [] {
    AddInstanceCreatedHook([](TGnuGettextInstance &) {
        IgnoreNames().clear();
        ClassRules().clear();
        TP_GlobalIgnoreClassProperty(TComponentClass, "Name");
        TP_GlobalIgnoreClassProperty(TCollectionClass, "PropName");
    });
    return true;
}();

std::string CurrentDomainName() {
    const TGnuGettextInstance *Instance = DefaultInstance();
    return Instance ? Instance->CurrentDomain() : std::string("default");
}

// A non-owning reference for the root, which the caller owns.
TObjectRef Borrow(TReflectedObject &Object) {
    return TObjectRef(TObjectRef(), &Object);
}

[[noreturn]] void RethrowWrapped(const TReflectedObject &Object, const TPropertyInfo &Property,
                                 const std::exception &Cause) {
    throw std::runtime_error("Property cannot be translated.\r\nUse TP_GlobalIgnoreClassProperty(" +
                             std::string(Object.ClassType().ClassName) + "," + Property.Name + ") or" +
                             "\r\n" + "TP_Ignore (self,'." + Property.Name + "') to prevent this message." +
                             "\r\n" + "Reason: " + Cause.what());
}

void TranslateTextProperty(TReflectedObject &Object, const TPropertyInfo &Property,
                           const std::string &Domain) {
    const std::string Value = Object.GetTextProp(Property.Name);
    if (Value.empty() || !Property.Writable)
        return;
    const std::string Translated = TranslateTextInDomain(Value, Domain);
    if (Translated == Value)
        return;
    if (!Object.SetTextProp(Property.Name, Translated))
        throw std::runtime_error("Property disappeared...");
}

void TranslateObjectProperty(TReflectedObject &Object, const TPropertyInfo &Property,
                             const std::string &Domain, TObjectQueue &Queue) {
    const TObjectRef Target = Object.GetObjectProp(Property.Name);
    if (!Target)
        return;
    const TObjectClass &Class = Target->ClassType();
    if (InheritsFrom(Class, TStringsClass))
        TranslateStringList(*Target, Domain);
    else if (InheritsFrom(Class, TCollectionClass))
        for (TObjectRef &Item : Target->Items())
            Queue.emplace_back(std::string(), std::move(Item));
    if (InheritsFrom(Class, TComponentClass))
        Queue.emplace_back(std::string(), Target);
}

// The property names that the class rules hide in Object; false when a rule takes the whole object over.
bool CollectIgnoredProperties(TReflectedObject &Object, std::set<std::string> &Ignored) {
    for (const std::unique_ptr<TClassMode> &Rule : ClassRules()) {
        if (!InheritsFrom(Object.ClassType(), *Rule->RuleClass))
            continue;
        if (Rule->IgnoredProperties.empty()) {
            if (Rule->Handler)
                Rule->Handler(Object);
            return false;
        }
        Ignored.insert(Rule->IgnoredProperties.begin(), Rule->IgnoredProperties.end());
    }
    return true;
}

void TranslateOneObject(const std::string &QueueName, TReflectedObject &Object, const std::string &Domain,
                        TObjectQueue &Queue) {
    std::set<std::string> Ignored;
    if (!CollectIgnoredProperties(Object, Ignored))
        return;
    const std::set<std::string> &Names = IgnoreNames();
    for (const TPropertyInfo &Property : Object.Properties()) {
        const std::string U = UpperCase(Property.Name);
        if (Names.count(QueueName + "." + U) || Ignored.count(U))
            continue;
        TranslateProperty(Object, Property, Domain, Queue);
    }
    if (InheritsFrom(Object.ClassType(), TStringsClass))
        TranslateStringList(Object, Domain);
    if (!InheritsFrom(Object.ClassType(), TComponentClass))
        return;
    for (TObjectRef &Component : Object.Components()) {
        if (!Component)
            continue;
        std::string Name = UpperCase(Component->Name());
        if (!Names.count(Name))
            Queue.emplace_back(std::move(Name), std::move(Component));
    }
}

} // namespace

void TP_Ignore(const void *Form, std::string_view Name) {
    (void)Form;
    IgnoreNames().insert(UpperCase(Name));
}

void TP_GlobalIgnoreClassProperty(const TObjectClass &Class, std::string_view Property) {
    const std::string Name = UpperCase(Property);
    std::vector<std::unique_ptr<TClassMode>> &Rules = ClassRules();
    for (auto It = Rules.begin(); It != Rules.end(); ++It) {
        TClassMode &Rule = **It;
        if (Rule.RuleClass == &Class) {
            if (Rule.Handler)
                throw std::runtime_error(
                    "You cannot ignore a class property for a class that has a handler set.");
            Rule.IgnoredProperties.insert(Name);
            return;
        }
        if (InheritsFrom(Class, *Rule.RuleClass)) {
            Rules.insert(It, std::make_unique<TClassMode>(TClassMode{&Class, {}, {Name}}));
            return;
        }
    }
    Rules.push_back(std::make_unique<TClassMode>(TClassMode{&Class, {}, {Name}}));
}

void TranslateProperty(TReflectedObject &Object, const TPropertyInfo &Property, const std::string &Domain,
                       TObjectQueue &Queue) {
    try {
        if (Property.Kind == pkText)
            TranslateTextProperty(Object, Property, Domain);
        else if (Property.Kind == pkObject)
            TranslateObjectProperty(Object, Property, Domain, Queue);
    } catch (const std::exception &Error) {
        RethrowWrapped(Object, Property, Error);
    }
}

void TranslateStringList(TReflectedObject &List, const std::string &Domain) {
    std::string Text;
    for (const std::string &Line : List.Lines()) {
        Text += Line.empty() ? Line : TranslateTextInDomain(Line, Domain);
        Text += "\r\n";
    }
    List.SetLines(SplitLines(Text));
}

void TranslateObjectTree(TReflectedObject &Root, const std::string &Domain) {
    const std::string UsedDomain = Domain.empty() ? CurrentDomainName() : Domain;
    TObjectQueue Queue{{std::string(), Borrow(Root)}};
    // Objects reached through properties exist only as long as someone holds their wrapper; keeping
    // every handled one alive keeps their identities unique for the whole walk.
    std::vector<TObjectRef> Done;
    std::unordered_set<const void *> DoneIds;
    while (!Queue.empty()) {
        auto [Name, Object] = std::move(Queue.front());
        Queue.pop_front();
        if (!Object || !DoneIds.insert(Object->Identity()).second)
            continue;
        Done.push_back(Object);
        TranslateOneObject(Name, *Object, UsedDomain, Queue);
    }
    IgnoreNames().clear();
}
