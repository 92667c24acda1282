// Helpers shared by the port component's tests: a main loop that runs queued main-thread calls, an
// event recorder and a port on the scriptable driver; with the shared test support (pseudo-terminal
// pair, leak check, MO catalogues).
#pragma once

#include "serial/port/ComPlatform.h"
#include "serial/port/ComPort.h"
#include "serial/testing/ScriptComDriver.h"
#include "tests/support/Leaks.h"
#include "tests/support/MoImage.h"
#include "tests/support/Pty.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
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
