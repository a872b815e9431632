#include "app/arguments.hpp"

#include "common/exception.hpp"

namespace {
const std::vector<std::string> noValues;

bool startsWith(const std::string& word, const std::string& prefix)
{
    return !prefix.empty() && word.compare(0, prefix.size(), prefix) == 0;
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
