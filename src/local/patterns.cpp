#include "local/patterns.hpp"

#include <algorithm>
#include <cstdint>

std::vector<std::string> splitPatterns(std::string_view value)
{
    std::vector<std::string> patterns;
    std::size_t start = 0;
    for (;;) {
        std::size_t bar = value.find('|', start);
        if (bar == std::string_view::npos) {
            patterns.emplace_back(value.substr(start));
            return patterns;
        }
        patterns.emplace_back(value.substr(start, bar - start));
        start = bar + 1;
    }
}

bool charMatch(unsigned char a, unsigned char b)
{
    auto fold = [](unsigned char c) { return c >= 0x61 && c <= 0x7A ? static_cast<unsigned char>(c - 0x20) : c; };
    return a == b || fold(a) == fold(b);
}

namespace {
// One pattern element. A "*" splits the pattern into segments; the others each
// consume exactly one name character.
struct Token {
    enum Kind { literal, any, set, star };
    explicit Token(Kind kind_, char literal_ = 0) : kind(kind_), literalChar(literal_) {}
    Kind kind;
    char literalChar;
    bool negated = false;
    std::string_view members;  // for sets
};

// An unclosed "[" takes the rest of the pattern as its members.
std::vector<Token> tokenize(std::string_view pattern)
{
    std::vector<Token> tokens;
    std::size_t p = 0;
    while (p < pattern.size()) {
        char c = pattern[p];
        if (c == '*') {
            tokens.emplace_back(Token::star);
        } else if (c == '?') {
            tokens.emplace_back(Token::any);
        } else if (c == '[') {
            Token token(Token::set);
            ++p;
            if (p < pattern.size() && pattern[p] == '!') {
                token.negated = true;
                ++p;
            }
            std::size_t close = pattern.find(']', p);
            if (close == std::string_view::npos) close = pattern.size();
            token.members = pattern.substr(p, close - p);
            tokens.push_back(token);
            p = close;
        } else {
            tokens.emplace_back(Token::literal, c);
        }
        ++p;
    }
    return tokens;
}

bool tokenMatches(const Token& token, unsigned char x)
{
    switch (token.kind) {
    case Token::literal: return charMatch(x, static_cast<unsigned char>(token.literalChar));
    case Token::any: return true;
    case Token::set: {
        bool found = std::any_of(token.members.begin(), token.members.end(),
                                 [x](char member) { return charMatch(x, static_cast<unsigned char>(member)); });
        return found != token.negated;
    }
    case Token::star: break;
    }
    return false;
}
}

// A "*" that is not last tries every remainder that still has at least one
// character (never the empty one). Rather than recursing on each, the segments
// between stars are solved right to left for every name position: `reachable[s]`
// tells whether the name from some position s' >= s matches the pattern after
// the current star. That keeps the work to name length times pattern length.
bool patternMatch(std::string_view name, std::string_view pattern)
{
    const std::vector<Token> tokens = tokenize(pattern);
    const std::size_t n = name.size();

    std::vector<std::size_t> segmentStarts{0};
    for (std::size_t i = 0; i < tokens.size(); ++i)
        if (tokens[i].kind == Token::star) segmentStarts.push_back(i + 1);

    // reachable[s]: the name from some s' in [s, n) matches everything after the
    // star that ends the segment being solved. Position n is never included.
    std::vector<std::uint8_t> reachable;
    std::vector<std::uint8_t> matches(n + 1);
    for (std::size_t k = segmentStarts.size(); k-- > 0;) {
        const std::size_t begin = segmentStarts[k];
        const bool last = k + 1 == segmentStarts.size();
        const std::size_t end = last ? tokens.size() : segmentStarts[k + 1] - 1;  // index of its star
        const bool starEndsPattern = !last && end + 1 == tokens.size();

        // The first segment is only ever entered at the name's start.
        const std::size_t lastStart = k == 0 ? 0 : n;
        for (std::size_t s = 0; s <= lastStart; ++s) {
            std::size_t at = s;
            bool ok = true;
            for (std::size_t t = begin; t < end && ok; ++t) {
                if (at >= n || !tokenMatches(tokens[t], static_cast<unsigned char>(name[at]))) ok = false;
                else ++at;
            }
            if (ok && last) ok = at == n;
            else if (ok && !starEndsPattern) ok = at < n && reachable[at];
            matches[s] = ok;
        }
        if (k == 0) return matches[0];

        reachable.assign(n + 1, 0);
        for (std::size_t s = n; s-- > 0;) reachable[s] = matches[s] || reachable[s + 1];
    }
    return false;
}

bool patternWellFormed(std::string_view pattern)
{
    std::size_t p = 0;
    while (p < pattern.size()) {
        if (pattern[p] == '[') {
            std::size_t from = p + 1;
            if (from < pattern.size() && pattern[from] == '!') ++from;
            std::size_t close = pattern.find(']', from);
            if (close == std::string_view::npos) return false;
            p = close;
        }
        ++p;
    }
    return true;
}
