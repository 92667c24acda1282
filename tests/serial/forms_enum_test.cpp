// Port enumeration on fake sysfs trees laid out as the kernel lays out /sys: class/tty/<name> with a
// device link whose driver link names the driver; beside it a fake /dev with udev's by-id links.
#include "serial/driver/ComEnum.h"
#include "serial/port/ComError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TFakeSysfs {
public:
    TFakeSysfs() {
        char Template[] = "/tmp/forms-sysfs-XXXXXX";
        Root = ::mkdtemp(Template);
        fs::create_directories(Root / "class" / "tty");
    }
    ~TFakeSysfs() {
        std::error_code Ignored;
        fs::remove_all(Root, Ignored);
    }

    // A tty without a device, as virtual consoles and pseudo-terminal masters are.
    void AddVirtual(const std::string &Name) { fs::create_directories(Tty(Name)); }

    // Type: the UART type file that the serial core publishes; negative for none.
    void AddDevice(const std::string &Name, const std::string &Driver, int Type = -1) {
        const fs::path Device = Root / "devices" / ("dev-" + Name);
        const fs::path DriverDir = Root / "bus" / "drivers" / Driver;
        fs::create_directories(Device);
        fs::create_directories(DriverDir);
        fs::create_directory_symlink(DriverDir, Device / "driver");
        fs::create_directories(Tty(Name));
        fs::create_directory_symlink(Device, Tty(Name) / "device");
        if (Type >= 0)
            std::ofstream(Tty(Name) / "type") << Type << "\n";
    }

    // A USB adapter: its tty hangs from an interface of a USB device that carries the descriptors
    // (an empty one is absent), and udev links a stable name to the tty's node.
    void AddUsb(const std::string &Name, const std::string &Id, const std::vector<std::string> &Descriptors) {
        const fs::path Usb = Root / "devices" / "usb1" / ("1-" + Name);
        const fs::path Port = Usb / "1-1:1.0" / Name;
        fs::create_directories(Port);
        fs::create_directories(Root / "bus" / "drivers" / "ftdi_sio");
        fs::create_directory_symlink(Root / "bus" / "drivers" / "ftdi_sio", Port / "driver");
        std::ofstream(Usb / "idVendor") << "0403\n";
        const char *Files[] = {"manufacturer", "product", "serial"};
        for (std::size_t N = 0; N < Descriptors.size(); ++N)
            if (!Descriptors[N].empty())
                std::ofstream(Usb / Files[N]) << Descriptors[N] << "\n";
        fs::create_directories(Tty(Name));
        fs::create_directory_symlink(Port, Tty(Name) / "device");
        AddStableName(Id, "../../" + Name);
        std::ofstream(Dev() / Name) << "";
    }
    void AddStableName(const std::string &Id, const std::string &Target) {
        fs::create_directories(Dev() / "serial" / "by-id");
        fs::create_symlink(Target, Dev() / "serial" / "by-id" / Id);
    }

    fs::path Tty(const std::string &Name) const { return Root / "class" / "tty" / Name; }
    fs::path Dev() const { return Root / "dev"; }

    fs::path Root;
};

class ListComPortsTest : public ::testing::Test {
protected:
    void SetUp() override { ::unsetenv("EXTRA_SERIAL_PORTS"); }
    void TearDown() override { ::unsetenv("EXTRA_SERIAL_PORTS"); }

    std::vector<std::string> List() {
        std::vector<std::string> Ports{"stale"};
        ListComPorts(Ports, Sysfs.Root, Sysfs.Dev());
        return Ports;
    }

    TFakeSysfs Sysfs;
};

using Names = std::vector<std::string>;

TEST_F(ListComPortsTest, ListsBoundDevicesAndOnlyProbed8250Ports) {
    Sysfs.AddVirtual("tty0");
    Sysfs.AddVirtual("console");
    Sysfs.AddVirtual("ptmx");
    Sysfs.AddDevice("ttyUSB0", "ftdi_sio");
    Sysfs.AddDevice("ttyACM0", "cdc_acm");
    Sysfs.AddDevice("ttyS0", "serial8250", 4); // a probed 16550A
    Sysfs.AddDevice("ttyS1", "serial8250", 0); // one of the phantoms
    Sysfs.AddDevice("ttyS2", "serial8250");    // no type to read: treated as a phantom
    Sysfs.AddDevice("ttyS4", "serial", 4);     // a PNP-probed port has a driver of its own
    EXPECT_EQ(List(), (Names{"ttyACM0", "ttyS0", "ttyS4", "ttyUSB0"}));
}

TEST_F(ListComPortsTest, AddsExtraPortsFromTheEnvironment) {
    Sysfs.AddDevice("ttyUSB0", "ftdi_sio");
    ::setenv("EXTRA_SERIAL_PORTS", ":/dev/pts/7::/tmp/sim/port:/dev/ttyUSB0:", 1);
    // Names as the port takes them; the duplicate is kept.
    EXPECT_EQ(List(), (Names{"/tmp/sim/port", "pts/7", "ttyUSB0", "ttyUSB0"}));
}

TEST_F(ListComPortsTest, NetworkNamesKeepTheirColons) {
    ::setenv("EXTRA_SERIAL_PORTS",
             "/dev/pts/7:tcp://127.0.0.1:2000:rfc2217://[::1]:3000;/tmp/a b\ttcp://host:1:"
             "mqtt://broker/b1:mqtt://[::1]:1884/b-2 mqtt://h",
             1);
    EXPECT_EQ(List(), (Names{"//h", "/tmp/a", "b", "mqtt", "mqtt://[::1]:1884/b-2", "mqtt://broker/b1",
                             "pts/7", "rfc2217://[::1]:3000", "tcp://127.0.0.1:2000", "tcp://host:1"}));
}

TEST_F(ListComPortsTest, SortsByTextIgnoringAsciiCase) {
    for (const char *Name : {"COM3", "COM10", "com2", "COM1", "ttyusb1", "ttyUSB0"})
        Sysfs.AddDevice(Name, "fake");
    EXPECT_EQ(List(), (Names{"COM1", "COM10", "com2", "COM3", "ttyUSB0", "ttyusb1"}));
}

TEST_F(ListComPortsTest, OffersEachUsbAdapterByItsStableNameToo) {
    Sysfs.AddUsb("ttyUSB0", "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
                 {"FTDI", "FT232R USB UART", "A50285BI"});
    Sysfs.AddUsb("ttyACM0", "usb-Arduino_Uno_123-if00", {"", "Uno", ""});
    Sysfs.AddDevice("ttyS0", "serial8250", 4);
    std::ofstream(Sysfs.Dev() / "ttyS0") << "";
    Sysfs.AddStableName("usb-gone-if00-port0", "../../ttyUSB9"); // dangling: left out
    std::ofstream(Sysfs.Dev() / "ttyS1") << "";
    Sysfs.AddStableName("usb-phantom-if00-port0", "../../ttyS1"); // a tty the class does not list
    EXPECT_EQ(List(), (Names{"serial/by-id/usb-Arduino_Uno_123-if00",
                             "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyACM0", "ttyS0",
                             "ttyUSB0"}));
    struct TRow {
        const char *Port, *Description;
    };
    const TRow Rows[] = {
        {"serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "FTDI FT232R USB UART (A50285BI)"},
        {"ttyUSB0", "FTDI FT232R USB UART (A50285BI)"},
        {"serial/by-id/usb-Arduino_Uno_123-if00", "Uno"},
        {"ttyS0", ""},
        {"serial/by-id/usb-gone-if00-port0", ""},
    };
    for (const TRow &Row : Rows)
        EXPECT_EQ(UsbDeviceDescription(Row.Port, Sysfs.Root, Sysfs.Dev()), Row.Description) << Row.Port;
}

TEST_F(ListComPortsTest, EmptyTreeGivesEmptyList) {
    EXPECT_EQ(List(), Names{});
}

TEST_F(ListComPortsTest, UnreadableTreeRaisesRegistryErrorAndKeepsTheList) {
    fs::remove_all(Sysfs.Root / "class");
    ::setenv("EXTRA_SERIAL_PORTS", "/tmp/sim/port", 1); // no partial list from the other source
    std::vector<std::string> Ports{"kept"};
    try {
        ListComPorts(Ports, Sysfs.Root);
        ADD_FAILURE() << "no error";
    } catch (const EComPort &E) {
        EXPECT_EQ(E.ErrorNumber(), 23);
        EXPECT_EQ(E.SystemErrorNumber(), ENOENT);
    }
    EXPECT_EQ(Ports, Names{"kept"});
}

} // namespace
