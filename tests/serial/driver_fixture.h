// The driver tests' fixture: a driver with one open device, and the far end of its line played
// through TFarEnd, so that a case reads the same for the POSIX driver on a pseudo-terminal pair and
// for the scriptable driver.
#pragma once

#include "serial/driver/posix/NetComDriver.h"
#include "serial/driver/posix/PosixComDriver.h"
#include "serial/testing/ScriptComDriver.h"
#include "tests/support/Pty.h"
#include "tests/support/Tcp.h"

#include <gtest/gtest.h>

#ifdef DUD_MQTT_TESTS
#include "mqtt/Broker.h"
#include "serial/driver/posix/MqttComDriver.h"
#include "support/SimProcess.h"

#include <csignal>
#endif

#include <memory>
#include <string>
#include <utility>

using namespace ComApi;

constexpr DWORD Bound = 10000; // generous upper bound for anything the test waits for

struct TOp {
    TEvent Event{true};
    TOverlapped Ov;
    TOp() { Ov.hEvent = &Event; }
    bool Done() const { return Event.IsSet(); }
    bool Wait() { return WaitForSingleObject(Event, Bound) == WAIT_OBJECT_0; }
};

// The other side of the line and the system around the driver.
struct TFarEnd {
    virtual ~TFarEnd() = default;
    virtual TComDriver &Driver() = 0;
    virtual std::string Port() const = 0;
    virtual bool Send(std::string_view Bytes) = 0;
    virtual std::string Receive(std::size_t Count) = 0; // the first bytes the device wrote
    virtual void HangUp() = 0;
    // Lets the time-out of a pending read come (a scripted line has no clock to wait for).
    virtual void LetTimePass() {}
};

struct TPtyEnd : TFarEnd {
    TPtyPair Pty;
    TPosixComDriver Posix;
    TComDriver &Driver() override { return Posix; }
    std::string Port() const override { return Pty.SlavePath(); }
    bool Send(std::string_view Bytes) override { return Pty.Send(Bytes); }
    std::string Receive(std::size_t Count) override { return Pty.Receive(Count); }
    void HangUp() override { Pty.CloseMaster(); }
};

struct TScriptEnd : TFarEnd {
    TScriptComDriver Script;
    TScriptEnd() { Script.AddDevice("COM1"); }
    TComDriver &Driver() override { return Script; }
    std::string Port() const override { return "COM1"; }
    bool Send(std::string_view Bytes) override { return Script.PushRx(Bytes), true; }
    std::string Receive(std::size_t Count) override { return Script.Written().substr(0, Count); }
    void HangUp() override { Script.HangUp(); }
    void LetTimePass() override { Script.TimeOutReads(); }
};

struct TTcpEnd : TFarEnd {
    TTcpListener Listener;
    TTcpPeer Peer;
    TNetComDriver Net;
    TComDriver &Driver() override { return Net; }
    std::string Port() const override { return "tcp://127.0.0.1:" + std::to_string(Listener.Port()); }
    TTcpPeer &Accepted() {
        if (!Peer.Ok())
            Peer = Listener.Accept();
        return Peer;
    }
    bool Send(std::string_view Bytes) override { return Accepted().Send(Bytes); }
    std::string Receive(std::size_t Count) override { return Accepted().Receive(Count); }
    void HangUp() override { Accepted().Close(); }
};

#ifdef DUD_MQTT_TESTS
// A board that relaymqtt serves: a real mosquitto on a free loopback port, a real bridge holding the
// pair's slave as the board's port, and the test playing the board on the master.
struct TMqttEnd : TFarEnd {
    mqtttest::TScratch Scratch;
    mqtttest::TBroker Broker{Scratch};
    TPtyPair Pty;
    simtest::TSimProcess Bridge{RELAYMQTT_PATH,
                                {"--port", Pty.SlavePath(), "--broker",
                                 "127.0.0.1:" + std::to_string(Broker.Port()), "--board", "b1", "--poll",
                                 "0"}};
    TMqttComDriver Mqtt{std::chrono::milliseconds(Bound)};
    // What the bridge asks the board as it opens the port: the board's, not the device's.
    const std::string Asked = Pty.Receive(10);
    ~TMqttEnd() override { Bridge.Signal(SIGTERM); }
    TComDriver &Driver() override { return Mqtt; }
    std::string Port() const override { return "mqtt://127.0.0.1:" + std::to_string(Broker.Port()) + "/b1"; }
    bool Send(std::string_view Bytes) override { return Pty.Send(Bytes); }
    std::string Receive(std::size_t Count) override { return Pty.Receive(Count); }
    void HangUp() override { Pty.CloseMaster(); } // the bridge says offline
};
#endif

// A driver with one open device on the far end's port.
struct TDriverFixture : ::testing::Test {
    std::unique_ptr<TFarEnd> Far;
    TComDriver *Driver = nullptr;
    HANDLE H = INVALID_HANDLE_VALUE;

    // "posix" (skipped where there are no pseudo-terminals), "tcp" (a loopback connection), "mqtt" (a
    // broker and a bridge; skipped where they are missing) or "script".
    void Open(const std::string &Kind) {
        if (Kind == "script") {
            Far = std::make_unique<TScriptEnd>();
        } else if (Kind == "tcp") {
            Far = std::make_unique<TTcpEnd>();
        } else if (Kind == "mqtt") {
#ifdef DUD_MQTT_TESTS
            std::string missing;
            if (!mqtttest::ToolsPresent(missing))
                GTEST_SKIP() << missing;
            Far = std::make_unique<TMqttEnd>();
#else
            GTEST_SKIP() << "built without libmosquitto";
#endif
        } else {
            auto pty = std::make_unique<TPtyEnd>();
            if (!pty->Pty.Ok())
                GTEST_SKIP() << "no pseudo-terminal support";
            Far = std::move(pty);
        }
        Driver = &Far->Driver();
        H = Driver->CreateFile(Far->Port());
        ASSERT_NE(H, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (H != INVALID_HANDLE_VALUE)
            Driver->CloseHandle(H);
    }
    void Timeouts(DWORD Interval, DWORD Multiplier, DWORD Constant, DWORD WriteMultiplier = 0,
                  DWORD WriteConstant = 0) {
        ASSERT_TRUE(Driver->SetCommTimeouts(
            H, COMMTIMEOUTS{Interval, Multiplier, Constant, WriteMultiplier, WriteConstant}));
    }
    // Starts a read; true when it finished at once.
    bool Read(char *Buffer, DWORD Count, TOp &Op) {
        DWORD n = 0;
        if (Driver->ReadFile(H, Buffer, Count, &n, &Op.Ov))
            return true;
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        return false;
    }
    // The operation's outcome once it has ended: its error (0: success) and its byte count.
    std::pair<DWORD, DWORD> Result(TOp &Op) {
        EXPECT_TRUE(Op.Wait());
        DWORD n = 0;
        return {Driver->GetOverlappedResult(H, &Op.Ov, &n, false) ? 0 : GetLastError(), n};
    }
    // Waits, on events, until the input queue holds Count bytes (sets the mask to EV_RXCHAR).
    bool Queued(DWORD Count) {
        if (!Driver->SetCommMask(H, EV_RXCHAR))
            return false;
        for (COMSTAT stat; Driver->ClearCommError(H, nullptr, &stat);) {
            if (stat.cbInQue >= Count)
                return true;
            DWORD mask = 0;
            TOp wait;
            if (!Driver->WaitCommEvent(H, &mask, &wait.Ov) && !wait.Wait())
                return false;
            // Asking first orders the driver's write of the mask before our read of it.
            if (!Driver->GetOverlappedResult(H, &wait.Ov, nullptr, false) || mask == 0)
                return false;
        }
        return false;
    }
};
