// The two settings accessors: an initialisation file that survives what people and other programs
// write into it, and a key-value store with the registry's read and write rules.
#include "serial/ComStorage.h"

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

const std::string Messy = "stray=before any section\n"
                          "; comment\n"
                          "[ComPort]\n"
                          "Port = ttyUSB0 \n"
                          "garbage without equals\n"
                          "=no key\n"
                          "[broken header\n"
                          "port=second occurrence\n"
                          "Quoted=\"  padded  \"\n"
                          "Bytes=\xFF\xFE\x80\n"
                          "Long=" +
                          std::string(100000, 'x') +
                          "\n"
                          "\n"
                          "[Other]\n"
                          "Keep=1\n"
                          "[comport]\n"
                          "BaudRate=115200\n"
                          "Port=third\n";

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
    EXPECT_THROW(Ini.WriteString("S", "K", "two\nlines"), EIniFileError);
    EXPECT_THROW(Ini.WriteString("S", "K", "cr\r"), EIniFileError);
    EXPECT_THROW(Ini.WriteString("S", "K=V", "x"), EIniFileError);
    EXPECT_THROW(Ini.WriteString("S", "", "x"), EIniFileError);
    EXPECT_THROW(Ini.WriteString("S", "[K", "x"), EIniFileError);
    EXPECT_THROW(Ini.WriteString("S]x", "K", "x"), EIniFileError);
    EXPECT_THROW(Ini.WriteString("S\n[T", "K", "x"), EIniFileError);
    EXPECT_EQ(Ini.Text(), Before);
}

TEST(IniFile, IntegerThatIsNotAnIntegerReadsAsAbsent) {
    struct {
        const char *Text;
        std::int32_t Value;
    } const Cases[] = {{"42", 42},
                       {" -7 ", -7},
                       {"+5", 5},
                       {"-2147483648", INT32_MIN},
                       {"2147483647", INT32_MAX},
                       {"2147483648", 99},
                       {"12x", 99},
                       {"", 99},
                       {"0x10", 99},
                       {"+-1", 99},
                       {"- 1", 99},
                       {"1.0", 99}};
    for (const auto &C : Cases) {
        TIniFile Ini;
        Ini.SetText(std::string("[S]\nK=") + C.Text + "\n");
        EXPECT_EQ(Ini.ReadInteger("S", "K", 99), C.Value) << C.Text;
    }
}

TEST(IniFile, FileRoundTripAndFailures) {
    TTempDir Dir;
    const fs::path File = Dir.Path / "settings.ini";
    TIniFile Ini;
    Ini.LoadFromFile(File); // absent: empty, created by the first save
    EXPECT_EQ(Ini.Text(), "");
    Ini.SetText(Messy);
    Ini.WriteInteger("ComPort", "Buffer.InputSize", 4096);
    Ini.SaveToFile(File);
    EXPECT_EQ(fs::directory_iterator(Dir.Path)->path(), File); // no temporary file left behind

    TIniFile Loaded;
    Loaded.LoadFromFile(File);
    EXPECT_EQ(Loaded.Text(), Ini.Text());

    EXPECT_THROW(Loaded.LoadFromFile(Dir.Path), EIniFileError); // a folder
    EXPECT_EQ(Loaded.Text(), Ini.Text());
    EXPECT_THROW(Ini.SaveToFile(Dir.Path / "missing" / "x.ini"), EIniFileError);
}

TEST(RegistryAccessor, ReadsFollowTheRegistryTypeRules) {
    TRegistryAccessor Reg;
    Reg.WriteString("Port", "COM3");
    Reg.WriteInteger("Size", -1);
    Reg.WriteExpandString("Path", "%HOME%");
    Reg.WriteBinary("Blob", {1, 2});
    EXPECT_EQ(Reg.ReadString("port"), "COM3");
    EXPECT_EQ(Reg.ReadInteger("SIZE"), -1);
    EXPECT_EQ(Reg.ReadString("Path"), "%HOME%");

    struct {
        const char *Name;
        bool Integer;
    } const Failing[] = {{"Absent", false}, {"Absent", true}, {"Size", false},
                         {"Blob", false},   {"Port", true},   {"Path", true}};
    for (const auto &F : Failing) {
        try {
            F.Integer ? (void)Reg.ReadInteger(F.Name) : (void)Reg.ReadString(F.Name);
            ADD_FAILURE() << F.Name << " read";
        } catch (const ERegistryError &E) {
            EXPECT_EQ(E.Kind(), ERegistryError::rkRead);
            EXPECT_EQ(E.ValueName(), F.Name);
            EXPECT_NE(std::string(E.what()).find(F.Name), std::string::npos) << E.what();
        }
    }

    Reg.WriteInteger("Port", 7); // a write replaces the type as well
    EXPECT_EQ(Reg.ReadInteger("Port"), 7);
    EXPECT_EQ(Reg.ValueNames(), (std::vector<std::string>{"Port", "Size", "Path", "Blob"}));

    Reg.SetReadOnly(true);
    try {
        Reg.WriteString("Port", "COM4");
        ADD_FAILURE() << "write on a read-only key";
    } catch (const ERegistryError &E) {
        EXPECT_EQ(E.Kind(), ERegistryError::rkWrite);
        EXPECT_EQ(E.ValueName(), "Port");
    }
    EXPECT_EQ(Reg.ReadInteger("Port"), 7);
}

TEST(RegistryAccessor, BackingFileKeepsEveryValueAndType) {
    TTempDir Dir;
    TRegistryAccessor Reg;
    Reg.WriteString("Odd \"name\"\\", "line\nbreak\t\"quoted\" \\ \xC5\xA1");
    Reg.WriteString("Empty", "");
    Reg.WriteInteger("Min", INT32_MIN);
    Reg.WriteExpandString("Exp", "%X%");
    Reg.WriteBinary("Blob", {0, 0xFF, 0x10});
    Reg.WriteBinary("NoBytes", {});
    Reg.SaveToFile(Dir.Path / "key.reg");

    TRegistryAccessor Loaded;
    Loaded.WriteString("Stale", "x");
    Loaded.LoadFromFile(Dir.Path / "key.reg");
    EXPECT_EQ(Loaded.ValueNames(), Reg.ValueNames());
    EXPECT_EQ(Loaded.ReadString("Odd \"name\"\\"), "line\nbreak\t\"quoted\" \\ \xC5\xA1");
    EXPECT_EQ(Loaded.ReadString("Empty"), "");
    EXPECT_EQ(Loaded.ReadInteger("Min"), INT32_MIN);
    EXPECT_EQ(Loaded.DataType("Exp"), rdExpandString);
    EXPECT_EQ(Loaded.DataType("Blob"), rdBinary);
    EXPECT_EQ(Loaded.DataType("NoBytes"), rdBinary);

    // Lines it cannot parse are skipped, the rest still loads.
    std::ofstream(Dir.Path / "bad.reg")
        << "junk\n\"A\"=dword:zz\n\"B\"=\"unterminated\n\"C\"=\"ok\"\n\"D\"=hex:1\n";
    Loaded.LoadFromFile(Dir.Path / "bad.reg");
    EXPECT_EQ(Loaded.ValueNames(), (std::vector<std::string>{"C", "D"}));
    EXPECT_THROW(Loaded.LoadFromFile(Dir.Path), ERegistryError);
}

} // namespace
