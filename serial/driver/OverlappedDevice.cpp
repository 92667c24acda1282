// One overlapped device's queues, pending operations, events and hang-up rules (see the header).
#include "serial/driver/OverlappedDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace ComApi {

namespace {

using TMs = std::chrono::milliseconds;

std::uint64_t Product(DWORD A, DWORD B) {
    return std::uint64_t(A) * B;
}

bool ImmediateRead(const COMMTIMEOUTS &T) {
    return T.ReadIntervalTimeout == MAXDWORD && T.ReadTotalTimeoutMultiplier == 0 &&
           T.ReadTotalTimeoutConstant == 0;
}

bool FirstBytesRead(const COMMTIMEOUTS &T) {
    return T.ReadIntervalTimeout == MAXDWORD && T.ReadTotalTimeoutMultiplier == MAXDWORD &&
           T.ReadTotalTimeoutConstant != 0 && T.ReadTotalTimeoutConstant != MAXDWORD;
}

void StartOverlapped(TOverlapped *Ov) {
    Ov->InternalHigh = 0;
    Ov->Internal = ERROR_IO_PENDING;
    if (Ov->hEvent)
        Ov->hEvent->Reset();
}

// The record belongs to the caller again once its event is set: nothing may touch it afterwards.
void EndOverlapped(TOverlapped *Ov, DWORD Error, DWORD Bytes) {
    Ov->InternalHigh = Bytes;
    Ov->Internal = Error;
    if (Ov->hEvent)
        Ov->hEvent->Set();
}

} // namespace

// ---- Input queue (a ring)

std::size_t TOverlappedDevice::Take(char *To, std::size_t Max) {
    const std::size_t n = std::min(Max, FCount);
    const std::size_t first = std::min(n, FQueue.size() - FHead);
    std::memcpy(To, FQueue.data() + FHead, first);
    std::memcpy(To + first, FQueue.data(), n - first);
    FHead = (FHead + n) % FQueue.size();
    FCount -= n;
    return n;
}

void TOverlappedDevice::Put(std::string_view Bytes) {
    if (!FInBatch) {
        FInBatch = true;
        FBatchFlag = false;
        FBatchBefore = FCount;
    }
    if (std::memchr(Bytes.data(), FDcb.EvtChar, Bytes.size()))
        FBatchFlag = true;
    if (FCount + Bytes.size() > FQueue.size())
        Resize(FSize, std::max(FQueue.size() * 2, FCount + Bytes.size()));
    const std::size_t tail = (FHead + FCount) % FQueue.size();
    const std::size_t first = std::min(Bytes.size(), FQueue.size() - tail);
    std::memcpy(FQueue.data() + tail, Bytes.data(), first);
    std::memcpy(FQueue.data(), Bytes.data() + first, Bytes.size() - first);
    FCount += Bytes.size();
}

void TOverlappedDevice::Resize(std::size_t Size, std::size_t Storage) {
    std::vector<char> queue(std::max({Size, Storage, FCount})); // never drop what is queued
    const std::size_t count = FCount;
    Take(queue.data(), count);
    FQueue = std::move(queue);
    FSize = Size;
    FHead = 0;
    FCount = count;
}

void TOverlappedDevice::EndBatch(TTime Now) {
    if (std::exchange(FInBatch, false) && FCount > FBatchBefore) {
        const std::size_t limit = FSize * 8 / 10;
        Report(EV_RXCHAR | (FBatchFlag ? EV_RXFLAG : 0) |
               (FBatchBefore < limit && FCount >= limit ? EV_RX80FULL : 0));
    }
    ServeReads(Now);
}

void TOverlappedDevice::ServeReads(TTime Now) {
    while (!FReads.empty() && FCount > 0) {
        TRead &read = FReads.front();
        read.Done += static_cast<DWORD>(Take(read.Buffer + read.Done, read.Count - read.Done));
        if (read.Interval)
            read.Gap = Now + TMs(read.Interval);
        if (read.Done < read.Count && !read.FirstBytesEnd)
            break;
        EndOverlapped(read.Ov, 0, read.Done);
        FReads.pop_front();
    }
}

// ---- Ending operations

void TOverlappedDevice::Report(DWORD Events) {
    Events &= FMask;
    if (Events == 0 || FClosed)
        return;
    if (FWaitOv) {
        *FWaitMask = Events;
        FWaitMask = nullptr;
        if (TLine *line = std::exchange(FWaitLine, nullptr))
            line->WaitEnding();
        EndOverlapped(std::exchange(FWaitOv, nullptr), 0, 0);
    } else {
        FRemembered |= Events;
    }
}

void TOverlappedDevice::EndReads(DWORD Error) {
    for (TRead &read : FReads)
        EndOverlapped(read.Ov, Error, read.Done);
    FReads.clear();
}

void TOverlappedDevice::EndWrites(DWORD Error) {
    for (TWrite &write : FWrites)
        EndOverlapped(write.Ov, Error, static_cast<DWORD>(write.Done));
    FWrites.clear();
}

void TOverlappedDevice::EndWait(DWORD Error) {
    if (FWaitOv) {
        FWaitMask = nullptr;
        if (TLine *line = std::exchange(FWaitLine, nullptr))
            line->WaitEnding();
        EndOverlapped(std::exchange(FWaitOv, nullptr), Error, 0);
    }
}

void TOverlappedDevice::HangUp(DWORD Why) {
    if (FHungUp || FClosed)
        return;
    FHungUp = true;
    FHangUpError = Why;
    FErrors |= CE_IOE;
    EndReads(Why);
    EndWrites(Why);
    Report(EV_ERR); // the port hears of it through its error event, if it listens for errors
    EndWait(Why);
}

void TOverlappedDevice::Close() {
    if (FClosed)
        return;
    EndReads(ECANCELED);
    EndWrites(ECANCELED);
    EndWait(ECANCELED);
    FClosed = true;
}

void TOverlappedDevice::TimeOutReads() {
    EndReads(0);
}

// ---- Writes and deadlines

bool TOverlappedDevice::SendSome(TWrite &Write, TLine &Line) {
    while (Write.Done < Write.Bytes.size()) {
        const std::ptrdiff_t n = Line.Send(Write.Bytes.data() + Write.Done, Write.Bytes.size() - Write.Done);
        if (n < 0)
            return false;
        if (n == 0)
            break; // the line is full for now
        Write.Done += static_cast<std::size_t>(n);
    }
    return true;
}

bool TOverlappedDevice::SendPending(TLine &Line) {
    while (!FWrites.empty()) {
        TWrite &write = FWrites.front();
        if (!SendSome(write, Line)) {
            HangUp();
            return false;
        }
        if (write.Done < write.Bytes.size())
            return false;
        EndOverlapped(write.Ov, 0, write.Count);
        FWrites.pop_front();
    }
    return true;
}

bool TOverlappedDevice::Expire(TTime Now) {
    for (auto it = FReads.begin(); it != FReads.end();) {
        if (std::min(it->Total, it->Gap) <= Now) {
            EndOverlapped(it->Ov, 0, it->Done); // a time-out is a success with what has come
            it = FReads.erase(it);
        } else {
            ++it;
        }
    }
    bool ended = false;
    for (auto it = FWrites.begin(); it != FWrites.end();) {
        if (it->Deadline <= Now) {
            EndOverlapped(it->Ov, 0, static_cast<DWORD>(it->Done));
            it = FWrites.erase(it);
            ended = true;
        } else {
            ++it;
        }
    }
    return ended && FWrites.empty();
}

TOverlappedDevice::TTime TOverlappedDevice::NextDeadline() const {
    auto next = TTime::max();
    for (const TRead &read : FReads)
        next = std::min({next, read.Total, read.Gap});
    for (const TWrite &write : FWrites)
        next = std::min(next, write.Deadline);
    return next;
}

std::size_t TOverlappedDevice::Unsent() const noexcept {
    std::size_t out = 0;
    for (const TWrite &write : FWrites)
        out += write.Bytes.size() - write.Done;
    return out;
}

// ---- Operations

bool TOverlappedDevice::Usable(bool DeadFails) const {
    if (FClosed)
        return FailWith(EBADF);
    if (DeadFails && FHungUp)
        return FailWith(FHangUpError);
    return true;
}

bool TOverlappedDevice::SetupComm(DWORD InQueue, TLine &Line) {
    if (!Usable())
        return false;
    Resize(std::clamp<std::size_t>(InQueue, MinQueue, MaxQueue), 0);
    Line.Changed(); // room may have appeared for a reader held back by a full queue
    return true;
}

bool TOverlappedDevice::SetCommState(const DCB &Dcb) {
    if (!Usable())
        return false;
    FDcb = Dcb;
    return true;
}

bool TOverlappedDevice::SetCommTimeouts(const COMMTIMEOUTS &Timeouts) {
    if (!Usable())
        return false;
    FTimeouts = Timeouts; // pending operations keep the deadlines they started with
    return true;
}

bool TOverlappedDevice::ClearCommError(DWORD *Errors, COMSTAT *Stat) {
    if (!Usable(false))
        return false;
    if (Errors)
        *Errors = FErrors;
    FErrors = 0;
    if (Stat) {
        Stat->cbInQue = static_cast<DWORD>(FCount);
        Stat->cbOutQue = static_cast<DWORD>(Unsent());
    }
    return true;
}

bool TOverlappedDevice::PurgeComm(DWORD Flags, TLine &Line) {
    // Works after a hang-up too: closing a port whose adapter was pulled must still succeed.
    if (!Usable(false))
        return false;
    if (Flags & PURGE_RXABORT)
        EndReads(ECANCELED);
    if (Flags & PURGE_TXABORT)
        EndWrites(ECANCELED);
    if (Flags & (PURGE_RXABORT | PURGE_TXABORT))
        EndWait(ECANCELED);
    if (Flags & PURGE_RXCLEAR) {
        const bool wasFull = Room() == 0;
        FHead = FCount = 0;
        if (wasFull)
            Line.Changed();
    }
    return true;
}

TOverlappedDevice::TRead TOverlappedDevice::PendingRead(char *Buffer, DWORD Count, DWORD Done,
                                                        TOverlapped *Ov, TTime Now) const {
    const COMMTIMEOUTS &t = FTimeouts;
    TRead read{Buffer, Count, Done, FirstBytesRead(t), 0, TTime::max(), TTime::max(), Ov};
    if (read.FirstBytesEnd) {
        read.Total = Now + TMs(t.ReadTotalTimeoutConstant);
        return read;
    }
    const std::uint64_t total = Product(t.ReadTotalTimeoutMultiplier, Count) + t.ReadTotalTimeoutConstant;
    if (total > 0)
        read.Total = Now + TMs(total);
    if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD)
        read.Interval = t.ReadIntervalTimeout;
    if (read.Interval && Done > 0)
        read.Gap = Now + TMs(read.Interval);
    return read;
}

bool TOverlappedDevice::ReadFile(void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Ov, TTime Now,
                                 TLine &Line) {
    if (!Usable(false))
        return false;
    if (FHungUp && FCount == 0)
        return FailWith(FHangUpError);
    StartOverlapped(Ov);
    char *bytes = static_cast<char *>(Buffer);
    const bool wasFull = Room() == 0;
    DWORD done = 0;
    if (FReads.empty()) { // bytes go to the oldest read first
        done = static_cast<DWORD>(Take(bytes, Count));
        if (done < Count && !FHungUp) {
            Line.Fetch(Now);
            done += static_cast<DWORD>(Take(bytes + done, Count - done));
        }
    }
    if (wasFull && done > 0)
        Line.Changed();
    if (done == Count || ImmediateRead(FTimeouts) || (done > 0 && FirstBytesRead(FTimeouts)) || FHungUp) {
        EndOverlapped(Ov, 0, done);
        if (Read)
            *Read = done;
        return true;
    }
    FReads.push_back(PendingRead(bytes, Count, done, Ov, Now));
    if (FReads.back().Total != TTime::max() || FReads.back().Gap != TTime::max())
        Line.Changed(); // the new deadline must be watched
    if (Read)
        *Read = 0;
    return FailWith(ERROR_IO_PENDING);
}

bool TOverlappedDevice::WriteFile(const void *Buffer, DWORD Count, DWORD *Written, TOverlapped *Ov, TTime Now,
                                  TLine &Line) {
    if (!Usable())
        return false;
    const char *bytes = static_cast<const char *>(Buffer);
    TWrite write{std::vector<char>(bytes, bytes + Count), 0, Count, TTime::max(), Ov};
    // Keep the order: only an idle line takes bytes at once.
    if (FWrites.empty() && !SendSome(write, Line)) {
        HangUp(); // the device has gone before anyone watching could say so
        return FailWith(FHangUpError);
    }
    StartOverlapped(Ov);
    if (write.Done == Count) {
        EndOverlapped(Ov, 0, Count);
        if (Written)
            *Written = Count;
        return true;
    }
    const std::uint64_t total =
        Product(FTimeouts.WriteTotalTimeoutMultiplier, Count) + FTimeouts.WriteTotalTimeoutConstant;
    if (total > 0)
        write.Deadline = Now + TMs(total);
    FWrites.push_back(std::move(write));
    Line.Changed();
    if (Written)
        *Written = 0;
    return FailWith(ERROR_IO_PENDING);
}

bool TOverlappedDevice::SetCommMask(DWORD Mask) {
    if (!Usable(false))
        return false;
    FMask = Mask;
    FRemembered = 0;
    if (FWaitOv) {
        *FWaitMask = 0;
        EndWait(0);
    }
    // Bytes that came while the mask left EV_RXCHAR out raised nothing: a port that opens while the
    // far end already talks would leave them unread (and a full queue stops the line for good).
    if (FCount > 0)
        FRemembered = Mask & EV_RXCHAR;
    return true;
}

bool TOverlappedDevice::WaitCommEvent(DWORD *Mask, TOverlapped *Ov, TLine *Line) {
    if (!Usable(false))
        return false;
    if (FWaitOv)
        return FailWith(EINVAL); // one wait at a time, as on Windows
    if (FRemembered != 0) {
        StartOverlapped(Ov);
        *Mask = std::exchange(FRemembered, 0);
        EndOverlapped(Ov, 0, 0);
        return true;
    }
    if (FHungUp)
        return FailWith(FHangUpError);
    StartOverlapped(Ov);
    FWaitMask = Mask;
    FWaitOv = Ov;
    FWaitLine = Line;
    return FailWith(ERROR_IO_PENDING);
}

} // namespace ComApi
