// Random pages and answers built from the markers the text work looks for,
// and mutations of them: the differential test's cases, which the explain
// test replays too. The same seed gives the same texts.
#ifndef VELMORA_TESTING_TEXT_MAKER_H_
#define VELMORA_TESTING_TEXT_MAKER_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace velmora::testing {

// Random texts built from the markers the code looks for, and mutations of them.
class TextMaker {
 public:
  explicit TextMaker(std::uint32_t seed) : random_(seed) {}

  std::size_t Below(std::size_t bound) { return random_() % bound; }
  bool OneIn(std::size_t odds) { return Below(odds) == 0; }

  std::string Pick(const std::vector<std::string>& pool) { return pool[Below(pool.size())]; }

  std::string Word() {
    // clang-format off
    static const std::vector<std::string> kWords = {
        "a", "id", "x1", "free", "Go", "PREMIUM", "Premium", "premium", "pReMiUm", "premiu",
        "prem", "ium", " ", "&amp;", "\xE9", "\xFF\x81", "http://d.example/f.zip", "="};
    // clang-format on
    return Pick(kWords);
  }

  std::string Run() {
    static const std::size_t kLengths[] = {0, 1, 8, 254, 255, 256, 257, 300};
    return std::string(kLengths[Below(std::size(kLengths))], static_cast<char>('a' + Below(3)));
  }

  std::string PageToken() {
    // clang-format off
    static const std::vector<std::string> kTokens = {
        "<FORM", "</FORM", "</FORM>", "ACTION=\"", "<INPUT", "<INPUT ", "NAME=\"", "VALUE=\"",
        "FILENAME=\"", "\"", "\">", "\r", "\n", "\r\n", "\n\r", std::string(1, '\0'), "<form",
        "<input name=\"", "<INPU", "NAME=", "VALUE", "ACTION=", "<"};
    // clang-format on
    switch (Below(4)) {
      case 0: return Word();
      case 1: return Run();
      default: return Pick(kTokens);
    }
  }

  std::string AnswerToken() {
    // clang-format off
    static const std::vector<std::string> kTokens = {
        "Invalid download link</b></p>", "Invalid download link</b>", "Fehlerhafter Downloadlink",
        "Your download link", "Your download lin", "HREF=\"", "href=\"", "HREF=", "\"", "\r",
        "\n", "\r\n", std::string(1, '\0'), "<A ", ">", "\x81\n"};
    // clang-format on
    switch (Below(3)) {
      case 0: return Word();
      default: return Pick(kTokens);
    }
  }

  std::string Input() {
    std::string tag = "<INPUT";
    const std::size_t attributes = Below(4);
    for (std::size_t i = 0; i < attributes; ++i) {
      static const std::vector<std::string> kAttributes = {" NAME=\"", " VALUE=\"", " TYPE=\""};
      tag += Pick(kAttributes);
      const std::size_t words = Below(3);
      for (std::size_t w = 0; w < words; ++w) tag += OneIn(6) ? PageToken() : Word();
      if (!OneIn(12)) tag += "\"";
    }
    return tag + ">";
  }

  // A plausible page: text, a form with an action and inputs, more text.
  std::string Page() {
    std::string page;
    if (!OneIn(4)) page += Junk(4, &TextMaker::PageToken);
    page += "<FORM METHOD=\"POST\"";
    if (!OneIn(8)) page += " ACTION=\"" + (OneIn(3) ? Run() : Word()) + (OneIn(10) ? "" : "\"");
    page += ">";
    const std::size_t inputs = OneIn(8) ? 200 + Below(200) : Below(8);
    for (std::size_t i = 0; i < inputs; ++i) {
      page += Input();
      if (OneIn(4)) page += Junk(2, &TextMaker::PageToken);
    }
    if (!OneIn(8)) page += "</FORM>";
    if (!OneIn(3)) page += Junk(4, &TextMaker::PageToken);
    return page;
  }

  std::string Answer() {
    std::string answer;
    if (!OneIn(3)) answer += Junk(4, &TextMaker::AnswerToken);
    if (!OneIn(4)) answer += "<P>Your download link:</P>";
    if (OneIn(2)) answer += OneIn(2) ? "\r\n" : "\n";
    if (!OneIn(4)) answer += "<A HREF=\"" + Word() + (OneIn(8) ? "" : "\"") + ">";
    if (!OneIn(3)) answer += Junk(4, &TextMaker::AnswerToken);
    return answer;
  }

  // Up to a few edits: inserted tokens, deleted or duplicated ranges, changed bytes.
  std::string Mutate(std::string text, std::string (TextMaker::*token)()) {
    const std::size_t edits = Below(5);
    for (std::size_t i = 0; i < edits; ++i) {
      const std::size_t at = Below(text.size() + 1);
      switch (Below(4)) {
        case 0: text.insert(at, (this->*token)()); break;
        case 1: text.erase(at, Below(16)); break;
        case 2:
          if (at < text.size()) text[at] = static_cast<char>(Below(256));
          break;
        default: text.insert(at, text.substr(Below(text.size() + 1), Below(64))); break;
      }
    }
    return text;
  }

  std::string Junk(std::size_t most, std::string (TextMaker::*token)()) {
    std::string junk;
    const std::size_t count = Below(most + 1);
    for (std::size_t i = 0; i < count; ++i) junk += (this->*token)();
    return junk;
  }

  // Pure token soup: markers at the very start and end, in any order.
  std::string Soup(std::string (TextMaker::*token)()) { return Junk(40, token); }

  // Round r of the differential test: a made page and answer, a mutated
  // pair, or a soup of markers, in turn.
  void Case(int round, std::string& page, std::string& answer) {
    switch (round % 3) {
      case 0:
        page = Page();
        answer = Answer();
        break;
      case 1:
        page = Mutate(Page(), &TextMaker::PageToken);
        answer = Mutate(Answer(), &TextMaker::AnswerToken);
        break;
      default:
        page = Soup(&TextMaker::PageToken);
        answer = Soup(&TextMaker::AnswerToken);
        break;
    }
  }

 private:
  std::mt19937 random_;
};

}  // namespace velmora::testing

#endif  // VELMORA_TESTING_TEXT_MAKER_H_
