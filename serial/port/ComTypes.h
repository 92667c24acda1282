// The vocabulary of the serial port component: line settings, events, modem lines, line errors and
// the handler types of the port's events.
//
// Enumerations are one byte and keep their declared order: stored settings and the driver mappings
// rely on the ordinal values. A set is a bit mask in which bit n stands for the enumerator with
// ordinal n, so a set converts to and from its stored integer form without a table.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <type_traits>

class TCustomComPort;

enum TBaudRate : std::uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};

enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
// A summary of the four flow control switches that decide it (see TComFlowControl).
enum TFlowControl : std::uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };

enum TComEvent : std::uint8_t {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};

enum TComError : std::uint8_t { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
enum TComModemLine : std::uint8_t { mlCTS, mlDSR, mlRing, mlRLSD };

// How the event thread hands events to the handlers:
//   smThreadSync: the main thread runs the handlers while the event thread waits for it;
//   smWindowSync: one message per event kind through the port's notify queue, drained on the main
//                 thread; the event thread only waits until the message is taken up;
//   smNone:       the handlers run on the event thread itself.
enum TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };

enum TComOperationKind : std::uint8_t { opWrite, opRead };

// The groups of settings that the port saves and loads.
enum TStoredGroup : std::uint8_t { sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgOthers };

// A set over an enumeration E, held in the unsigned integer TBits.
template <typename E, typename TBits> class TComSet {
    static_assert(std::is_unsigned_v<TBits>);

public:
    constexpr TComSet() = default;
    constexpr TComSet(std::initializer_list<E> Items) {
        for (E Item : Items)
            Include(Item);
    }
    static constexpr TComSet FromBits(TBits Bits) {
        TComSet Result;
        Result.FBits = Bits;
        return Result;
    }
    constexpr TBits Bits() const { return FBits; }

    constexpr bool Contains(E Item) const { return (FBits & Bit(Item)) != 0; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr TComSet &Include(E Item) {
        FBits = static_cast<TBits>(FBits | Bit(Item));
        return *this;
    }
    constexpr TComSet &Exclude(E Item) {
        FBits = static_cast<TBits>(FBits & ~Bit(Item));
        return *this;
    }

    friend constexpr TComSet operator|(TComSet A, TComSet B) {
        return FromBits(static_cast<TBits>(A.FBits | B.FBits));
    }
    friend constexpr TComSet operator&(TComSet A, TComSet B) {
        return FromBits(static_cast<TBits>(A.FBits & B.FBits));
    }
    friend constexpr bool operator==(TComSet A, TComSet B) = default;

private:
    static constexpr TBits Bit(E Item) { return static_cast<TBits>(TBits{1} << static_cast<unsigned>(Item)); }

    TBits FBits = 0;
};

using TComEvents = TComSet<TComEvent, std::uint16_t>;
using TComErrors = TComSet<TComError, std::uint8_t>;
using TComModemLines = TComSet<TComModemLine, std::uint8_t>;
using TStoredGroups = TComSet<TStoredGroup, std::uint8_t>;

inline constexpr TComEvents AllComEvents = TComEvents::FromBits(0x03FF);

// Handler types of the port's events. Every handler receives the port that raised the event as
// Sender; handlers run on the thread that the port's SyncMethod names (see ComPort.h).
using TNotifyEvent = std::function<void(TCustomComPort &Sender)>;
using TRxCharEvent = std::function<void(TCustomComPort &Sender, std::int32_t Count)>;
// Buffer is valid only during the call.
using TRxBufEvent = std::function<void(TCustomComPort &Sender, const void *Buffer, std::int32_t Count)>;
using TComErrorEvent = std::function<void(TCustomComPort &Sender, TComErrors Errors)>;
using TComSignalEvent = std::function<void(TCustomComPort &Sender, bool OnOff)>;
