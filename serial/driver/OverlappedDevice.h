// The state machine of one overlapped serial device, shared by every driver.
//
// Whatever carries the bytes (a tty, a socket, a test's script), a device behind the seam keeps the
// same state and follows the same rules: an input queue; pending reads and writes with their
// COMMTIMEOUTS deadlines; the event mask, the events remembered while no wait is pending and the one
// pending WaitCommEvent; the recorded line errors; and what a hang-up and a close do to all of them.
// TOverlappedDevice is that part. A driver keeps only what is its own (the POSIX driver: poll,
// termios, markers and modem lines; the scriptable one: scripting and the call log) and reaches its
// line through TLine.
//
// Time is passed in: the device never reads a clock, sleeps or waits, so a driver decides when
// deadlines are looked at (the POSIX driver's thread, from its poll time-out) or whether they are at
// all (the scriptable driver has no clock). Nothing here touches the operating system except the
// records' events.
//
// The seam's operations keep their contracts (ComDriver.h): true on success; false with the
// calling thread's last error set, ERROR_IO_PENDING when an operation goes on in the background.
// After Close every operation fails with EBADF; after HangUp reads drain what is queued, and reads,
// writes, waits and settings fail with EIO (or the reason the driver gave for the hang-up), while
// PurgeComm, SetCommMask and ClearCommError keep working (ClearCommError reports CE_IOE once), so
// a port can still be closed in its usual order.
//
// Read time-outs follow the Windows rules: interval MAXDWORD with both totals 0 returns at once with
// what is queued; interval and multiplier MAXDWORD with a constant returns at once with what is
// queued or else with the first bytes to arrive within the constant; otherwise the total time-out is
// multiplier x count + constant, the interval time-out bounds the gap between bytes once the first
// has come, and 0 means no time-out. A read that times out succeeds with what it has. Writes hand
// the line what it takes at once and go on in the background; a write time-out (multiplier x count
// + constant, 0 none) ends the write successfully with the bytes written so far.
//
// Events follow the Windows rules too: only events in the mask are reported; one that finds no wait
// pending is remembered until the next WaitCommEvent, which then completes at once; SetCommMask
// forgets what was remembered and ends a pending wait with mask 0. A hang-up ends a pending wait
// whose mask holds EV_ERR with EV_ERR, so the port hears of it, and any other with EIO.
// One departure: a mask that takes EV_RXCHAR while the input queue holds bytes remembers EV_RXCHAR,
// because those bytes came while nobody listened for them (the port sets its mask after the line
// has started to fill) and would otherwise wait for a next byte that may never come.
//
// Thread safety: none of its own. The driver serialises every call (one mutex per device); the
// records' events are signalled inside the call that ends an operation.
#pragma once

#include "serial/driver/ComDriver.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <deque>
#include <string_view>
#include <vector>

namespace ComApi {

class TOverlappedDevice {
public:
    using TClock = std::chrono::steady_clock;
    using TTime = TClock::time_point;

    static constexpr std::size_t MinQueue = 4096;
    static constexpr std::size_t MaxQueue = 16u << 20; // a caller's -1 (4 GiB) must not allocate that much

    // What the device asks of the driver's line. Called with the driver's lock held.
    class TLine {
    public:
        virtual ~TLine() = default;
        // Hands the line up to Count bytes: how many it took (0: none now), or -1 when the device has
        // gone, which hangs the device up.
        virtual std::ptrdiff_t Send(const char *Bytes, std::size_t Count) = 0;
        // A read found the queue short: move what the line already holds into the queue now (Put,
        // EndBatch), so a streaming reader need not wait for the driver's thread.
        virtual void Fetch(TTime) {}
        // A deadline was added or room appeared in a full queue: whoever watches the line and the
        // deadlines must look again.
        virtual void Changed() {}
        // The wait that named this line is about to end; its record's event is set right after, so
        // a line lent to the wait's waiters must be taken back now.
        virtual void WaitEnding() {}
    };

    TOverlappedDevice() = default;
    TOverlappedDevice(TOverlappedDevice &&) = default;
    TOverlappedDevice &operator=(TOverlappedDevice &&) = default;

    // ---- The seam's operations (see ComDriver.h); Line is the driver's own
    bool SetupComm(DWORD InQueue, TLine &Line);
    bool SetCommState(const DCB &Dcb); // keeps the DCB; mapping it onto a line is the driver's business
    bool SetCommTimeouts(const COMMTIMEOUTS &Timeouts);
    // COMSTAT counts the input queue and the bytes of pending writes not yet handed to the line.
    bool ClearCommError(DWORD *Errors, COMSTAT *Stat);
    bool PurgeComm(DWORD Flags, TLine &Line);
    bool ReadFile(void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Ov, TTime Now, TLine &Line);
    bool WriteFile(const void *Buffer, DWORD Count, DWORD *Written, TOverlapped *Ov, TTime Now, TLine &Line);
    bool SetCommMask(DWORD Mask);
    // Line, when given, hears WaitEnding before the wait that goes pending here ends.
    bool WaitCommEvent(DWORD *Mask, TOverlapped *Ov, TLine *Line = nullptr);
    // EBADF once closed; with DeadFails, EIO once hung up.
    bool Usable(bool DeadFails = true) const;

    // ---- Input from the line, in batches
    // Room left in the queue: a driver that reads its line takes no more (flow control then holds
    // the sender back). Put takes more all the same.
    std::size_t Room() const noexcept { return FCount < FSize ? FSize - FCount : 0; }
    void Put(std::string_view Bytes);
    // Raises EV_RXCHAR once for everything put since the last batch (with EV_RXFLAG when the event
    // character came, EV_RX80FULL when the queue crossed 80 % of its size), then serves the reads.
    void EndBatch(TTime Now);
    // Hands queued bytes to the pending reads, oldest first.
    void ServeReads(TTime Now);

    // ---- Happenings on the line
    void Report(DWORD Events);
    void AddErrors(DWORD Errors) noexcept { FErrors |= Errors; }
    // Why is the error that the operations failing from now on report: EIO, or a driver's more
    // precise reason (EPROTO: the far end broke its protocol).
    void HangUp(DWORD Why = EIO);
    // Ends everything pending with ECANCELED; afterwards the device never touches a record again.
    void Close();

    // ---- Pending writes and deadlines
    // Hands pending writes to the line in order; true when the last one has ended (the output is
    // then the line's alone).
    bool SendPending(TLine &Line);
    // Ends reads and writes whose deadline has passed; true when that left no write pending.
    bool Expire(TTime Now);
    // Ends every pending read with what it has, as if its time-out had come.
    void TimeOutReads();
    // The nearest deadline of a pending operation; TTime::max() when nothing is timed.
    TTime NextDeadline() const;

    // ---- State
    const DCB &Dcb() const noexcept { return FDcb; }
    DWORD Mask() const noexcept { return FMask; }
    std::size_t Queued() const noexcept { return FCount; }
    std::size_t QueueSize() const noexcept { return FSize; }
    std::size_t PendingReads() const noexcept { return FReads.size(); }
    std::size_t PendingWrites() const noexcept { return FWrites.size(); }
    std::size_t Unsent() const noexcept; // bytes of pending writes not yet handed to the line
    bool WaitPending() const noexcept { return FWaitOv != nullptr; }
    bool HungUp() const noexcept { return FHungUp; }
    bool Closed() const noexcept { return FClosed; }

private:
    struct TRead {
        char *Buffer;
        DWORD Count;
        DWORD Done;
        bool FirstBytesEnd; // the MAXDWORD/MAXDWORD/constant rule: ends with the first bytes
        DWORD Interval;     // 0: none
        TTime Total, Gap;
        TOverlapped *Ov;
    };
    struct TWrite {
        std::vector<char> Bytes;
        std::size_t Done;
        DWORD Count; // the caller's count, reported for a write ended early
        TTime Deadline;
        TOverlapped *Ov;
    };

    TRead PendingRead(char *Buffer, DWORD Count, DWORD Done, TOverlapped *Ov, TTime Now) const;
    bool SendSome(TWrite &Write, TLine &Line);
    void EndReads(DWORD Error);
    void EndWrites(DWORD Error);
    void EndWait(DWORD Error);
    std::size_t Take(char *To, std::size_t Max);
    void Resize(std::size_t Size, std::size_t Storage);

    bool FClosed = false, FHungUp = false;
    DCB FDcb;
    COMMTIMEOUTS FTimeouts;
    DWORD FErrors = 0, FMask = 0, FRemembered = 0, FHangUpError = EIO;
    DWORD *FWaitMask = nullptr;
    TOverlapped *FWaitOv = nullptr;
    TLine *FWaitLine = nullptr;
    std::deque<TRead> FReads;
    std::deque<TWrite> FWrites;

    // The input queue: a ring of FQueue.size() bytes, of which FSize count as the queue's size.
    std::vector<char> FQueue = std::vector<char>(MinQueue);
    std::size_t FSize = MinQueue, FHead = 0, FCount = 0;
    bool FInBatch = false, FBatchFlag = false;
    std::size_t FBatchBefore = 0;
};

} // namespace ComApi
