// Typed words and ready patterns against the words of a picture.
#include "Find/TextMatch.h"

#include <algorithm>
#include <cstdint>
#include <regex>

namespace tilvo {

namespace {

// Decodes one UTF-8 character at `i`, moving past it; a malformed byte stands for itself.
uint32_t NextCodePoint(const std::string& s, size_t& i) {
    const auto b = uint8_t(s[i]);
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    if (extra == 0 || i + size_t(extra) >= s.size()) {
        ++i;
        return b;
    }
    uint32_t cp = b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        const auto c = uint8_t(s[i + size_t(k)]);
        if ((c & 0xC0) != 0x80) {
            ++i;
            return b;
        }
        cp = cp << 6 | (c & 0x3F);
    }
    i += size_t(extra) + 1;
    return cp;
}

void AppendUtf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | cp >> 6);
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | cp >> 12);
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | cp >> 18);
        out += char(0x80 | (cp >> 12 & 0x3F));
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// The base letters of U+00C0 … U+017F, lower case ('\0': not a letter to fold).
constexpr const char* kLatin1 =  // U+00C0 … U+00FF
    "aaaaaaaceeeeiiii"           // C0
    "dnooooo\0ouuuuyts"          // D0 (D7 ×, DE Þ → t, DF ß → s, doubled below)
    "aaaaaaaceeeeiiii"           // E0
    "dnooooo\0ouuuuyty";         // F0 (F7 ÷, FE þ → t)
constexpr const char* kLatinA =  // U+0100 … U+017F
    "aaaaaaccccccccdd"
    "ddeeeeeeeeeegggg"
    "gggghhhhiiiiiiii"
    "iiiijjkkklllllll"
    "lllnnnnnnnnnoooo"
    "oooorrrrrrssssss"
    "ssttttttuuuuuuuu"
    "uuuuwwyyyzzzzzzs";

constexpr size_t kMaxRun = 64;  // the longest text a pattern matches

// A phone, IBAN, card or date pattern's characters around a match must not be letters or digits
// (a match is a whole run).
bool IsWordChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string DigitsOf(const std::string& s) {
    std::string d;
    for (char c : s)
        if (c >= '0' && c <= '9') d += c;
    return d;
}

bool LuhnValid(const std::string& digits) {
    int sum = 0;
    bool twice = false;
    for (size_t i = digits.size(); i-- > 0;) {
        int d = digits[i] - '0';
        if (twice && (d *= 2) > 9) d -= 9;
        sum += d;
        twice = !twice;
    }
    return sum % 10 == 0;
}

bool IbanValid(const std::string& text) {
    std::string iban;
    for (char c : text)
        if (c != ' ') iban += c;
    if (iban.size() < 15 || iban.size() > 34) return false;
    std::rotate(iban.begin(), iban.begin() + 4, iban.end());
    int remainder = 0;
    for (char c : iban) {
        const int v = c >= 'A' && c <= 'Z' ? c - 'A' + 10 : c - '0';
        remainder = v >= 10 ? (remainder * 100 + v) % 97 : (remainder * 10 + v) % 97;
    }
    return remainder == 1;
}

const char* const kMonths =
    "(jan|feb|mar|apr|may|jun|jul|aug|sep|sept|oct|nov|dec|january|february|march|april|june|"
    "july|august|september|october|november|december)";

struct TPatternDef {
    TTextPattern Pattern;
    const char* Name;
    std::vector<std::regex> Shapes;  // any of them, matched case-insensitively where noted
};

// The table of docs/find-patterns.md.
const std::vector<TPatternDef>& PatternTable() {
    static const std::vector<TPatternDef> table = [] {
        const auto icase = std::regex::ECMAScript | std::regex::icase | std::regex::optimize;
        const auto exact = std::regex::ECMAScript | std::regex::optimize;
        std::vector<TPatternDef> t;
        t.push_back({TTextPattern::Email,
                     "email",
                     {std::regex(R"([A-Za-z0-9._%+\-]+@[A-Za-z0-9\-]+(\.[A-Za-z0-9\-]+)*\.[A-Za-z]{2,})",
                                 exact)}});
        t.push_back({TTextPattern::Phone,
                     "phone",
                     {std::regex(R"(\+\d{1,3}([ .\-]?(\(\d{1,4}\)|\d{1,5})){2,6})", exact),
                      std::regex(R"(0\d{1,5}([ .\-/]?\d{2,5}){1,4})", exact),
                      std::regex(R"(\(\d{2,5}\) ?\d{2,5}([ .\-]?\d{2,5}){0,3})", exact),
                      std::regex(R"(\d{3}[.\-]\d{3}[.\-]\d{4})", exact)}});
        t.push_back({TTextPattern::Iban,
                     "iban",
                     {std::regex(R"([A-Z]{2}\d{2}( ?[A-Z0-9]{4}){2,7}( ?[A-Z0-9]{1,3})?)", exact)}});
        t.push_back({TTextPattern::Card,
                     "card",
                     {std::regex(R"(\d{4}([ \-]?\d{4}){2}[ \-]?\d{1,7})", exact),
                      std::regex(R"(\d{4}[ \-]?\d{6}[ \-]?\d{4,5})", exact)}});
        t.push_back({TTextPattern::Date,
                     "date",
                     {std::regex(R"((\d{1,2})[./\-](\d{1,2})[./\-](\d{4}|\d{2}))", exact),
                      std::regex(R"((\d{4})-(\d{1,2})-(\d{1,2}))", exact),
                      std::regex(std::string(R"((\d{1,2})\.? )") + kMonths + R"(\.?,? \d{4})", icase),
                      std::regex(kMonths + std::string(R"(\.? (\d{1,2})(st|nd|rd|th)?,? \d{4})"), icase)}});
        t.push_back({TTextPattern::Plate,
                     "plate",
                     {std::regex(R"([A-Z]{2}\d{2} ?[A-Z]{3})", exact),          // GB
                      std::regex(R"([A-Z]{1,3}-[A-Z]{1,2} ?\d{1,4}[EH]?)", exact),  // DE
                      std::regex(R"([A-Z]{2}-\d{3}-[A-Z]{2})", exact),            // FR, IT
                      std::regex(R"(\d{1,2}-[A-Z]{3}-\d{1,3})", exact),           // NL
                      std::regex(R"([A-Z]{3}[ \-]\d{3,4})", exact),               // SE, US
                      std::regex(R"(\d[A-Z]{3}\d{3})", exact)}});                 // US
        return t;
    }();
    return table;
}

const TPatternDef& DefOf(TTextPattern p) {
    return PatternTable()[size_t(p)];
}

// The checks a shape alone cannot make.
bool PassesChecks(TTextPattern p, const std::string& text) {
    switch (p) {
        case TTextPattern::Phone: {
            const size_t n = DigitsOf(text).size();
            return n >= 7 && n <= 15;
        }
        case TTextPattern::Iban:
            return IbanValid(text);
        case TTextPattern::Card: {
            const std::string d = DigitsOf(text);
            return d.size() >= 13 && d.size() <= 19 && LuhnValid(d);
        }
        case TTextPattern::Date: {
            std::smatch m;
            const auto& shapes = DefOf(p).Shapes;
            if (std::regex_match(text, m, shapes[0]))
                return std::stoi(m[1]) >= 1 && std::stoi(m[1]) <= 31 && std::stoi(m[2]) >= 1 &&
                       std::stoi(m[2]) <= 12;
            if (std::regex_match(text, m, shapes[1]))
                return std::stoi(m[2]) >= 1 && std::stoi(m[2]) <= 12 && std::stoi(m[3]) >= 1 &&
                       std::stoi(m[3]) <= 31;
            return true;
        }
        default:
            return true;
    }
}

struct TLine {
    std::string Text;             // the line's words, one space between
    std::vector<size_t> Starts;   // where each word starts in Text
    std::vector<size_t> Indices;  // the word's index in the words read
};

std::vector<TLine> LinesOf(const std::vector<TReadWord>& words) {
    std::vector<TLine> lines;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i == 0 || words[i].Line != words[i - 1].Line) lines.emplace_back();
        TLine& l = lines.back();
        if (!l.Text.empty()) l.Text += ' ';
        l.Starts.push_back(l.Text.size());
        l.Indices.push_back(i);
        l.Text += words[i].Text;
    }
    return lines;
}

TRect UnionOf(const std::vector<TReadWord>& words, const std::vector<size_t>& which) {
    TRect box{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    for (size_t i : which) {
        const TReadWord& w = words[i];
        box.Left = std::min(box.Left, w.X);
        box.Top = std::min(box.Top, w.Y);
        box.Right = std::max(box.Right, w.X + w.W);
        box.Bottom = std::max(box.Bottom, w.Y + w.H);
    }
    return box;
}

// The words of the line that the characters [begin, end) of its text touch.
std::vector<size_t> WordsUnder(const TLine& line, const std::vector<TReadWord>& words,
                               size_t begin, size_t end) {
    std::vector<size_t> under;
    for (size_t k = 0; k < line.Starts.size(); ++k) {
        const size_t s = line.Starts[k], e = s + words[line.Indices[k]].Text.size();
        if (s < end && e > begin) under.push_back(line.Indices[k]);
    }
    return under;
}

// A typed word against a word read, both folded: as a part, or whole once the read word's
// punctuation at either end is set aside.
bool WordMatches(const std::string& typed, const std::string& read, bool whole) {
    if (typed.empty()) return false;
    if (!whole) return read.find(typed) != std::string::npos;
    size_t b = 0, e = read.size();
    auto punct = [](char c) { return std::string_view(".,;:!?\"'()[]{}<>").find(c) != std::string_view::npos; };
    while (b < e && punct(read[b])) ++b;
    while (e > b && punct(read[e - 1])) --e;
    return read.compare(b, e - b, typed) == 0;
}

std::vector<std::string> SplitWords(const std::string& s) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '\n') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

// ASCII letters and digits, and the letters of other scripts (from U+00C0 on, less the signs
// × and ÷ and the punctuation, symbol and arrow blocks of U+2000 … U+2BFF).
bool HasLetterOrDigit(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const uint32_t cp = NextCodePoint(s, i);
        if (cp < 0x80 ? IsWordChar(char(cp))
                      : cp >= 0xC0 && cp != 0xD7 && cp != 0xF7 && !(cp >= 0x2000 && cp <= 0x2BFF))
            return true;
    }
    return false;
}

}  // namespace

std::string FoldText(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const uint32_t cp = NextCodePoint(utf8, i);
        if (cp >= 'A' && cp <= 'Z') {
            out += char(cp - 'A' + 'a');
        } else if (cp == 0xDF) {
            out += "ss";
        } else if (cp >= 0xC0 && cp <= 0xFF && kLatin1[cp - 0xC0] != '\0') {
            out += kLatin1[cp - 0xC0];
        } else if (cp >= 0x100 && cp <= 0x17F) {
            out += kLatinA[cp - 0x100];
        } else if (cp >= 0x300 && cp <= 0x36F) {
            // a combining mark: dropped
        } else {
            AppendUtf8(cp, out);
        }
    }
    return out;
}

bool TextPatternFromName(const std::string& name, TTextPattern& pattern) {
    for (const TPatternDef& d : PatternTable())
        if (name == d.Name) {
            pattern = d.Pattern;
            return true;
        }
    return false;
}

const char* TextPatternName(TTextPattern pattern) {
    return DefOf(pattern).Name;
}

bool MatchesPattern(TTextPattern pattern, const std::string& text) {
    for (const std::regex& shape : DefOf(pattern).Shapes)
        if (std::regex_match(text, shape)) return PassesChecks(pattern, text);
    return false;
}

std::vector<TFound> MatchWords(const std::vector<TReadWord>& words, const TTextQuery& query) {
    std::vector<TFound> found;
    const std::vector<TLine> lines = LinesOf(words);
    // Typed words, folded once.
    std::vector<std::vector<std::string>> phrases;
    for (const std::string& typed : query.Words) {
        std::vector<std::string> parts;
        for (const std::string& w : SplitWords(typed)) parts.push_back(FoldText(w));
        if (!parts.empty()) phrases.push_back(std::move(parts));
    }
    for (const TLine& line : lines) {
        std::vector<std::string> folded;
        for (size_t i : line.Indices) folded.push_back(FoldText(words[i].Text));
        std::vector<bool> taken(line.Indices.size(), false);
        auto propose = [&](const std::vector<size_t>& which, const char* what,
                           const std::string& text) {
            found.push_back({TFoundKind::Text, UnionOf(words, which), what, text});
        };
        if (query.All) {
            for (size_t k = 0; k < line.Indices.size(); ++k)
                if (HasLetterOrDigit(words[line.Indices[k]].Text))
                    propose({line.Indices[k]}, "all", words[line.Indices[k]].Text);
            continue;
        }
        for (const auto& phrase : phrases) {
            for (size_t k = 0; k + phrase.size() <= folded.size(); ++k) {
                bool all = true;
                for (size_t j = 0; j < phrase.size() && all; ++j) {
                    // Inside a phrase the words are whole, except the first one's start and the
                    // last one's end in the parts search.
                    all = WordMatches(phrase[j], folded[k + j],
                                      query.WholeWords || (phrase.size() > 1 && j > 0 &&
                                                           j + 1 < phrase.size()));
                }
                if (!all) continue;
                std::vector<size_t> which;
                std::string text;
                for (size_t j = 0; j < phrase.size(); ++j) {
                    which.push_back(line.Indices[k + j]);
                    text += (j ? " " : "") + words[line.Indices[k + j]].Text;
                }
                propose(which, "word", text);
            }
        }
        // Patterns: every run of the line's text that matches, its neighbours not letters or
        // digits; the longest from each start, later runs after its end.
        for (TTextPattern p : query.Patterns) {
            const std::string& s = line.Text;
            for (size_t begin = 0; begin < s.size();) {
                const char c = s[begin];
                if ((begin > 0 && IsWordChar(s[begin - 1])) || !(IsWordChar(c) || c == '+' || c == '(')) {
                    ++begin;
                    continue;
                }
                // The longest run from here that matches, of at most kMaxRun characters: ends tried
                // from the farthest back, at the end of a run of letters or digits (or a ')').
                size_t best = 0;
                for (size_t end = std::min(s.size(), begin + kMaxRun); end > begin; --end) {
                    if (end < s.size() && IsWordChar(s[end])) continue;
                    if (!IsWordChar(s[end - 1]) && s[end - 1] != ')') continue;
                    if (MatchesPattern(p, s.substr(begin, end - begin))) {
                        best = end;
                        break;
                    }
                }
                if (best == 0) {
                    ++begin;
                    continue;
                }
                propose(WordsUnder(line, words, begin, best), TextPatternName(p),
                        s.substr(begin, best - begin));
                begin = best;
            }
        }
    }
    return found;
}

}  // namespace tilvo
