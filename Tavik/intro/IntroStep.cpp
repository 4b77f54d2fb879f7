#include "Tavik/intro/IntroStep.hpp"

namespace tavik {

IntroStep::IntroStep(Kind kind, std::string title, std::string caption, publisher::Publisher<bool> isComplete,
    std::optional<DirectoryChoice> directoryChoice)
    : kind_(kind)
    , title_(std::move(title))
    , caption_(std::move(caption))
    , isComplete_(false)
    , directoryChoice_(std::move(directoryChoice))
{
    auto subject = isComplete_;
    cancellables_.push_back(isComplete.removeDuplicates().sink([subject](bool complete) { subject.send(complete); }));
}

IntroStep::IntroStep(Kind kind, std::string title, std::string caption)
    : kind_(kind)
    , title_(std::move(title))
    , caption_(std::move(caption))
{
}

bool IntroStep::operator==(const IntroStep& other) const
{
    return title_ == other.title_ && caption_ == other.caption_ && isComplete() == other.isComplete()
        && directoryChoice_ == other.directoryChoice_;
}

} // namespace tavik
