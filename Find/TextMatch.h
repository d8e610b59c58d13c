// Matching the words read against typed words and the ready patterns: plain text work, without
// Tesseract, so that it is tested on its own.
#pragma once

#include <string>
#include <vector>

#include "Find/Find.h"
#include "Find/TextReader.h"

namespace tilvo {

// The text folded for comparison: lower case, accents and other marks taken off Latin letters
// (é → e, ß → ss, Ł → l), other characters as they are.
std::string FoldText(const std::string& utf8);

// Whether `text` is, from its first character to its last, one match of the pattern, its
// checks included (the IBAN's mod-97 remainder, the card number's Luhn digit, the date's day and
// month).
bool MatchesPattern(TTextPattern pattern, const std::string& text);

// What the query matches among the words read (in reading order, a line's words together): one
// proposal per match, its box the union of the matched words' boxes, in reading order.
std::vector<TFound> MatchWords(const std::vector<TReadWord>& words, const TTextQuery& query);

}  // namespace tilvo
