// The receive side of the protocol: received pieces in, the board's answers out, one at a time.
#include "relay/AnswerGatherer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> TakeAll(TAnswerGatherer &Gatherer) {
    std::vector<std::string> Answers;
    while (auto Answer = Gatherer.NextAnswer())
        Answers.push_back(*Answer);
    return Answers;
}

TEST(AnswerGatherer, EveryStarEndsOneAnswer) {
    struct TRow {
        std::vector<std::string> Pieces;
        std::vector<std::string> Answers;
        std::string Held;
    };
    // A small bound, so that its rows stay readable.
    const std::size_t Limit = 8;
    const TRow Rows[] = {
        {{"runn", "ing*"}, {"running*"}, ""},
        {{"T2*3*"}, {"T2*", "3*"}, ""},
        {{"**"}, {"*", "*"}, ""},
        {{"running*st"}, {"running*"}, "st"},
        {{"running*st", "op*"}, {"running*", "stop*"}, ""},
        {{"", "&1", "", "01*"}, {"&101*"}, ""},
        // The bound: up to Limit bytes without a star wait; one more and all of them go as they are.
        {{"abcdefgh"}, {}, "abcdefgh"},
        {{"abcd", "efgh", "ij"}, {"abcdefghij"}, ""},
        {{"x*abcdefghi", "stop*"}, {"x*", "abcdefghi", "stop*"}, ""},
        // A star that comes in the same read is still the end of its answer.
        {{"abcdefghi*"}, {"abcdefghi*"}, ""},
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(testing::PrintToString(Row.Pieces));
        TAnswerGatherer Gatherer(Limit);
        for (const std::string &Piece : Row.Pieces)
            Gatherer.Append(Piece);
        EXPECT_EQ(TakeAll(Gatherer), Row.Answers);
        EXPECT_EQ(Gatherer.Held(), Row.Held);
    }
}

// Bytes appended while earlier answers are still being taken come out after them; Clear forgets all.
TEST(AnswerGatherer, OrderHoldsWhileTakingAndClearForgets) {
    TAnswerGatherer Gatherer;
    Gatherer.Append("a*b*");
    EXPECT_EQ(Gatherer.NextAnswer(), "a*");
    Gatherer.Append("c*d");
    EXPECT_EQ(TakeAll(Gatherer), (std::vector<std::string>{"b*", "c*"}));
    Gatherer.Append("*e*f");
    Gatherer.Clear();
    EXPECT_EQ(Gatherer.NextAnswer(), std::nullopt);
    EXPECT_EQ(Gatherer.Held(), "");
}

} // namespace
