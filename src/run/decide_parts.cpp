// The skip decision spread over the sessions, and the stores that need not wait for all of it.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>

#include "common/own_names.hpp"
#include "ftp/ftp.hpp"
#include "run/checksum.hpp"
#include "run/context.hpp"
#include "run/decision.hpp"
#include "run/execute.hpp"
#include "run/lock.hpp"
#include "run/plan.hpp"
#include "run/session.hpp"

bool Execution::earlyWanted() const
{
    // A paced run keeps its order. The manifest of --checksum, the record of --staged and the
    // status line's totals are settled only once every part is decided.
    const RunSettings& settings = context_.settings;
    return decision_ && !settings.pacing && !checksum_ && !settings.staged && !context_.progress;
}

void Execution::withdrawManifestAhead(Session& session)
{
    // With early stores and no --checksum, the old manifest goes as soon as the lock's folder
    // is made, with the owner's store behind it in the same round trip: the first early store
    // then waits for nothing more than the owner. Should the owner not be written, the run
    // refuses as it always did; a manifest gone only makes the next run compare by size and time.
    if (!earlyWanted() || manifestWithdrawn_ || !session.usable()) return;
    manifestWithdrawn_ = true;
    try {
        session.client->deleteFileLater(std::string(manifestName));
    } catch (const std::exception&) {
    }
}

bool Execution::withdrawManifest(Session& session)
{
    if (!checksum_) {
        // A deploy without --checksum changes files behind the manifest's back; a later run
        // with it must not take the old hashes for the new content. Usually there is none.
        if (manifestWithdrawn_) return true;
        manifestWithdrawn_ = true;
        if (lock_.held() && session.usable()) {
            try {
                session.client->deleteFile(std::string(manifestName));
            } catch (const std::exception&) {
            }
        }
        return true;
    }
    try {
        if (!session.usable()) throw FTPException("421", "connection closed by the server");
        checksum_->withdraw(*session.client);
        return true;
    } catch (const std::exception& failure) {
        plan_.manifestFailed = true;
        plan_.problems.push_back({lines::manifestKept(), replyOf(failure)});
        context_.error(session, lines::manifestKept(), stepPause);
        return false;
    }
}

void Execution::decideParts(Session& session, bool takesAll)
{
    if (!decision_) return;
    if (earlyWanted()) return decideStreaming(session, takesAll);
    for (;;) {
        if (!takesAll && !session.usable()) return;
        // Parts are taken a few at a time, so that their questions share round trips, yet
        // small enough that every session gets some.
        const std::size_t parts = decision_->parts();
        const std::size_t sessions = std::max<std::uint32_t>(1, context_.settings.connections);
        const std::size_t take = std::max<std::size_t>(1, parts / (2 * sessions));
        const std::size_t first = nextPart_.fetch_add(take);
        if (first >= parts) return;
        const std::size_t count = std::min(take, parts - first);
        try {
            decision_->decide(retry_, session, first, count);
        } catch (...) {
            // An undecided part only costs the saving: its files are stored.
        }
        {
            std::lock_guard<std::mutex> lock(decidedMutex_);
            partsDecided_ += count;
        }
        partDecided_.notify_all();
    }
}

void Execution::decideStreaming(Session& session, bool takesAll)
{
    const std::size_t parts = decision_->parts();
    for (;;) {
        if (!takesAll && !session.usable()) return;
        if (earlyStores_) storeReady(session, true, takesAll);
        const Turn turn = awaitTurn(takesAll);
        if (turn == Turn::done) break;
        if (turn == Turn::store) continue;
        // One part at a time, in one stream of questions, so each is decided (and its stores
        // may start) as soon as its answers are in.
        std::set<std::size_t> open;
        const auto take = [&]() -> std::optional<std::size_t> {
            const std::size_t part = nextPart_.fetch_add(1);
            if (part >= parts) return std::nullopt;
            open.insert(part);
            return part;
        };
        if (const std::optional<std::size_t> first = take()) {
            const auto decided = [&](std::size_t part) {
                if (open.erase(part)) partDone(part);
            };
            try {
                decision_->decideStream(retry_, session, *first, take, decided);
            } catch (...) {
                // An undecided part only costs the saving: its files are stored.
            }
            for (std::size_t part : open) partDone(part);
        }
        {
            std::lock_guard<std::mutex> lock(readyMutex_);
            --askers_;
        }
        workChanged_.notify_all();
    }
    // The first session goes on to the stores of every session once all is decided, rather
    // than storing what is ready on its own.
    if (earlyStores_) storeReady(session, false, takesAll);
}

Execution::Turn Execution::awaitTurn(bool takesAll)
{
    // One session asks at a time: its questions keep a server busy, and the sessions of one
    // that answers a command at a time would only queue behind each other's, stores and the
    // lock's owner included. The others store what is decided meanwhile.
    const std::size_t parts = decision_->parts();
    std::unique_lock<std::mutex> lock(readyMutex_);
    for (;;) {
        if (nextPart_.load() >= parts) return Turn::done;
        if (askers_ == 0) {
            ++askers_;
            return Turn::ask;
        }
        if (storesEarly()) return Turn::store;
        if (takesAll) {
            std::lock_guard<std::mutex> decided(decidedMutex_);
            if (partsDecided_ >= parts) return Turn::done;
        }
        workChanged_.wait(lock);
    }
}

bool Execution::storesEarly() const
{
    // While parts are left, one session is kept for asking.
    const std::size_t sessions = std::max<std::uint32_t>(1, context_.settings.connections);
    return earlyStores_ && !ready_.empty() && earlyStorers_ + 1 < sessions;
}

void Execution::partDone(std::size_t part)
{
    {
        std::lock_guard<std::mutex> lock(decidedMutex_);
        ++partsDecided_;
    }
    partDecided_.notify_all();
    offerEarly(part, 1);
}

void Execution::allowEarlyStores()
{
    {
        std::lock_guard<std::mutex> lock(readyMutex_);
        earlyStores_ = true;
    }
    workChanged_.notify_all();
}

void Execution::awaitDecisions()
{
    if (!decision_) return;
    std::unique_lock<std::mutex> lock(decidedMutex_);
    partDecided_.wait(lock, [this] { return partsDecided_ >= decision_->parts(); });
}

void Execution::settleTimes(Session& session)
{
    if (!decision_ || !lock_.timesDistrusted()) return;
    const std::size_t sent = decision_->distrustTimes();
    if (sent > 0) context_.info(session, lines::timesNotTrusted(*lock_.timesDistrusted(), sent), 0);
}

void Execution::offerEarly(std::size_t first, std::size_t count)
{
    {
        std::lock_guard<std::mutex> lock(readyMutex_);
        for (PlannedFile* file : decision_->storable(first, count))
            // Those to be put in place last wait for the others, as they always do.
            if (!file->last) ready_.push_back(file);
    }
    workChanged_.notify_all();
}

void Execution::storeReady(Session& session, bool partsLeft, bool untilDecided)
{
    for (;;) {
        if (stop_.stopped() || (retry_.retries() == 0 && !session.usable())) return;
        if (untilDecided) {
            std::lock_guard<std::mutex> lock(decidedMutex_);
            if (partsDecided_ >= decision_->parts()) return;
        }
        PlannedFile* file = nullptr;
        {
            std::lock_guard<std::mutex> lock(readyMutex_);
            if (ready_.empty() || (partsLeft && !storesEarly())) return;
            file = ready_.front();
            ready_.pop_front();
            ++earlyStorers_;
        }
        const bool taken = taken_[static_cast<std::size_t>(file - plan_.files.data())].exchange(true);
        const bool goesOn = taken || storeTaken(session, *file);
        {
            std::lock_guard<std::mutex> lock(readyMutex_);
            --earlyStorers_;
        }
        workChanged_.notify_all();
        if (!goesOn) return;
    }
}
