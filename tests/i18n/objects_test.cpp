// The object-tree walk on fake trees, translated by a catalogue that msgfmt builds for the test.
#include "i18n/gnugettext.h"
#include "i18n/gnugettext_objects.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

const TObjectClass TFormClass{"TForm", &TComponentClass};
const TObjectClass TLabelClass{"TLabel", &TComponentClass};
const TObjectClass TBoldLabelClass{"TBoldLabel", &TLabelClass};

// Text properties (a component's Name among them), object properties, owned components, items, lines.
struct TFake : TReflectedObject {
    TFake(const TObjectClass &Class, std::string Name = {}) : Class(Class), FName(std::move(Name)) {
        if (InheritsFrom(Class, TComponentClass))
            Texts.push_back({{"Name", pkText, true}, FName});
    }
    TFake &Text(const std::string &Name, const std::string &Value, bool Writable = true) {
        Texts.push_back({{Name, pkText, Writable}, Value});
        return *this;
    }
    std::string operator[](std::string_view Name) const { return GetTextProp(Name); }
    std::shared_ptr<TFake> Own(const TObjectClass &C, const std::string &Name) {
        Owned.push_back(std::make_shared<TFake>(C, Name));
        return std::static_pointer_cast<TFake>(Owned.back());
    }

    const TObjectClass &ClassType() const override { return Class; }
    std::vector<TPropertyInfo> Properties() const override {
        std::vector<TPropertyInfo> Result;
        for (const auto &[Info, Value] : Texts)
            Result.push_back(Info);
        for (const auto &[Name, Object] : Objects)
            Result.push_back({Name, pkObject, false});
        return Result;
    }
    std::string GetTextProp(std::string_view Name) const override {
        for (const auto &[Info, Value] : Texts)
            if (Info.Name == Name)
                return Value;
        return {};
    }
    bool SetTextProp(std::string_view Name, const std::string &Value) override {
        for (auto &[Info, Text] : Texts)
            if (Info.Name == Name && Name != Gone)
                return Text = Value, true;
        return false;
    }
    TObjectRef GetObjectProp(std::string_view Name) const override {
        for (const auto &[N, Object] : Objects)
            if (N == Name)
                return Object;
        return nullptr;
    }
    std::string Name() const override { return FName; }
    std::vector<TObjectRef> Components() const override { return Owned; }
    std::vector<TObjectRef> Items() const override { return ItemList; }
    std::vector<std::string> Lines() const override { return LineList; }
    void SetLines(const std::vector<std::string> &Value) override { LineList = Value; }

    const TObjectClass &Class;
    std::string FName;
    std::vector<std::pair<TPropertyInfo, std::string>> Texts;
    std::vector<std::pair<std::string, TObjectRef>> Objects;
    std::vector<TObjectRef> Owned, ItemList;
    std::vector<std::string> LineList;
    std::string Gone; // a property that vanishes before the walk writes it
};

class ObjectTree : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Dir = fs::temp_directory_path() / ("objects_test_" + std::to_string(::getpid()));
        fs::create_directories(Messages());
        std::ofstream(Dir / "test.po")
            << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n"
               "msgid \"Setup\"\nmsgstr \"Nastavení\"\nmsgid \"Port\"\nmsgstr \"Přípojka\"\n"
               "msgid \"Two lines\"\nmsgstr \"První\\nDruhý\"\n";
        const std::string Command =
            "msgfmt -o " + (Messages() / "test.mo").string() + " " + (Dir / "test.po").string();
        ASSERT_EQ(std::system(Command.c_str()), 0) << Command;
        std::ofstream(Messages() / "broken.mo") << "this is no catalogue, but long enough to be read";
    }
    static void TearDownTestSuite() { fs::remove_all(Dir); }
    static fs::path Messages() { return Dir / "locale" / "xx" / "LC_MESSAGES"; }

    static inline fs::path Dir;
    TGnuGettextSession Session{Dir.string(), "xx"};
    TFake Form{TFormClass, "Setup"};
};

TEST_F(ObjectTree, TranslatesTheTreeButNeverNamesEmptyOrReadOnlyTexts) {
    Form.Text("Caption", "Setup").Text("Hint", "").Text("Tag", "Port", false);
    auto Label = Form.Own(TLabelClass, "Port");
    Label->Text("Caption", "Port").Text("Other", "Not in the catalogue");
    auto Inner = Label->Own(TBoldLabelClass, "Label1");
    Inner->Text("Caption", "Setup");
    Inner->Objects = {{"FocusControl", TObjectRef(TObjectRef(), Label.get())}, {"None", nullptr}}; // a cycle
    auto Lines = std::make_shared<TFake>(TStringsClass);
    Lines->LineList = {"Port", "", "Two lines", "Other"};
    auto Items = std::make_shared<TFake>(TCollectionClass);
    Items->Text("PropName", "Port").Text("Caption", "Port");
    Items->ItemList = {std::make_shared<TFake>(TCollectionItemClass)};
    auto &Item = static_cast<TFake &>(*Items->ItemList[0]).Text("Caption", "Setup");
    Form.Objects = {{"Lines", Lines}, {"Items", Items}};

    SetCurrentDomain("test");
    TranslateObjectTree(Form); // empty domain: the current one

    EXPECT_EQ(Form["Caption"], "Nastavení");
    EXPECT_EQ(Form["Name"], "Setup");
    EXPECT_EQ(Form["Hint"], "") << "an empty text would pick up the catalogue's header entry";
    EXPECT_EQ(Form["Tag"], "Port");
    EXPECT_EQ((*Label)["Name"] + (*Label)["Caption"] + (*Label)["Other"], "PortPřípojkaNot in the catalogue");
    EXPECT_EQ((*Inner)["Caption"], "Nastavení");
    EXPECT_THAT(Lines->LineList, ElementsAre("Přípojka", "", "První", "Druhý", "Other"));
    EXPECT_EQ(Item["Caption"], "Nastavení");
    EXPECT_EQ((*Items)["Caption"], "Port") << "only the items of a collection are queued";
    TranslateObjectTree(*Items, "test");
    EXPECT_EQ((*Items)["PropName"] + (*Items)["Caption"], "PortPřípojka");
}

TEST_F(ObjectTree, IgnoredNamesHoldForOneWalkAndNotForObjectsReachedThroughProperties) {
    Form.Text("Caption", "Setup");
    auto Combo = Form.Own(TLabelClass, "Combo1");
    Combo->Text("Caption", "Port");
    auto Label = Form.Own(TLabelClass, "Label1");
    Label->Text("Caption", "Port").Text("Hint", "Port");
    auto Referred = Form.Own(TLabelClass, "Combo2");
    Referred->Text("Hint", "Port");
    Label->Objects = {{"FocusControl", Referred}};

    for (const char *Name : {"Combo1", "Label1.hint", ".Caption", "Combo2", "COMBO2.Hint"})
        TP_Ignore(&Form, Name);
    TranslateObjectTree(Form, "test");
    EXPECT_EQ(Form["Caption"] + (*Combo)["Caption"] + (*Label)["Hint"], "SetupPortPort");
    EXPECT_EQ((*Label)["Caption"], "Přípojka");
    EXPECT_EQ((*Referred)["Hint"], "Přípojka") << "queued under the empty name";
    EXPECT_TRUE(IgnoreNames().empty());

    TranslateObjectTree(Form, "test");
    EXPECT_EQ(Form["Caption"] + (*Combo)["Caption"] + (*Label)["Hint"], "NastaveníPřípojkaPřípojka");
}

TEST_F(ObjectTree, ErrorIsWrappedAndEndsTheWalk) {
    struct TCase {
        const char *Domain, *Gone;
        std::string Reason;
    } Cases[] = {
        {"test", "Caption", "Property disappeared..."},
        {"broken", "",
         "This file is not a valid GNU gettext mo file: " + (Messages() / "broken.mo").string()},
    };
    for (const TCase &C : Cases) {
        SCOPED_TRACE(C.Domain);
        TFake Root(TFormClass, "Form1");
        const bool Broken = C.Domain == std::string("broken");
        auto First = Root.Own(TLabelClass, "Label1");
        First->Text("Hint", Broken ? "" : "Setup");
        auto Failing = Root.Own(TLabelClass, "Label2");
        Failing->Text("Caption", "Port").Text("Hint", "Setup").Gone = C.Gone;
        auto Last = Root.Own(TLabelClass, "Label3");
        Last->Text("Caption", "Port");
        TP_Ignore(&Root, "Nothing");
        try {
            TranslateObjectTree(Root, C.Domain);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error &E) {
            EXPECT_EQ(E.what(),
                      "Property cannot be translated.\r\nUse TP_GlobalIgnoreClassProperty(TLabel,Caption) "
                      "or\r\nTP_Ignore (self,'.Caption') to prevent this message.\r\nReason: " +
                          C.Reason);
        }
        EXPECT_EQ((*First)["Hint"], Broken ? "" : "Nastavení");
        EXPECT_EQ((*Failing)["Hint"] + (*Last)["Caption"], "SetupPort");
        EXPECT_EQ(IgnoreNames().count("NOTHING"), 1u) << "kept when the walk fails";
    }
}

TEST_F(ObjectTree, ClassRulesStandBeforeTheirAncestorsAndReachOnlyDescendants) {
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

    Form.Text("Hint", "Port").Text("Caption", "Port");
    for (const auto *Class : {&TLabelClass, &TBoldLabelClass})
        Form.Own(*Class, "Label")->Text("Hint", "Port").Text("Caption", "Port");
    TranslateObjectTree(Form, "test");
    const auto &Plain = static_cast<TFake &>(*Form.Owned[0]), &Bold = static_cast<TFake &>(*Form.Owned[1]);
    EXPECT_EQ(Form["Hint"] + Form["Caption"], "PřípojkaPřípojka");
    EXPECT_EQ(Plain["Hint"] + Plain["Caption"], "PortPřípojka");
    EXPECT_EQ(Bold["Hint"] + Bold["Caption"], "PortPort");
}

} // namespace
