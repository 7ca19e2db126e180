// The requests the benchmarks time: the texts a host hands over (typical,
// large, dense with first bytes, forms of many inputs) and the hosts that
// hand them over, to the resolver directly or through the exports. Shared
// by request_bench.cpp (Google Benchmark) and request_timing.cpp (the plain
// timed program of the Win32 build), so both time the same work.
#ifndef VELMORA_BENCH_REQUEST_CASES_H_
#define VELMORA_BENCH_REQUEST_CASES_H_

#include <cstddef>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

#include "plugin/plugin_api.h"
#include "resolve/link_resolver.h"

namespace velmora::bench {

struct Texts {
  std::string page;
  std::string answer;
};

// Markup-like lines without any marker the plugin looks for.
inline std::string Filler(std::size_t bytes) {
  static const std::string_view kLines[] = {
      "<div class=\"row\"><span>File mirror 12, hosted since 2009</span></div>\n",
      "<a href=\"/files/list?page=3\" title=\"more\">More files</a> | <b>42</b>\n",
      "<p>Please wait while your download is prepared. Sharing is caring.</p>\n",
      "<script>var t = 30; function tick() { t--; }</script>\n"};
  std::string text;
  text.reserve(bytes + 128);
  for (std::size_t i = 0; text.size() < bytes; ++i) text += kLines[i % std::size(kLines)];
  text.resize(bytes);
  return text;
}

inline const std::string kForm =
    "<FORM METHOD=\"POST\" ACTION=\"http://dornix.example/dl/8a7f\">\n"
    "<INPUT TYPE=\"hidden\" NAME=\"op\" VALUE=\"download2\">\n"
    "<INPUT TYPE=\"hidden\" NAME=\"id\" VALUE=\"8a7f31c0\">\n"
    "<INPUT TYPE=\"hidden\" NAME=\"rand\" VALUE=\"q81x\">\n"
    "<INPUT TYPE=\"hidden\" NAME=\"method_premium\" VALUE=\"\">\n"
    "<INPUT TYPE=\"submit\" NAME=\"method_free\" VALUE=\"Free Download\">\n"
    "</FORM>\n";
inline const std::string kLinkLines =
    "<P>Your download link:</P>\n<A HREF=\"http://s3.dornix.example/d/8a7f31c0/file.zip\">"
    "file.zip</A>\n";

inline Texts TypicalTexts() {
  return {Filler(25 * 1024) + kForm + Filler(25 * 1024),
          Filler(25 * 1024) + kLinkLines + Filler(25 * 1024)};
}

inline Texts LargeTexts() {
  const std::size_t size = 8u << 20;
  return {Filler(size - kForm.size()) + kForm, Filler(size - kLinkLines.size()) + kLinkLines};
}

// The same sizes, each text made of one marker's first byte over and over:
// a search that stops at every first byte would crawl.
inline Texts DenseTexts() {
  const std::size_t size = 8u << 20;
  return {std::string(size - kForm.size(), '<') + kForm,
          std::string(size - kLinkLines.size(), 'Y') + kLinkLines};
}

// A form of nameless, valueless inputs: every search for NAME=" or VALUE="
// after an input runs to the end of the form.
inline Texts AdversarialTexts(std::size_t inputs) {
  std::string page = "<FORM ACTION=\"/dl\">";
  page.reserve(inputs * 24 + 64);
  for (std::size_t i = 0; i < inputs; ++i) page += "<INPUT TYPE=\"submit\">";
  page += "</FORM>";
  return {page, kLinkLines};
}

// Nameless inputs before one named one, whose name and value every input
// before it borrows: each posts a line, and explain notes every borrowing.
inline Texts BorrowingTexts(std::size_t inputs) {
  std::string page = "<FORM ACTION=\"/dl\">";
  page.reserve(inputs * 21 + 64);
  for (std::size_t i = 1; i < inputs; ++i) page += "<INPUT TYPE=\"submit\">";
  page += "<INPUT NAME=\"id\" VALUE=\"42\"></FORM>";
  return {page, kLinkLines};
}

// A form of named fields, every fourth one premium: the output is large too.
inline Texts NamedTexts(std::size_t inputs) {
  std::string page = "<FORM ACTION=\"/dl\">";
  for (std::size_t i = 0; i < inputs; ++i) {
    page += "<INPUT TYPE=\"hidden\" NAME=\"";
    page += i % 4 == 3 ? "Premium" : "field";
    page += std::to_string(i) + "\" VALUE=\"value of field " + std::to_string(i) + "\">";
  }
  page += "</FORM>";
  return {page, kLinkLines};
}

inline const Texts& Typical() {
  static const Texts texts = TypicalTexts();
  return texts;
}
inline const Texts& Large() {
  static const Texts texts = LargeTexts();
  return texts;
}
inline const Texts& Dense() {
  static const Texts texts = DenseTexts();
  return texts;
}
inline const Texts& Adversarial(std::size_t inputs) {
  static std::map<std::size_t, Texts> cache;
  auto found = cache.find(inputs);
  if (found == cache.end()) found = cache.emplace(inputs, AdversarialTexts(inputs)).first;
  return found->second;
}

inline const Texts& Borrowing(std::size_t inputs) {
  static std::map<std::size_t, Texts> cache;
  auto found = cache.find(inputs);
  if (found == cache.end()) found = cache.emplace(inputs, BorrowingTexts(inputs)).first;
  return found->second;
}

// Hands over the texts as the plugin's callback host does: one copy each.
class PageHost final : public ResolverHost {
 public:
  explicit PageHost(const Texts& texts) : texts_(texts) {}
  void GetPage(std::string& page) override { CopyHostText(texts_.page, page); }
  void PostForm(const std::string&, const std::string& params, std::string& answer) override {
    postedBytes = params.size();
    CopyHostText(texts_.answer, answer);
  }
  void Log(const std::string&) override {}
  void SaveFile(const std::string&, const std::string&) override {}

  std::size_t postedBytes = 0;

 private:
  const Texts& texts_;
};

// The exports' host: C callbacks serving the texts of the current case.
inline const Texts* g_exportTexts = nullptr;
inline HostText VELMORA_CALL ExportGetPage(const void*) { return g_exportTexts->page.c_str(); }
inline HostText VELMORA_CALL ExportPostForm(HostText, HostText) {
  return g_exportTexts->answer.c_str();
}
inline void VELMORA_CALL ExportLog(HostText) {}
inline void VELMORA_CALL ExportSaveFile(HostText, HostText) {}

// Hands texts to the exports' host and initialises the plugin with it.
inline void InitExports(const Texts& texts) {
  g_exportTexts = &texts;
  PlgInit(ExportGetPage, ExportPostForm, ExportLog, 0, ExportSaveFile, 0, "");
}
inline constexpr char kExportLink[] = "http://dornix.example/f/1";

// One request straight to the resolver; returns the link's length.
inline std::size_t RunResolver(const Texts& texts, std::size_t* posted = nullptr) {
  PageHost host(texts);
  RequestBuffers buffers;
  const Resolution resolution = ResolveDirectLink(host, {}, buffers);
  if (posted != nullptr) *posted = host.postedBytes;
  return resolution.link.size();
}

}  // namespace velmora::bench

#endif  // VELMORA_BENCH_REQUEST_CASES_H_
