#include "resolve/link_resolver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora {
namespace {

// Serves one page and one answer and records every call with its bytes.
class FakeHost final : public ResolverHost {
 public:
  FakeHost(std::string page, std::string answer)
      : page_(std::move(page)), answer_(std::move(answer)) {}

  void GetPage(std::string& page) override {
    calls.push_back("getPage");
    page = page_;
  }
  void PostForm(const std::string& url, const std::string& params, std::string& answer) override {
    calls.push_back("postForm " + url + " | " + params);
    answer = answer_;
  }
  void Log(const std::string& message) override { calls.push_back("log " + message); }
  void SaveFile(const std::string& path, const std::string& content) override {
    calls.push_back("saveFile " + path + " | " + content);
  }

  std::vector<std::string> calls;

 private:
  std::string page_;
  std::string answer_;
};

const std::string kUrlLog = "log \xD1\xF1\xFB\xEB\xEA\xE0 \xE4\xEB\xFF POST: ";
const std::string kParamsLog = "log \xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB POST:\n";
const std::string kPage =
    "<HTML><FORM METHOD=\"POST\" ACTION=\"/dl\"><INPUT TYPE=\"hidden\" NAME=\"id\" VALUE=\"42\">"
    "<INPUT TYPE=\"submit\" NAME=\"premium\" VALUE=\"Buy\"><INPUT TYPE=\"submit\" NAME=\"free\" "
    "VALUE=\"Free download\"></FORM></HTML>";
const std::string kPosted = "postForm /dl | id=42\r\nfree=Free download\r\n";
const std::string kAnswer = "<P>Your download link:</P>\r\n<A HREF=\"http://d.example/f.zip\">";

struct Row {
  const char* what;
  std::string page, answer;
  bool debug;
  Verdict verdict;
  std::string link;
  std::vector<std::string> calls;
};

void Check(const Row& row) {
  FakeHost host(row.page, row.answer);
  RequestBuffers buffers;
  buffers.formAction = "from an earlier request";
  const Resolution result =
      ResolveDirectLink(host, {row.debug, "C:\\dumps\\", "Dornix.html"}, buffers);
  EXPECT_EQ(result.verdict, row.verdict) << row.what;
  EXPECT_EQ(result.link, row.link) << row.what;
  EXPECT_EQ(host.calls, row.calls) << row.what;
}

TEST(ResolveDirectLinkTest, Verdicts) {
  // clang-format off
  const Row rows[] = {
      {"link found", kPage, kAnswer, false, Verdict::kLink, "http://d.example/f.zip",
       {"getPage", kPosted}},
      {"empty page", "", kAnswer, true, Verdict::kNoLink, "", {"getPage"}},
      {"no form", "<HTML>nothing</HTML>", kAnswer, true, Verdict::kNoLink, "", {"getPage"}},
      {"no named field", "<FORM ACTION=\"/a\"><INPUT VALUE=\"x\"></FORM>", kAnswer, true,
       Verdict::kNoLink, "", {"getPage"}},
      {"invalid link", kPage, "x<p><b>Invalid download link</b></p>", false, Verdict::kNotFound,
       "", {"getPage", kPosted}},
      {"faulty link", kPage, "Fehlerhafter Downloadlink", false, Verdict::kDeleted, "",
       {"getPage", kPosted}},
      {"both error markers", kPage, "Fehlerhafter Downloadlink Invalid download link</b></p>",
       false, Verdict::kNotFound, "", {"getPage", kPosted}},
      {"error marker needs its tags", kPage, "Invalid download link</b>", false,
       Verdict::kNoLink, "", {"getPage", kPosted}},
      {"empty answer", kPage, "", false, Verdict::kNoLink, "", {"getPage", kPosted}},
  };
  // clang-format on
  for (const Row& row : rows) Check(row);
}

TEST(ResolveDirectLinkTest, LinkExtraction) {
  // clang-format off
  const Row rows[] = {
      {"no line break", kPage, "Your download link HREF=\"dl/f\"", false, Verdict::kLink, "dl/f",
       {"getPage", kPosted}},
      {"link before the marker on its line", kPage,
       "a\nx HREF=\"first\" Your download link HREF=\"second\"", false, Verdict::kLink, "first",
       {"getPage", kPosted}},
      {"link on a later line", kPage, "Your download link\r\n\r\n<A HREF=\"later\">", false,
       Verdict::kLink, "later", {"getPage", kPosted}},
      {"only link on an earlier line", kPage, "<A HREF=\"early\">\nYour download link", false,
       Verdict::kNoLink, "", {"getPage", kPosted}},
      {"empty link", kPage, "Your download link HREF=\"\"", false, Verdict::kLink, "",
       {"getPage", kPosted}},
      {"lower-case href", kPage, "Your download link <a href=\"x\">", false, Verdict::kNoLink,
       "", {"getPage", kPosted}},
      {"unterminated link", kPage, "Your download link HREF=\"x", false, Verdict::kNoLink, "",
       {"getPage", kPosted}},
      {"no marker", kPage, "HREF=\"x\"", false, Verdict::kNoLink, "", {"getPage", kPosted}},
      {"first marker counts", kPage,
       "Your download link\nHREF=\"one\"\nYour download link HREF=\"two\"", false, Verdict::kLink,
       "one", {"getPage", kPosted}},
      {"bytes are kept", kPage, "Your download link HREF=\" a&amp;b\xFF \"", false,
       Verdict::kLink, " a&amp;b\xFF ", {"getPage", kPosted}},
      {"CR alone is no line break", kPage, "HREF=\"cr\"\rYour download link HREF=\"x\"", false,
       Verdict::kLink, "cr", {"getPage", kPosted}},
  };
  // clang-format on
  for (const Row& row : rows) Check(row);
}

TEST(ResolveDirectLinkTest, PremiumFilter) {
  // clang-format off
  const Row rows[] = {
      {"premium in a value, any case",
       "<FORM ACTION=\"/p\"><INPUT NAME=\"type\" VALUE=\"Premium\"><INPUT NAME=\"prem\" "
       "VALUE=\"ium\"></FORM>",
       "", false, Verdict::kNoLink, "", {"getPage", "postForm /p | prem=ium\r\n"}},
      {"only field is premium: still posted",
       "<FORM ACTION=\"/p\"><INPUT NAME=\"PREMIUM_key\" VALUE=\"1\"></FORM>", "", false,
       Verdict::kNoLink, "", {"getPage", "postForm /p | "}},
      {"line break in a value makes lines of their own",
       "<FORM ACTION=\"/p\"><INPUT NAME=\"a\" VALUE=\"1\r\npremium\nb=2\rc\"></FORM>", "", false,
       Verdict::kNoLink, "", {"getPage", "postForm /p | a=1\r\nb=2\r\nc\r\n"}},
      {"value that is one line break",
       "<FORM ACTION=\"/p\"><INPUT NAME=\"a\" VALUE=\"\n\"></FORM>", "", false,
       Verdict::kNoLink, "", {"getPage", "postForm /p | a=\r\n\r\n"}},
  };
  // clang-format on
  for (const Row& row : rows) Check(row);
}

TEST(ResolveDirectLinkTest, DebugLogsAndDumps) {
  const std::string dump = "saveFile C:\\dumps\\Dornix.html | ";
  const std::string params = "id=42\r\nfree=Free download\r\n";
  // clang-format off
  const Row rows[] = {
      {"link found", kPage, kAnswer, true, Verdict::kLink, "http://d.example/f.zip",
       {"getPage", kUrlLog + "/dl", kParamsLog + params, kPosted, dump + kAnswer}},
      {"no link: still dumped", kPage, "nothing", true, Verdict::kNoLink, "",
       {"getPage", kUrlLog + "/dl", kParamsLog + params, kPosted, dump + "nothing"}},
      {"empty answer: dumps the empty text", kPage, "", true, Verdict::kNoLink, "",
       {"getPage", kUrlLog + "/dl", kParamsLog + params, kPosted, dump}},
      {"faulty link: no dump", kPage, "Fehlerhafter Downloadlink", true, Verdict::kDeleted, "",
       {"getPage", kUrlLog + "/dl", kParamsLog + params, kPosted}},
      {"invalid link: no dump", kPage, "Invalid download link</b></p>", true,
       Verdict::kNotFound, "", {"getPage", kUrlLog + "/dl", kParamsLog + params, kPosted}},
      {"empty action: bare prefix",
       "<FORM ACTION=\"\"><INPUT NAME=\"premium\" VALUE=\"1\"></FORM>", "x", true,
       Verdict::kNoLink, "", {"getPage", kUrlLog, kParamsLog, "postForm  | ", dump + "x"}},
  };
  // clang-format on
  for (const Row& row : rows) Check(row);
}

TEST(ResolveDirectLinkTest, RecordsTheScannedAction) {
  FakeHost host("<FORM ACTION=\"/only\"><INPUT VALUE=\"v\"></FORM>", "");
  RequestBuffers buffers;
  ResolveDirectLink(host, {}, buffers);
  EXPECT_EQ(buffers.formAction, "/only");  // scanned, though nothing was posted

  FakeHost empty("", "");
  ResolveDirectLink(empty, {}, buffers);
  EXPECT_EQ(buffers.formAction, "");  // every request starts afresh
}

TEST(ResolveDirectLinkTest, FormsWhoseFieldsOutgrowTheLimitAreNotPosted) {
  // Nameless inputs borrow the one long name after them: a page of under a
  // megabyte that would ask for about 80 MiB of parameters.
  const std::string name(4096, 'n');
  auto page = [&](int inputs) {
    std::string text = "<FORM ACTION=\"/a\">";
    for (int i = 0; i < inputs; ++i) text += "<INPUT>";
    return text + "<INPUT NAME=\"" + name + "\"></FORM>";
  };
  const std::size_t perField = name.size() + 3;
  const int fitting = static_cast<int>(kMaxFieldBytes / perField) - 1;  // with the named one
  {
    FakeHost host(page(fitting), "Your download link HREF=\"ok\"");
    RequestBuffers buffers;
    EXPECT_EQ(ResolveDirectLink(host, {}, buffers).link, "ok");
    EXPECT_EQ(host.calls.size(), 2u);
  }
  FakeHost host(page(fitting + 1), "Your download link HREF=\"ok\"");
  RequestBuffers buffers;
  const Resolution result = ResolveDirectLink(host, {true, "", "Dornix.html"}, buffers);
  EXPECT_EQ(result.verdict, Verdict::kNoLink);
  EXPECT_EQ(host.calls, std::vector<std::string>{"getPage"});  // no log, no POST
}

}  // namespace
}  // namespace velmora
