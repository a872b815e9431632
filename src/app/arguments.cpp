#include "app/arguments.hpp"

#include <algorithm>

#include "common/exception.hpp"

namespace {
const std::vector<std::string> noValues;

bool startsWith(const std::string& word, const std::string& prefix)
{
    return !prefix.empty() && word.compare(0, prefix.size(), prefix) == 0;
}

constexpr std::size_t maxSlip = 2;
constexpr std::size_t minAbbreviation = 3;

std::string lowered(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Letters inserted, removed, changed, or two neighbours swapped (each letter edited once at
// most); anything beyond maxSlip counts as maxSlip + 1.
std::size_t slips(const std::string& a, const std::string& b)
{
    const std::size_t longer = std::max(a.size(), b.size());
    if (longer - std::min(a.size(), b.size()) > maxSlip) return maxSlip + 1;
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t changed = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + changed});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return std::min(d[a.size()][b.size()], maxSlip + 1);
}
}

Arguments::Definition* Arguments::define(const std::string& name)
{
    if (name.empty()) return nullptr;
    Definition& definition = definitions_[name];
    definition.name = name;
    return &definition;
}

bool Arguments::addAlias(const std::string& name, const std::string& alias)
{
    auto found = definitions_.find(name);
    if (found == definitions_.end() || alias.empty()) return false;
    found->second.aliases.push_back(alias);
    aliases_[alias] = name;
    return true;
}

std::string Arguments::resolve(const std::string& name) const
{
    auto found = aliases_.find(name);
    return found == aliases_.end() ? name : found->second;
}

void Arguments::name(const std::string& option)
{
    std::string resolved = resolve(option);
    values_[resolved];  // named options are present even without a value
    order_.push_back(resolved);
}

void Arguments::giveValue(const std::string& value)
{
    if (value.empty()) return;
    // The most recently named option that can still take a value receives it.
    for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
        auto definition = definitions_.find(*it);
        std::vector<std::string>& held = values_[*it];
        if (definition == definitions_.end() || definition->second.acceptsMore(held.size())) {
            held.push_back(value);
            return;
        }
    }
    unnamed_.push_back(value);
}

void Arguments::parse(const std::vector<std::string>& words)
{
    for (const std::string& word : words) {
        std::size_t prefixLength = 0;
        bool isLong = false;
        for (const std::string& prefix : shortPrefix)
            if (startsWith(word, prefix) && prefix.size() > prefixLength) {
                prefixLength = prefix.size();
                isLong = false;
            }
        for (const std::string& prefix : longPrefix)
            if (startsWith(word, prefix) && prefix.size() > prefixLength) {
                prefixLength = prefix.size();
                isLong = true;
            }
        if (prefixLength == 0) {
            giveValue(word);
            continue;
        }
        if (word.size() <= prefixLength) continue;

        const std::string rest = word.substr(prefixLength);
        std::size_t delimiterAt = std::string::npos;
        std::size_t delimiterLength = 0;
        for (const std::string& delimiter : delimiters) {
            if (delimiter.empty()) continue;
            std::size_t at = rest.find(delimiter);
            if (at < delimiterAt) {
                delimiterAt = at;
                delimiterLength = delimiter.size();
            }
        }
        const std::string optionName = rest.substr(0, delimiterAt);
        if (refuseNearMisses) refuseNearMiss(word.substr(0, prefixLength), optionName, isLong);
        if (isLong) {
            if (!optionName.empty()) name(optionName);
        } else {
            for (char c : optionName) name(std::string(1, c));
        }
        if (delimiterAt != std::string::npos && delimiterAt + delimiterLength < rest.size())
            giveValue(rest.substr(delimiterAt + delimiterLength));
    }
    checkRequirements();
}

void Arguments::checkRequirements() const
{
    for (const auto& [name, definition] : definitions_) {
        const std::vector<std::string>& held = values(name);
        if (definition.required && !isPresent(name))
            throw Exception("missing required option --" + name);
        if (isPresent(name) && held.size() < definition.minValues)
            throw Exception("option --" + name + " needs " + std::to_string(definition.minValues) + " value(s)");
    }
}

void Arguments::refuseNearMiss(const std::string& prefix, const std::string& optionName, bool isLong) const
{
    // One letter is too little to tell a slip from a short option of another version.
    if (optionName.size() < 2) return;
    // After the short prefix each letter is an option of its own; letters all declared are meant.
    const bool declared = isLong ? declares(optionName)
                                 : std::all_of(optionName.begin(), optionName.end(),
                                               [this](char c) { return declares(std::string(1, c)); });
    if (declared) return;
    const std::string typed = lowered(optionName);
    const std::string longForm = longPrefix.empty() ? std::string() : longPrefix.front();
    // The start of one option only (--user) is what other programs take for it; ignored, the
    // run would go on without it, and taken, it would change meaning once another option
    // began alike. So it is refused like a slip.
    if (isLong && typed.size() >= minAbbreviation) {
        const std::string* started = nullptr;
        std::size_t count = 0;
        bool whole = false;
        for (const auto& [known, definition] : definitions_)
            if (lowered(known).compare(0, typed.size(), typed) == 0) {
                started = &known;
                ++count;
                whole = whole || lowered(known).size() == typed.size();
            }
        if (count == 1)
            throw Exception("unknown option " + prefix + optionName + " (did you mean " + longForm + *started + "?)");
        // The start of several (--pass) is none of them in particular, nor a slip of another
        // that happens to be near it (--last).
        if (count > 1 && !whole) return;
    }
    const std::string* nearest = nullptr;
    std::size_t fewest = maxSlip + 1;
    auto consider = [&](const std::string& known) {
        if (known.size() < 2) return;
        const std::size_t count = slips(typed, lowered(known));
        if (count < fewest) {
            fewest = count;
            nearest = &known;
        }
    };
    for (const auto& [known, definition] : definitions_) consider(known);
    for (const auto& [alias, name] : aliases_) consider(alias);
    if (nearest) {
        throw Exception("unknown option " + prefix + optionName + " (did you mean " + longForm + *nearest + "?)");
    }
}

bool Arguments::declares(const std::string& name) const
{
    return definitions_.count(name) != 0 || aliases_.count(name) != 0;
}

bool Arguments::isPresent(const std::string& name) const { return values_.count(resolve(name)) != 0; }

std::string Arguments::firstValue(const std::string& name) const
{
    const std::vector<std::string>& held = values(name);
    return held.empty() ? std::string() : held.front();
}

const std::vector<std::string>& Arguments::values(const std::string& name) const
{
    auto found = values_.find(resolve(name));
    return found == values_.end() ? noValues : found->second;
}
