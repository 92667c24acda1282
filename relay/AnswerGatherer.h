// The receive side of the board's protocol: turns the bytes that arrive on the line, in whatever
// pieces the reads deliver them, into the board's answers, one at a time.
//
// Every "*" ends one answer, so two answers that arrive in one read are two answers (an alarm that
// comes right behind a timer report is not lost); what follows the last "*" is held for the bytes
// still to come. The buffer is bounded: once it holds more than Limit bytes without a "*" (noise, a
// wrong baud rate, another device on the line), everything it holds becomes one unterminated answer
// and the buffer starts empty again. Nothing is dropped silently and nothing grows without end; the
// interpreter reports an unterminated answer as such, quoting it.
//
// Answers come out in the order their bytes came in, also when a caller appends while an earlier
// caller is still taking answers (a message box's event loop may run the next receive event).
// No Qt and no port in here, so every front end on the line (the panel, a command-line tool)
// gathers answers the same way. Thread safety: none; one thread appends and takes.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

class TAnswerGatherer {
public:
    // Far above the longest answer of the board (a few bytes).
    static constexpr std::size_t DefaultLimit = 1024;

    explicit TAnswerGatherer(std::size_t Limit = DefaultLimit) : FLimit(Limit) {}

    // Adds received bytes (Windows-1250, as they came).
    void Append(std::string_view Bytes);
    // The oldest answer not yet taken: its bytes up to and including its "*", or the unterminated
    // bytes that overflowed the buffer. Nothing once every complete answer has been taken.
    std::optional<std::string> NextAnswer();
    // The bytes after the last "*", waiting for the rest of their answer.
    const std::string &Held() const { return FHeld; }
    std::size_t Limit() const { return FLimit; }
    // Forgets the held bytes and the answers not yet taken.
    void Clear();

private:
    std::size_t FLimit;
    std::deque<std::string> FAnswers;
    std::string FHeld;
};
