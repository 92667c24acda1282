// The two settings accessors: an initialisation file that survives what people and other programs
// write into it, and a key-value store with the registry's read and write rules.
#include "serial/forms/ComStorage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class TTempDir {
public:
    TTempDir() {
        char Template[] = "/tmp/forms-store-XXXXXX";
        Path = ::mkdtemp(Template);
    }
    ~TTempDir() {
        std::error_code Ignored;
        fs::remove_all(Path, Ignored);
    }
    fs::path Path;
};

// Garbage, a broken header, repeated sections and keys, bytes that are not UTF-8, a very long line.
const std::string Messy =
    "stray=before any section\n; comment\n[ComPort]\nPort = ttyUSB0 \ngarbage\n=no key\n"
    "[broken header\nport=second\nQuoted=\"  padded  \"\nBytes=\xFF\xFE\x80\nLong=" +
    std::string(100000, 'x') + "\n\n[Other]\nKeep=1\n[comport]\nBaudRate=115200\nPort=third\n";

TEST(IniFile, ReadsWhatItCanFromAMessyFile) {
    TIniFile Ini;
    Ini.SetText(Messy);
    EXPECT_EQ(Ini.Text(), Messy); // nothing lost or rewritten by loading
    EXPECT_EQ(Ini.ReadString("ComPort", "Port", "-"), "ttyUSB0");
    EXPECT_EQ(Ini.ReadString("COMPORT", "PORT", "-"), "ttyUSB0");
    EXPECT_EQ(Ini.ReadString("ComPort", "Quoted", "-"), "  padded  ");
    EXPECT_EQ(Ini.ReadString("ComPort", "Bytes", "-"), "\xFF\xFE\x80");
    EXPECT_EQ(Ini.ReadString("ComPort", "Long", "-").size(), 100000u);
    EXPECT_EQ(Ini.ReadString("ComPort", "BaudRate", "-"), "115200"); // from the repeated section
    EXPECT_EQ(Ini.ReadString("ComPort", "stray", "-"), "-");
    EXPECT_EQ(Ini.ReadString("ComPort", "", "-"), "-");
    EXPECT_EQ(Ini.ReadString("Missing", "Port", "-"), "-");
    EXPECT_EQ(Ini.ReadSection("ComPort"),
              (std::vector<std::string>{"Port", "Quoted", "Bytes", "Long", "BaudRate"}));
}

TEST(IniFile, WritingKeepsEverythingElse) {
    TIniFile Ini;
    Ini.SetText("; head\r\n[ComPort]\r\nPort=COM1\r\nOld=1\r\n\r\n[Other]\r\nKeep=1\r\n");
    Ini.WriteString("ComPort", "port", "ttyUSB1"); // replaced in place, spelling of the key kept
    Ini.WriteString("ComPort", "BaudRate", "4800");
    Ini.WriteInteger("New", "Size", -5);
    EXPECT_EQ(Ini.Text(), "; head\r\n[ComPort]\r\nPort=ttyUSB1\r\nOld=1\r\nBaudRate=4800\r\n\r\n"
                          "[Other]\r\nKeep=1\r\n\r\n[New]\r\nSize=-5\r\n");

    TIniFile Empty;
    Empty.WriteString("A", "K", "v");
    EXPECT_EQ(Empty.Text(), "[A]\nK=v\n");
}

TEST(IniFile, ValuesRoundTripAndUnsafeOnesAreRefused) {
    TIniFile Ini;
    for (std::string Value :
         {"", " lead", "trail ", "\"q\"", "\"", "a=b", "[x]", "; not a comment", "\xC5\xA1"}) {
        Ini.WriteString("S", "K", Value);
        TIniFile Reloaded;
        Reloaded.SetText(Ini.Text());
        EXPECT_EQ(Reloaded.ReadString("S", "K", "-"), Value) << '"' << Value << '"';
    }
    const std::string Before = Ini.Text();
    const std::pair<const char *, const char *> Unsafe[] = {{"S", "K=V"}, {"S", ""},    {"S", "[K"},
                                                            {"S", " K"},  {"S]x", "K"}, {"S\n[T", "K"}};
    for (const auto &[Section, Key] : Unsafe)
        EXPECT_THROW(Ini.WriteString(Section, Key, "x"), EIniFileError) << Section << "/" << Key;
    for (const char *Value : {"two\nlines", "cr\r"})
        EXPECT_THROW(Ini.WriteString("S", "K", Value), EIniFileError);
    EXPECT_EQ(Ini.Text(), Before);
}

TEST(IniFile, IntegerThatIsNotAnIntegerReadsAsAbsent) {
    // clang-format off
    const std::pair<const char *, std::int32_t> Cases[] = {
        {"42", 42}, {" -7 ", -7}, {"+5", 5}, {"-2147483648", INT32_MIN}, {"2147483647", INT32_MAX},
        {"2147483648", 99}, {"12x", 99}, {"", 99}, {"0x10", 99}, {"+-1", 99}, {"- 1", 99}, {"1.0", 99}};
    // clang-format on
    for (const auto &[Text, Value] : Cases) {
        TIniFile Ini;
        Ini.SetText(std::string("[S]\nK=") + Text + "\n");
        EXPECT_EQ(Ini.ReadInteger("S", "K", 99), Value) << Text;
    }
}

TEST(IniFile, FileRoundTripAndFailures) {
    TTempDir Dir;
    const fs::path File = Dir.Path / "settings.ini";
    TIniFile Ini;
    Ini.LoadFromFile(File); // absent: empty, created by the first save
    EXPECT_EQ(Ini.Text(), "");
    Ini.SetText(Messy);
    Ini.SaveToFile(File);
    EXPECT_EQ(fs::directory_iterator(Dir.Path)->path(), File); // no temporary file left behind
    TIniFile Loaded;
    Loaded.LoadFromFile(File);
    EXPECT_EQ(Loaded.Text(), Messy);

    EXPECT_THROW(Loaded.LoadFromFile(Dir.Path), EIniFileError); // a folder
    EXPECT_EQ(Loaded.Text(), Messy);
    EXPECT_THROW(Ini.SaveToFile(Dir.Path / "missing" / "x.ini"), EIniFileError);
}

// The read rules themselves are exercised by the port's registry loads; here: names, types and the
// write error of a key opened for reading.
TEST(RegistryAccessor, TypesNamesAndReadOnlyKeys) {
    TRegistryAccessor Reg;
    Reg.WriteString("Port", "COM3");
    Reg.WriteExpandString("Path", "%HOME%");
    EXPECT_EQ(Reg.ReadString("PORT"), "COM3");
    EXPECT_EQ(Reg.ReadString("Path"), "%HOME%");
    EXPECT_THROW(Reg.ReadInteger("Path"), ERegistryError);
    Reg.WriteInteger("port", -1); // replaces value and type, keeps the first spelling
    EXPECT_EQ(Reg.ReadInteger("Port"), -1);
    EXPECT_EQ(Reg.ValueNames(), (std::vector<std::string>{"Port", "Path"}));

    Reg.SetReadOnly(true);
    try {
        Reg.WriteString("Port", "COM4");
        ADD_FAILURE() << "write on a read-only key";
    } catch (const ERegistryError &E) {
        EXPECT_EQ(E.Kind(), ERegistryError::rkWrite);
        EXPECT_NE(std::string(E.what()).find("\"Port\""), std::string::npos) << E.what();
    }
    EXPECT_EQ(Reg.ReadInteger("Port"), -1);
}

TEST(RegistryAccessor, BackingFileKeepsEveryValueAndType) {
    TTempDir Dir;
    TRegistryAccessor Reg;
    const std::string Odd = "line\nbreak\t\"quoted\" \\ \xC5\xA1";
    Reg.WriteString("Odd \"name\"\\", Odd);
    Reg.WriteString("Empty", "");
    Reg.WriteInteger("Min", INT32_MIN);
    Reg.WriteExpandString("Exp", "%X%");
    Reg.SaveToFile(Dir.Path / "key.reg");

    TRegistryAccessor Loaded;
    Loaded.WriteString("Stale", "x");
    Loaded.LoadFromFile(Dir.Path / "key.reg");
    EXPECT_EQ(Loaded.ValueNames(), Reg.ValueNames());
    EXPECT_EQ(Loaded.ReadString("Odd \"name\"\\"), Odd);
    EXPECT_EQ(Loaded.ReadString("Empty"), "");
    EXPECT_EQ(Loaded.ReadInteger("Min"), INT32_MIN);
    EXPECT_EQ(Loaded.DataType("Exp"), rdExpandString);

    std::ofstream(Dir.Path / "bad.reg") << "junk\n\"A\"=dword:zz\n\"B\"=\"open\n\"C\"=\"ok\"\n\"D\"=\"x\"y\n";
    Loaded.LoadFromFile(Dir.Path / "bad.reg");
    EXPECT_EQ(Loaded.ValueNames(), std::vector<std::string>{"C"});
    EXPECT_THROW(Loaded.LoadFromFile(Dir.Path), ERegistryError);
}

} // namespace
