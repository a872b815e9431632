#pragma once
// What completes a plan once the run's sessions are in (the skip decision): parts decided
// on whichever session takes them, all of them before anything is made or stored.
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

class RetryRule;
struct PlannedFile;
struct Session;

class PlanDecision {
public:
    virtual ~PlanDecision() = default;
    virtual std::size_t parts() const = 0;
    // Decides parts [first, first + count); safe to call for different parts from different
    // sessions' threads at once. Several parts at once let their questions share round trips.
    virtual void decide(const RetryRule& retry, Session& session, std::size_t first, std::size_t count) = 0;
    // Decides part `first`, then each part `take` hands out until it has none for this
    // session, telling `decided` of each once it is (one that could not be looked at is
    // decided too: its files are stored). A decision that asks the server lets the questions
    // of one part follow the last one's, with no round trip lost between them.
    using TakePart = std::function<std::optional<std::size_t>()>;
    using PartDecided = std::function<void(std::size_t)>;
    virtual void decideStream(const RetryRule& retry, Session& session, std::size_t first, const TakePart& take,
                              const PartDecided& decided)
    {
        for (std::optional<std::size_t> part = first; part; part = take()) {
            decide(retry, session, *part, 1);
            decided(*part);
        }
    }
    // Once every part is decided, where the server was not seen to keep the times it is given:
    // what only the remote times judged unchanged is stored after all. How many files that is.
    virtual std::size_t distrustTimes() { return 0; }
    // Of parts [first, first + count), once decided: the files to be stored whose remote
    // folder the server was seen to hold, which may go out before the other parts are decided.
    virtual std::vector<PlannedFile*> storable(std::size_t /*first*/, std::size_t /*count*/) { return {}; }
};
