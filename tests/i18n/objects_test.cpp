// The object-tree walk on fake trees, translated by a real catalogue that msgfmt builds for the test.
#include "i18n/gnugettext.h"
#include "i18n/gnugettext_objects.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;

const TObjectClass TFormClass{"TForm", &TComponentClass};
const TObjectClass TLabelClass{"TLabel", &TComponentClass};
const TObjectClass TBoldLabelClass{"TBoldLabel", &TLabelClass};
const TObjectClass TOwnedStringsClass{"TStringList", &TStringsClass};
const TObjectClass TItemsClass{"TListItems", &TCollectionClass};
const TObjectClass TItemClass{"TListItem", &TCollectionItemClass};

struct TFakeProperty {
    TPropertyInfo Info;
    std::string Text;
    TObjectRef Object;
};

// An object with text and object properties, owned components, items and lines as the test sets them.
class TFake : public TReflectedObject {
public:
    TFake(const TObjectClass &Class, std::string Name) : FClass(Class), FName(std::move(Name)) {
        if (InheritsFrom(Class, TComponentClass))
            AddText("Name", FName);
    }
    TFake &AddText(const std::string &Name, const std::string &Value, bool Writable = true) {
        FProps.push_back({{Name, pkText, Writable}, Value, nullptr});
        return *this;
    }
    TFake &AddObject(const std::string &Name, TObjectRef Object) {
        FProps.push_back({{Name, pkObject, false}, {}, std::move(Object)});
        return *this;
    }
    std::shared_ptr<TFake> Own(std::shared_ptr<TFake> Component) {
        FComponents.push_back(Component);
        return Component;
    }
    std::string Text(const std::string &Name) const { return GetTextProp(Name); }

    const TObjectClass &ClassType() const override { return FClass; }
    std::vector<TPropertyInfo> Properties() const override {
        std::vector<TPropertyInfo> Result;
        for (const TFakeProperty &P : FProps)
            Result.push_back(P.Info);
        return Result;
    }
    std::string GetTextProp(std::string_view Name) const override {
        const TFakeProperty *P = Find(Name, pkText);
        return P ? P->Text : std::string();
    }
    bool SetTextProp(std::string_view Name, const std::string &Value) override {
        if (Disappearing == Name)
            return false;
        auto *P = const_cast<TFakeProperty *>(Find(Name, pkText));
        if (P)
            P->Text = Value;
        return P != nullptr;
    }
    TObjectRef GetObjectProp(std::string_view Name) const override {
        const TFakeProperty *P = Find(Name, pkObject);
        return P ? P->Object : nullptr;
    }
    std::string Name() const override { return FName; }
    std::vector<TObjectRef> Components() const override { return {FComponents.begin(), FComponents.end()}; }
    std::vector<TObjectRef> Items() const override { return ItemList; }
    std::vector<std::string> Lines() const override { return LineList; }
    void SetLines(const std::vector<std::string> &Value) override { LineList = Value; }

    std::string Disappearing; // a property that is gone by the time the walk writes it
    std::vector<TObjectRef> ItemList;
    std::vector<std::string> LineList;

private:
    const TFakeProperty *Find(std::string_view Name, TPropertyKind Kind) const {
        for (const TFakeProperty &P : FProps)
            if (P.Info.Name == Name && P.Info.Kind == Kind)
                return &P;
        return nullptr;
    }
    const TObjectClass &FClass;
    std::string FName;
    std::vector<TFakeProperty> FProps;
    std::vector<std::shared_ptr<TFake>> FComponents;
};

std::shared_ptr<TFake> Make(const TObjectClass &Class, const std::string &Name = {}) {
    return std::make_shared<TFake>(Class, Name);
}

// A catalogue "test" for the language "xx", and a catalogue "broken" that is not an MO file.
class ObjectTree : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Dir = fs::temp_directory_path() / ("objects_test_" + std::to_string(::getpid()));
        const fs::path Messages = Dir / "locale" / "xx" / "LC_MESSAGES";
        fs::create_directories(Messages);
        std::ofstream(Dir / "test.po")
            << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
               "msgid \"Setup\"\nmsgstr \"Nastavení\"\n\n"
               "msgid \"Port\"\nmsgstr \"Přípojka\"\n\n"
               "msgid \"Two lines\"\nmsgstr \"První\\nDruhý\"\n";
        const std::string Command =
            "msgfmt -o '" + (Messages / "test.mo").string() + "' '" + (Dir / "test.po").string() + "'";
        ASSERT_EQ(std::system(Command.c_str()), 0) << Command;
        std::ofstream(Messages / "broken.mo") << "this is no catalogue, but long enough to be read";
    }
    static void TearDownTestSuite() { fs::remove_all(Dir); }

    static inline fs::path Dir;
    TGnuGettextSession Session{Dir.string(), "xx"};
};

TEST_F(ObjectTree, TranslatesOwnedTreeButNeverNamesEmptyOrReadOnlyTexts) {
    TFake Form(TFormClass, "Setup");
    Form.AddText("Caption", "Setup").AddText("Hint", "").AddText("Tag", "Port", false);
    auto Group = Form.Own(Make(TLabelClass, "Port"));
    Group->AddText("Caption", "Port").AddText("Unknown", "Not in the catalogue");
    auto Inner = Group->Own(Make(TBoldLabelClass, "Label1"));
    Inner->AddText("Caption", "Setup")
        .AddObject("FocusControl", TObjectRef(TObjectRef(), Group.get())); // a cycle
    Inner->AddObject("Nothing", nullptr);

    TranslateObjectTree(Form, "test");

    EXPECT_EQ(Form.Text("Caption"), "Nastavení");
    EXPECT_EQ(Form.Text("Name"), "Setup");
    EXPECT_EQ(Form.Text("Hint"), "") << "an empty text would pick up the catalogue's header entry";
    EXPECT_EQ(Form.Text("Tag"), "Port") << "read-only";
    EXPECT_EQ(Group->Text("Caption"), "Přípojka");
    EXPECT_EQ(Group->Text("Name"), "Port");
    EXPECT_EQ(Group->Text("Unknown"), "Not in the catalogue");
    EXPECT_EQ(Inner->Text("Caption"), "Nastavení");
}

TEST_F(ObjectTree, EmptyDomainMeansTheCurrentDomain) {
    SetCurrentDomain("test");
    TFake Form(TFormClass, "Form1");
    Form.AddText("Caption", "Port");
    TranslateObjectTree(Form);
    EXPECT_EQ(Form.Text("Caption"), "Přípojka");
}

TEST_F(ObjectTree, StringListsCollectionsAndObjectProperties) {
    TFake Form(TFormClass, "Form1");
    auto Lines = Make(TOwnedStringsClass);
    Lines->LineList = {"Port", "", "Two lines", "Other"};
    auto Items = Make(TItemsClass);
    auto Item = Make(TItemClass);
    Item->AddText("Caption", "Setup");
    Items->AddText("PropName", "Port").AddText("Caption", "Port");
    Items->ItemList = {Item};
    Form.AddObject("Lines", Lines).AddObject("Items", Items);

    TranslateObjectTree(Form, "test");

    EXPECT_THAT(Lines->LineList, ElementsAre("Přípojka", "", "První", "Druhý", "Other"));
    EXPECT_EQ(Item->Text("Caption"), "Nastavení");
    EXPECT_EQ(Items->Text("Caption"), "Port") << "only the items of a collection are queued";
    TranslateObjectTree(*Items, "test");
    EXPECT_EQ(Items->Text("PropName"), "Port");
    EXPECT_EQ(Items->Text("Caption"), "Přípojka");
}

TEST_F(ObjectTree, IgnoredNamesHoldForOneWalkOnly) {
    TFake Form(TFormClass, "Form1");
    Form.AddText("Caption", "Setup");
    auto Combo = Form.Own(Make(TLabelClass, "Combo1"));
    Combo->AddText("Caption", "Port");
    auto Label = Form.Own(Make(TLabelClass, "Label1"));
    Label->AddText("Caption", "Port").AddText("Hint", "Port");

    TP_Ignore(&Form, "Combo1");
    TP_Ignore(&Form, "Label1.hint");
    TP_Ignore(&Form, ".Caption");
    TranslateObjectTree(Form, "test");
    EXPECT_EQ(Form.Text("Caption"), "Setup");
    EXPECT_EQ(Combo->Text("Caption"), "Port");
    EXPECT_EQ(Label->Text("Caption"), "Přípojka");
    EXPECT_EQ(Label->Text("Hint"), "Port");
    EXPECT_TRUE(IgnoreNames().empty());

    TranslateObjectTree(Form, "test");
    EXPECT_EQ(Form.Text("Caption"), "Nastavení");
    EXPECT_EQ(Combo->Text("Caption"), "Přípojka");
    EXPECT_EQ(Label->Text("Hint"), "Přípojka");
}

TEST_F(ObjectTree, IgnoredComponentIsTranslatedWhenReachedThroughAProperty) {
    TFake Form(TFormClass, "Form1");
    auto Combo = Form.Own(Make(TLabelClass, "Combo1"));
    Combo->AddText("Caption", "Port");
    auto Label = Form.Own(Make(TLabelClass, "Label1"));
    Label->AddObject("FocusControl", Combo);

    TP_Ignore(&Form, "Combo1");
    TP_Ignore(&Form, "COMBO1.Caption"); // queued under the empty name, so this no longer applies
    TranslateObjectTree(Form, "test");
    EXPECT_EQ(Combo->Text("Caption"), "Přípojka");
}

TEST_F(ObjectTree, ErrorIsWrappedAndEndsTheWalk) {
    struct TCase {
        const char *Title;
        const char *Domain;
        const char *Disappearing;
        std::string Reason;
    };
    const fs::path Broken = Dir / "locale" / "xx" / "LC_MESSAGES" / "broken.mo";
    const TCase Cases[] = {
        {"property gone before the write", "test", "Caption", "Property disappeared..."},
        {"unusable catalogue", "broken", "",
         "This file is not a valid GNU gettext mo file: " + Broken.string()},
    };
    for (const TCase &C : Cases) {
        SCOPED_TRACE(C.Title);
        TFake Form(TFormClass, "Form1");
        const bool BrokenCatalogue = std::string(C.Domain) == "broken";
        auto First = Form.Own(Make(TLabelClass, "Label1"));
        First->AddText("Hint", BrokenCatalogue ? "" : "Setup");
        auto Failing = Form.Own(Make(TLabelClass, "Label2"));
        Failing->AddText("Caption", "Port").AddText("Hint", "Setup");
        Failing->Disappearing = C.Disappearing;
        auto Last = Form.Own(Make(TLabelClass, "Label3"));
        Last->AddText("Caption", "Port");
        TP_Ignore(&Form, "Nothing");

        try {
            TranslateObjectTree(Form, C.Domain);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error &E) {
            const std::string Expected = "Property cannot be translated.\r\nUse TP_GlobalIgnoreClassProperty("
                                         "TLabel,Caption) or\r\nTP_Ignore (self,'.Caption') to prevent this "
                                         "message.\r\nReason: " +
                                         C.Reason;
            EXPECT_EQ(E.what(), Expected);
        }
        EXPECT_EQ(First->Text("Hint"), BrokenCatalogue ? "" : "Nastavení");
        EXPECT_EQ(Failing->Text("Hint"), "Setup");
        EXPECT_EQ(Last->Text("Caption"), "Port");
        EXPECT_EQ(IgnoreNames().count("NOTHING"), 1u) << "kept when the walk fails";
        IgnoreNames().clear();
    }
}

TEST_F(ObjectTree, ClassRulesStandBeforeTheirAncestorsAndApplyToDescendants) {
    static const TObjectClass Other{"TOther", &TPersistentClass};
    TP_GlobalIgnoreClassProperty(TLabelClass, "Hint");
    TP_GlobalIgnoreClassProperty(Other, "Hint");
    TP_GlobalIgnoreClassProperty(TBoldLabelClass, "caption");
    TP_GlobalIgnoreClassProperty(TLabelClass, "Caption2");
    std::vector<std::string> Order;
    for (const auto &Rule : ClassRules())
        Order.emplace_back(Rule->RuleClass->ClassName);
    EXPECT_THAT(Order, ElementsAre("TBoldLabel", "TLabel", "TComponent", "TCollection", "TOther"));
    EXPECT_THAT(ClassRules()[1]->IgnoredProperties, ElementsAre("CAPTION2", "HINT"));

    TFake Form(TFormClass, "Form1");
    Form.AddText("Hint", "Port").AddText("Caption", "Port");
    auto Plain = Form.Own(Make(TLabelClass, "Label1"));
    Plain->AddText("Hint", "Port").AddText("Caption", "Port");
    auto Bold = Form.Own(Make(TBoldLabelClass, "Label2"));
    Bold->AddText("Hint", "Port").AddText("Caption", "Port");
    TranslateObjectTree(Form, "test");
    EXPECT_EQ(Form.Text("Hint"), "Přípojka") << "rules never reach ancestors";
    EXPECT_EQ(Plain->Text("Hint"), "Port");
    EXPECT_EQ(Plain->Text("Caption"), "Přípojka");
    EXPECT_EQ(Bold->Text("Hint"), "Port");
    EXPECT_EQ(Bold->Text("Caption"), "Port");
}

TEST_F(ObjectTree, HandlerRuleTakesObjectsOverAndRefusesIgnoredProperties) {
    std::vector<std::string> Handled;
    ClassRules().insert(ClassRules().begin(),
                        std::make_unique<TClassMode>(TClassMode{
                            &TLabelClass, [&](TReflectedObject &O) { Handled.push_back(O.Name()); }, {}}));
    TFake Form(TFormClass, "Form1");
    auto Label = Form.Own(Make(TBoldLabelClass, "Label1"));
    Label->AddText("Caption", "Port");
    Label->Own(Make(TLabelClass, "Inner"));
    TranslateObjectTree(Form, "test");
    EXPECT_THAT(Handled, ElementsAre("Label1"));
    EXPECT_EQ(Label->Text("Caption"), "Port");

    try {
        TP_GlobalIgnoreClassProperty(TLabelClass, "Hint");
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error &E) {
        EXPECT_STREQ(E.what(), "You cannot ignore a class property for a class that has a handler set.");
    }
}

TEST_F(ObjectTree, NewInstanceStartsWithOnlyTheNameRules) {
    TP_Ignore(nullptr, "Combo1");
    TP_GlobalIgnoreClassProperty(TLabelClass, "Hint");
    GnuGettextShutdown();
    GnuGettextStartup(Dir.string(), "xx");
    EXPECT_TRUE(IgnoreNames().empty());
    ASSERT_EQ(ClassRules().size(), 2u);
    EXPECT_EQ(ClassRules()[0]->RuleClass, &TComponentClass);
    EXPECT_THAT(ClassRules()[0]->IgnoredProperties, ElementsAre("NAME"));
    EXPECT_EQ(ClassRules()[1]->RuleClass, &TCollectionClass);
    EXPECT_THAT(ClassRules()[1]->IgnoredProperties, ElementsAre("PROPNAME"));
}

TEST(SplitLines, BreaksAtEveryLineEnd) {
    EXPECT_THAT(SplitLines("a\r\nb\nc\rd"), ElementsAre("a", "b", "c", "d"));
    EXPECT_THAT(SplitLines("a\r\n\r\nb\r\n"), ElementsAre("a", "", "b"));
    EXPECT_THAT(SplitLines("\n"), ElementsAre(""));
    EXPECT_TRUE(SplitLines("").empty());
}

} // namespace
