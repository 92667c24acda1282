#include "relay/AnswerGatherer.h"

#include <utility>

void TAnswerGatherer::Append(std::string_view Bytes) {
    for (std::size_t Star = Bytes.find('*'); Star != std::string_view::npos; Star = Bytes.find('*')) {
        FHeld.append(Bytes.substr(0, Star + 1));
        FAnswers.push_back(std::exchange(FHeld, {}));
        Bytes.remove_prefix(Star + 1);
    }
    FHeld.append(Bytes);
    if (FHeld.size() > FLimit)
        FAnswers.push_back(std::exchange(FHeld, {}));
}

std::optional<std::string> TAnswerGatherer::NextAnswer() {
    if (FAnswers.empty())
        return std::nullopt;
    std::string Answer = std::move(FAnswers.front());
    FAnswers.pop_front();
    return Answer;
}

void TAnswerGatherer::Clear() {
    FAnswers.clear();
    FHeld.clear();
}
