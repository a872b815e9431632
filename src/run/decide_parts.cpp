// The skip decision spread over the sessions, and the stores that need not wait for all of it.
#include <algorithm>
#include <cstdint>
#include <mutex>

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
    for (;;) {
        if (!takesAll && !session.usable()) return;
        if (earlyStores_) storeReady(session, true);
        // Parts are taken a few at a time, so that their questions share round trips, yet
        // small enough that every session gets some (and, with early stores, some stores).
        const std::size_t parts = decision_->parts();
        const std::size_t sessions = std::max<std::uint32_t>(1, context_.settings.connections);
        std::size_t take = std::max<std::size_t>(1, parts / (2 * sessions));
        // With early stores the first parts (the likely changed ones) go one by one, so their
        // stores start soon; later ones in growing batches, which keep the questions flowing
        // while other sessions store.
        if (earlyWanted()) take = 1 + nextPart_.load() / 2;
        const std::size_t first = nextPart_.fetch_add(take);
        if (first >= parts) {
            if (earlyStores_) storeReady(session, false);
            return;
        }
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
        if (earlyWanted()) offerEarly(first, count);
    }
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
    std::lock_guard<std::mutex> lock(readyMutex_);
    for (PlannedFile* file : decision_->storable(first, count))
        // Those to be put in place last wait for the others, as they always do.
        if (!file->last) ready_.push_back(file);
}

void Execution::storeReady(Session& session, bool partsLeft)
{
    for (;;) {
        if (stop_.stopped() || (retry_.retries() == 0 && !session.usable())) return;
        PlannedFile* file = nullptr;
        {
            std::lock_guard<std::mutex> lock(readyMutex_);
            // While parts are left, one session goes on asking: a server answers the
            // questions of one session as fast as those of several, and stores wait for
            // round trips, not for the server.
            const std::size_t sessions = std::max<std::uint32_t>(1, context_.settings.connections);
            if (ready_.empty() || (partsLeft && earlyStorers_ + 1 >= sessions)) return;
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
        if (!goesOn) return;
    }
}
