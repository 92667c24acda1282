// Helpers shared by the port component's tests: a main loop that runs queued main-thread calls, an
// event recorder, a pseudo-terminal pair and a writer of small MO catalogues.
#pragma once

#include "serial/port/ComPlatform.h"
#include "serial/port/ComPort.h"
#include "serial/testing/ScriptComDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace ComApi;

// Runs queued main-thread calls, as the panel's message loop does, until Done() holds; false when
// it still does not hold after the bound. Conditions that no queued call announces (a delivery on
// the event thread, a driver call) are looked at again after every short wait.
template <typename P> bool PumpUntil(P Done, int Milliseconds = 10000) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
    while (!Done()) {
        if (std::chrono::steady_clock::now() >= Deadline)
            return false;
        WaitForSingleObject(MainThreadCallsPending(), 2);
        ProcessMainThreadCalls();
    }
    return true;
}

// Records every event of a port as a short text ("AfterOpen", "CTS=1", "RxChar=4", "Error=0x2"),
// in the order they fire; safe to fill from the event thread.
class TEventLog {
public:
    void Attach(TCustomComPort &Port) {
        Port.SetOnBeforeOpen([this](TCustomComPort &) { Add("BeforeOpen"); });
        Port.SetOnAfterOpen([this](TCustomComPort &) { Add("AfterOpen"); });
        Port.SetOnBeforeClose([this](TCustomComPort &) { Add("BeforeClose"); });
        Port.SetOnAfterClose([this](TCustomComPort &) { Add("AfterClose"); });
        Port.SetOnRxChar([this](TCustomComPort &, std::int32_t N) { Add("RxChar=" + std::to_string(N)); });
        Port.SetOnTxEmpty([this](TCustomComPort &) { Add("TxEmpty"); });
        Port.SetOnBreak([this](TCustomComPort &) { Add("Break"); });
        Port.SetOnRing([this](TCustomComPort &) { Add("Ring"); });
        Port.SetOnRxFlag([this](TCustomComPort &) { Add("RxFlag"); });
        Port.SetOnRx80Full([this](TCustomComPort &) { Add("Rx80Full"); });
        Port.SetOnCTSChange(
            [this](TCustomComPort &, bool On) { Add(std::string("CTS=") + (On ? "1" : "0")); });
        Port.SetOnDSRChange(
            [this](TCustomComPort &, bool On) { Add(std::string("DSR=") + (On ? "1" : "0")); });
        Port.SetOnRLSDChange(
            [this](TCustomComPort &, bool On) { Add(std::string("RLSD=") + (On ? "1" : "0")); });
        Port.SetOnError([this](TCustomComPort &, TComErrors E) { Add("Error=" + std::to_string(E.Bits())); });
    }
    void Add(const std::string &Entry) {
        std::lock_guard Lock(FLock);
        FEntries.push_back(Entry);
    }
    std::vector<std::string> Take() {
        std::lock_guard Lock(FLock);
        return std::exchange(FEntries, {});
    }
    std::size_t Size() {
        std::lock_guard Lock(FLock);
        return FEntries.size();
    }
    bool Has(const std::string &Entry) {
        std::lock_guard Lock(FLock);
        return std::find(FEntries.begin(), FEntries.end(), Entry) != FEntries.end();
    }

private:
    std::mutex FLock;
    std::vector<std::string> FEntries;
};

// A port on a scripted device "COM1", with every call logged.
struct TScriptedPort : ::testing::Test {
    TScriptComDriver Driver;
    TEventLog Log; // before the port: its close events on destruction still reach the log
    TComPort Port{Driver};

    TScriptedPort() {
        Driver.AddDevice("COM1");
        Log.Attach(Port);
    }
    std::vector<std::string> CallsAfter(auto Action) {
        Driver.ClearCalls();
        Action();
        return Driver.CallNames();
    }
};

// A pseudo-terminal pair: the port opens the slave by path, the test plays the far end on the master.
class TPtyPair {
public:
    TPtyPair() {
        char Name[256] = {};
        if (::openpty(&FMaster, &FSlave, Name, nullptr, nullptr) != 0)
            return;
        FSlavePath = Name;
        termios Raw{};
        ::tcgetattr(FMaster, &Raw);
        ::cfmakeraw(&Raw);
        ::tcsetattr(FMaster, TCSANOW, &Raw);
    }
    ~TPtyPair() {
        if (FSlave >= 0)
            ::close(FSlave);
        if (FMaster >= 0)
            ::close(FMaster);
    }
    TPtyPair(const TPtyPair &) = delete;
    TPtyPair &operator=(const TPtyPair &) = delete;

    bool Ok() const { return FMaster >= 0; }
    int Master() const { return FMaster; }
    const std::string &SlavePath() const { return FSlavePath; }
    void Send(const std::string &Bytes) const {
        ASSERT_EQ(::write(FMaster, Bytes.data(), Bytes.size()), static_cast<ssize_t>(Bytes.size()));
    }
    // Reads from the far end until Count bytes have arrived or the bound has passed.
    std::string Receive(std::size_t Count, int Milliseconds = 10000) const {
        std::string Got;
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
        while (Got.size() < Count && std::chrono::steady_clock::now() < Deadline) {
            pollfd P{FMaster, POLLIN, 0};
            if (::poll(&P, 1, 100) == 1) {
                char Buf[256];
                const ssize_t N = ::read(FMaster, Buf, sizeof Buf);
                if (N > 0)
                    Got.append(Buf, static_cast<std::size_t>(N));
            }
        }
        return Got;
    }

private:
    int FMaster = -1;
    int FSlave = -1;
    std::string FSlavePath;
};

// Opens a port on the real (POSIX) driver, or skips the test when this build's driver cannot open
// devices yet.
inline void OpenOrSkip(TCustomComPort &Port) {
    try {
        Port.OpenPort();
    } catch (const EComPort &E) {
        if (E.SystemErrorNumber() == ENOSYS)
            GTEST_SKIP() << "the POSIX driver cannot open devices in this build";
        throw;
    }
}

// The number of open descriptors of this process.
inline std::size_t OpenDescriptorCount() {
    std::size_t Count = 0;
    for ([[maybe_unused]] const auto &Entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++Count;
    return Count;
}

// The number of threads of this process.
inline std::size_t ThreadCount() {
    std::size_t Count = 0;
    for ([[maybe_unused]] const auto &Entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++Count;
    return Count;
}

// Writes a little-endian MO catalogue with the given translations (no hash table).
inline void WriteMoCatalogue(const std::filesystem::path &Path,
                             const std::map<std::string, std::string> &Entries) {
    std::filesystem::create_directories(Path.parent_path());
    const auto N = static_cast<std::uint32_t>(Entries.size());
    const std::uint32_t O = 28, T = O + 8 * N;
    std::uint32_t Offset = T + 8 * N;
    std::vector<std::uint32_t> Header = {0x950412de, 0, N, O, T, 0, Offset};
    std::vector<std::uint32_t> Originals, Translations;
    std::string Strings;
    for (const auto &[Key, Value] : Entries) {
        Originals.insert(Originals.end(), {static_cast<std::uint32_t>(Key.size()), Offset});
        Offset += static_cast<std::uint32_t>(Key.size()) + 1;
        Strings += Key + '\0';
    }
    for (const auto &[Key, Value] : Entries) {
        Translations.insert(Translations.end(), {static_cast<std::uint32_t>(Value.size()), Offset});
        Offset += static_cast<std::uint32_t>(Value.size()) + 1;
        Strings += Value + '\0';
    }
    std::ofstream Out(Path, std::ios::binary);
    auto Put = [&](const std::vector<std::uint32_t> &Words) {
        Out.write(reinterpret_cast<const char *>(Words.data()),
                  static_cast<std::streamsize>(Words.size() * 4));
    };
    Put(Header);
    Put(Originals);
    Put(Translations);
    Out.write(Strings.data(), static_cast<std::streamsize>(Strings.size()));
}
