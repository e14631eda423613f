#include <gtest/gtest.h>

#include <string>

#include "reader/reader.h"

namespace vos {
namespace {

TEST(CharsetsTest, Utf8ToLatin1AcceptsWhatLatin1HoldsAndNamesTheRest) {
  struct Case {
    std::string utf8;
    ConvertOutcome outcome;
    std::string result;  // the Latin-1 text, or the problem
  };
  const Case cases[] = {
      {"Geb\xC3\xA4ude", ConvertOutcome::kOk, "Geb\xE4ude"},
      {"\xC3\x9F\xC3\xBF", ConvertOutcome::kOk, "\xDF\xFF"},
      {"", ConvertOutcome::kOk, ""},
      {"5\xE2\x82\xAC", ConvertOutcome::kNotLatin1, "U+20AC"},
      {"\xF0\x9F\x98\x80", ConvertOutcome::kNotLatin1, "U+1F600"},
      {"Geb\xE4ude", ConvertOutcome::kInvalid, "invalid UTF-8 at byte 4"},
      {"a\xC3", ConvertOutcome::kInvalid, "invalid UTF-8 at byte 2"},         // cut short
      {"\xC0\x80", ConvertOutcome::kInvalid, "invalid UTF-8 at byte 1"},      // overlong
      {"\xED\xA0\x80", ConvertOutcome::kInvalid, "invalid UTF-8 at byte 1"},  // surrogate
      {"\xF4\x90\x80\x80", ConvertOutcome::kInvalid, "invalid UTF-8 at byte 1"},  // past U+10FFFF
      {"\xC3\x28", ConvertOutcome::kInvalid, "invalid UTF-8 at byte 1"},
  };
  for (const Case& c : cases) {
    std::string latin1, problem;
    EXPECT_EQ(Utf8ToLatin1(c.utf8, latin1, problem), c.outcome) << c.utf8;
    EXPECT_EQ(c.outcome == ConvertOutcome::kOk ? latin1 : problem, c.result) << c.utf8;
  }
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::string back, problem;
  ASSERT_EQ(Utf8ToLatin1(Latin1ToUtf8(all), back, problem), ConvertOutcome::kOk);
  EXPECT_EQ(back, all);
}

TEST(CharsetsTest, OtherSetsGoThroughIconv) {
  Charset charset;
  std::string error, latin1, problem;
  ASSERT_TRUE(OpenCharset("iso-8859-15", charset, error)) << error;
  EXPECT_EQ(ToUser(charset, "\xE4\xA4"), "\xE4?");  // ISO-8859-15 has no currency sign ¤
  EXPECT_EQ(FromUser(charset, "\xE4pfel", latin1, problem), ConvertOutcome::kOk);
  EXPECT_EQ(latin1, "\xE4pfel");
  EXPECT_EQ(FromUser(charset, "5\xA4", latin1, problem), ConvertOutcome::kNotLatin1);  // the euro sign
  EXPECT_EQ(problem, "U+20AC");
  ASSERT_TRUE(OpenCharset("ASCII//IGNORE", charset, error)) << error;
  EXPECT_EQ(ToUser(charset, "Stra\xDF" "e \xE4"), "Strae ");  // drops what it cannot show, and nothing more

  for (auto [name, resolved] : {std::pair{"UTF8", "UTF-8"}, std::pair{"latin1", "ISO-8859-1"},
                                std::pair{"ISO_8859-1", "ISO-8859-1"}}) {
    ASSERT_TRUE(OpenCharset(name, charset, error)) << name;
    EXPECT_EQ(charset.name, resolved);
  }
  EXPECT_FALSE(OpenCharset("no-such-set", charset, error));
  EXPECT_NE(error.find("no-such-set"), std::string::npos);
}

}  // namespace
}  // namespace vos
