// Splitting and quoting by the Microsoft C runtime's rules.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/command_line.h"

namespace {

using Arguments = std::vector<std::string>;

struct SplitCase {
  const char* line;
  Arguments expected;
};

TEST(CommandLine, SplitsTheAwkwardCases) {
  const SplitCase cases[] = {
      {"a b  c", {"a", "b", "c"}},
      {"p \"a b\" c", {"p", "a b", "c"}},
      {"p a\\\\b", {"p", "a\\\\b"}},
      {"p a\\\"b", {"p", "a\"b"}},
      {"p a\\\\\\\"b", {"p", "a\\\"b"}},
      {"p \"a\\\\\" b", {"p", "a\\", "b"}},
      {"p \"a\"\"b\"", {"p", "a\"b"}},
      {"p \"a\"\"b c\" d", {"p", "a\"b c", "d"}},
      {"p a\\", {"p", "a\\"}},
      {"p a\\\\ b", {"p", "a\\\\", "b"}},
      {"p \"\"", {"p", ""}},
      {"p \"\" \"\"", {"p", "", ""}},
      {"p a\"\"b", {"p", "ab"}},
      {"p \"a", {"p", "a"}},
      {"p \"a b", {"p", "a b"}},
      {"p a\"b c\"d", {"p", "ab cd"}},
      {"p \t a\tb \t", {"p", "a", "b"}},
      {"p \"a\tb\"", {"p", "a\tb"}},
      {"p \\\\\\\\\"", {"p", "\\\\"}},
      {"p \"\"\"", {"p", "\""}},
      {"p \"\"\"\"", {"p", "\""}},
      {"\"C:\\Program Files\\x.exe\" -y", {"C:\\Program Files\\x.exe", "-y"}},
      // The program name: quotes toggle, backslashes are never special.
      {"C:\\dir\\\"x y\".exe a", {"C:\\dir\\x y.exe", "a"}},
      {"a\\\"b c", {"a\\b c"}},
      {"\"a\"\"b\" c", {"ab", "c"}},
      {"prog\tx", {"prog", "x"}},
      {" x y", {"", "x", "y"}},
      {"", {""}},
      {"\"\"", {""}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(platform::splitCommandLine(c.line), c.expected) << "command line: [" << c.line
                                                               << "]";
  }
}

struct QuoteCase {
  const char* argument;
  const char* quoted;
};

TEST(CommandLine, QuotesOnlyWhatNeedsIt) {
  const QuoteCase cases[] = {
      {"abc", "abc"},
      {"a\\b", "a\\b"},
      {"a\\", "a\\"},
      {"", "\"\""},
      {"a b", "\"a b\""},
      {"a\tb", "\"a\tb\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\\"b", "\"a\\\\\\\"b\""},
      {"a b\\", "\"a b\\\\\""},
      {"a\\b c", "\"a\\b c\""},
      {"\"", "\"\\\"\""},
  };
  for (const QuoteCase& c : cases) {
    EXPECT_EQ(platform::quoteArgument(c.argument), c.quoted) << "argument: [" << c.argument
                                                             << "]";
  }
}

TEST(CommandLine, QuotedArgumentsSplitBackUnchanged) {
  // The characters that matter to the rules, and a plain one.
  const char alphabet[] = {'a', ' ', '\t', '"', '\\', 'x'};
  std::mt19937 random(20241208);
  std::uniform_int_distribution<int> pick(0, sizeof alphabet - 1);
  std::uniform_int_distribution<int> length(0, 8);
  std::uniform_int_distribution<int> count(1, 4);
  for (int round = 0; round < 3000; ++round) {
    Arguments expected = {"prog"};
    std::string line = "prog";
    for (int n = count(random); n > 0; --n) {
      std::string argument;
      for (int i = length(random); i > 0; --i) argument += alphabet[pick(random)];
      expected.push_back(argument);
      line += ' ';
      line += platform::quoteArgument(argument);
    }
    ASSERT_EQ(platform::splitCommandLine(line), expected) << "command line: [" << line << "]";
  }
}

}  // namespace
