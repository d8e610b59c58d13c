// The ready patterns as docs/find-patterns.md defines them, the folding of typed words and the
// matching of typed words, phrases and patterns over the words of a picture.
#include <gtest/gtest.h>

#include "Find/TextMatch.h"

namespace tilvo {
namespace {

struct TPatternCase {
    TTextPattern Pattern;
    const char* Text;
    bool Matches;
};

// The table of docs/find-patterns.md, row by row: what each pattern takes and what it refuses.
const TPatternCase kPatternCases[] = {
    {TTextPattern::Email, "anna.kowalski@example.org", true},
    {TTextPattern::Email, "j.petersen+news@mail.example.co.uk", true},
    {TTextPattern::Email, "anna@localhost", false},
    {TTextPattern::Email, "@example.org", false},
    {TTextPattern::Email, "anna.example.org", false},
    {TTextPattern::Phone, "+44 20 7946 0958", true},
    {TTextPattern::Phone, "+49 (0)30 1234567", true},
    {TTextPattern::Phone, "+1-202-555-0143", true},
    {TTextPattern::Phone, "020 7946 0958", true},
    {TTextPattern::Phone, "030/1234567", true},
    {TTextPattern::Phone, "(555) 867-5309", true},
    {TTextPattern::Phone, "555-867-5309", true},
    {TTextPattern::Phone, "+44 20", false},           // too few digits
    {TTextPattern::Phone, "1234 5678", false},        // no +, 0, ( or 3-3-4 shape
    {TTextPattern::Phone, "+1234567890123456", false},  // more than 15 digits
    {TTextPattern::Iban, "GB82 WEST 1234 5698 7654 32", true},
    {TTextPattern::Iban, "GB82WEST12345698765432", true},
    {TTextPattern::Iban, "DE89 3704 0044 0532 0130 00", true},
    {TTextPattern::Iban, "GB83 WEST 1234 5698 7654 32", false},  // check digits wrong
    {TTextPattern::Iban, "gb82 west 1234 5698 7654 32", false},  // lower case
    {TTextPattern::Card, "4111 1111 1111 1111", true},
    {TTextPattern::Card, "4111-1111-1111-1111", true},
    {TTextPattern::Card, "5500005555555559", true},
    {TTextPattern::Card, "3782 822463 10005", true},             // 4-6-5
    {TTextPattern::Card, "4111 1111 1111 1112", false},          // Luhn check fails
    {TTextPattern::Card, "4111 1111 111", false},                // too short
    {TTextPattern::Date, "12.03.1984", true},
    {TTextPattern::Date, "3/7/24", true},
    {TTextPattern::Date, "2024-05-17", true},
    {TTextPattern::Date, "3 March 2023", true},
    {TTextPattern::Date, "17. Mar 2023", true},
    {TTextPattern::Date, "March 3rd, 2023", true},
    {TTextPattern::Date, "32.01.2020", false},                   // no 32nd
    {TTextPattern::Date, "12.13.2020", false},                   // no 13th month
    {TTextPattern::Date, "2024-13-01", false},
    {TTextPattern::Date, "09/28", false},                        // month and year only
    {TTextPattern::Plate, "AB12 CDE", true},
    {TTextPattern::Plate, "AB12CDE", true},
    {TTextPattern::Plate, "KL-MN 482", true},
    {TTextPattern::Plate, "M-AB 1234E", true},
    {TTextPattern::Plate, "AB-123-CD", true},
    {TTextPattern::Plate, "12-ABC-3", true},
    {TTextPattern::Plate, "ABC 123", true},
    {TTextPattern::Plate, "7ABC123", true},
    {TTextPattern::Plate, "ab12 cde", false},
    {TTextPattern::Plate, "GB82 WEST", false},
    {TTextPattern::Plate, "ABCD 1234", false},
};

TEST(FindPatterns, TableOfDefinitions) {
    for (const TPatternCase& c : kPatternCases)
        EXPECT_EQ(MatchesPattern(c.Pattern, c.Text), c.Matches)
            << TextPatternName(c.Pattern) << ": \"" << c.Text << "\"";
}

TEST(FindPatterns, NamesRoundTrip) {
    for (const char* name : {"email", "phone", "iban", "card", "date", "plate"}) {
        TTextPattern p;
        ASSERT_TRUE(TextPatternFromName(name, p)) << name;
        EXPECT_STREQ(TextPatternName(p), name);
    }
    TTextPattern p;
    EXPECT_FALSE(TextPatternFromName("all", p));
    EXPECT_FALSE(TextPatternFromName("Email", p));
}

TEST(FindText, FoldingTakesOffCaseAndAccents) {
    const std::pair<const char*, const char*> cases[] = {
        {"KOWALSKI", "kowalski"}, {"Gonz\xC3\xA1lez", "gonzalez"},      // á
        {"\xC5\x81\xC3\xB3\x64\xC5\xBA", "lodz"},                         // Łódź
        {"Stra\xC3\x9F" "e", "strasse"},                                   // ß
        {"Cafe\xCC\x81", "cafe"},                                          // combining acute
        {"\xCE\xA9mega", "\xCE\xA9mega"},                                  // Greek kept
        {"\xFF\x41", "ya"},                 // a stray byte is read as the Latin-1 letter
        {"\x80\x41", "\xC2\x80" "a"},         // a stray continuation byte too
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(FoldText(in), out) << in;
}

// Words of two lines, as the reader gives them.
std::vector<TReadWord> Lines() {
    return {
        {"Anna", 10, 10, 40, 12, 0, 90},       {"Kowalski,", 55, 10, 70, 12, 0, 90},
        {"L\xC3\xB3\x64\xC5\xBA", 130, 10, 40, 12, 0, 90},
        {"phone", 10, 30, 40, 12, 1, 90},      {"+44", 55, 30, 30, 12, 1, 90},
        {"20", 90, 30, 16, 12, 1, 90},         {"7946", 110, 30, 32, 12, 1, 90},
        {"0958;", 146, 30, 36, 12, 1, 90},     {"mail:anna@example.org", 190, 30, 150, 12, 1, 90},
    };
}

TEST(FindText, TypedWordsMatchPartsOrWholeWords) {
    const std::vector<TReadWord> words = Lines();
    struct TCase {
        const char* Typed;
        bool Whole;
        std::vector<std::string> Texts;
    };
    const TCase cases[] = {
        {"kowal", false, {"Kowalski,"}},
        {"kowal", true, {}},
        {"KOWALSKI", true, {"Kowalski,"}},
        {"lodz", true, {"L\xC3\xB3\x64\xC5\xBA"}},
        {"anna", false, {"Anna", "mail:anna@example.org"}},
        {"anna kowalski", true, {"Anna Kowalski,"}},
        {"kowalski anna", false, {}},       // not in that order
        {"lodz phone", false, {}},          // a phrase stays on one line
        {"7946", true, {"7946"}},
    };
    for (const TCase& c : cases) {
        TTextQuery q;
        q.Words = {c.Typed};
        q.WholeWords = c.Whole;
        std::vector<std::string> texts;
        for (const TFound& f : MatchWords(words, q)) {
            EXPECT_EQ(f.Kind, TFoundKind::Text);
            EXPECT_EQ(f.What, "word");
            texts.push_back(f.Text);
        }
        EXPECT_EQ(texts, c.Texts) << c.Typed << (c.Whole ? " (whole)" : "");
    }
}

TEST(FindText, PhraseBoxIsTheUnionOfItsWords) {
    TTextQuery q;
    q.Words = {"Anna Kowalski"};
    const std::vector<TFound> found = MatchWords(Lines(), q);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].Box, (TRect{10, 10, 125, 22}));
}

TEST(FindText, PatternsSpanWordsAndCoverWhatTheyTouch) {
    TTextQuery q;
    q.Patterns = {TTextPattern::Phone, TTextPattern::Email};
    const std::vector<TFound> found = MatchWords(Lines(), q);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].What, "phone");
    EXPECT_EQ(found[0].Text, "+44 20 7946 0958");
    EXPECT_EQ(found[0].Box, (TRect{55, 30, 182, 42}));
    // The address inside a longer word: the whole word is covered.
    EXPECT_EQ(found[1].What, "email");
    EXPECT_EQ(found[1].Text, "anna@example.org");
    EXPECT_EQ(found[1].Box, (TRect{190, 30, 340, 42}));
}

TEST(FindText, AllTakesEveryWordWithALetterOrDigit) {
    std::vector<TReadWord> words = Lines();
    words.push_back({"\xE2\x80\x94", 400, 30, 10, 12, 1, 40});  // a dash alone
    TTextQuery q;
    q.All = true;
    EXPECT_EQ(MatchWords(words, q).size(), Lines().size());
}

}  // namespace
}  // namespace tilvo
