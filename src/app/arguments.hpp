#pragma once
// The command-line parser: named options with short and long prefixes, values joined by a
// delimiter or given as the next word, aliases, and the values no option took.
#include <cstddef>
#include <map>
#include <string>
#include <vector>

class Arguments {
public:
    // How an option is declared. Options without a definition take any number of values.
    struct Definition {
        static constexpr std::size_t anyNumber = static_cast<std::size_t>(-1);

        std::string name;
        std::vector<std::string> aliases;
        std::size_t maxValues = anyNumber;
        std::size_t minValues = 0;
        bool required = false;

        bool acceptsMore(std::size_t held) const { return held < maxValues; }
    };

    std::vector<std::string> shortPrefix{"-"};
    std::vector<std::string> longPrefix{"--"};
    std::vector<std::string> delimiters{":", "="};
    // When set, parse refuses an undeclared name of two or more letters that is a slip of a
    // declared one: the same name in another case, a long name after the short prefix, or at
    // most two letters inserted, removed, changed or swapped; and a long name of three or more
    // letters that begins exactly one declared name. Other undeclared names pass.
    bool refuseNearMisses = false;

    // Declares (or re-opens) an option; an empty name declares nothing and gives nullptr.
    Definition* define(const std::string& name);
    // Makes `alias` stand for the defined option `name`; false when `name` is not defined.
    bool addAlias(const std::string& name, const std::string& alias);

    // Reads the option words (the program's name excluded). Raises Exception when a
    // definition's requirements are not met, or for a near miss (see refuseNearMisses).
    void parse(const std::vector<std::string>& words);

    // Defined, or an alias of a defined option.
    bool declares(const std::string& name) const;
    bool isPresent(const std::string& name) const;
    // The first value, or empty text when the option is absent or has none.
    std::string firstValue(const std::string& name) const;
    const std::vector<std::string>& values(const std::string& name) const;
    const std::vector<std::string>& unnamedValues() const { return unnamed_; }
    // Every option named, after alias resolution, in order, repeats included.
    const std::vector<std::string>& namingOrder() const { return order_; }

private:
    std::string resolve(const std::string& name) const;
    void name(const std::string& option);
    void giveValue(const std::string& value);
    void checkRequirements() const;
    void refuseNearMiss(const std::string& prefix, const std::string& optionName, bool isLong) const;

    std::map<std::string, Definition> definitions_;
    std::map<std::string, std::string> aliases_;
    std::map<std::string, std::vector<std::string>> values_;
    std::vector<std::string> order_;
    std::vector<std::string> unnamed_;
};
