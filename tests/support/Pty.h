// A pseudo-terminal pair for the tests of everything that talks on a serial line: the code under test
// opens SlavePath() as its serial device, the test plays the far end of the line on the master side.
//
// The pair keeps its own slave descriptor open for its whole life, so the line does not hang up
// between two opens of the device under test; closing the master (CloseMaster) is how a test pulls
// the plug. The slave starts in raw mode, so nothing the far end sends is echoed back or edited even
// before the device under test applies its own settings.
//
// Every wait here has an upper bound: a test that waits for bytes that never come fails instead of
// hanging. Construction never fails: check Ok() and skip the test when the system has no
// pseudo-terminals.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class TPtyPair {
public:
    TPtyPair();
    ~TPtyPair();
    TPtyPair(const TPtyPair &) = delete;
    TPtyPair &operator=(const TPtyPair &) = delete;

    bool Ok() const { return FMaster >= 0; }
    const std::string &SlavePath() const { return FPath; }
    int MasterFd() const { return FMaster; }
    int SlaveFd() const { return FSlave; }

    // Sends all bytes from the far end; false if the line would not take them within Milliseconds.
    bool Send(std::string_view Bytes, int Milliseconds = 10000);
    // Receives exactly Count bytes at the far end, or what came before Milliseconds ran out.
    std::string Receive(std::size_t Count, int Milliseconds = 10000);
    // The far end goes away: the device under test sees a hang-up.
    void CloseMaster();

private:
    int FMaster = -1, FSlave = -1;
    std::string FPath;
};
