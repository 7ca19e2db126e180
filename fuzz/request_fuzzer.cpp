// libFuzzer target: whole requests through the three exports, with debug
// mode on and off, against the literal reference. The input is a settings
// byte, the page, a NUL, then the answer; the host serves both as C texts,
// as a real host does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "plugin/plugin_api.h"
#include "resolve/text_primitives.h"
#include "testing/literal_reference.h"

namespace {

void Require(bool holds) {
  if (!holds) std::abort();  // a finding: libFuzzer keeps the input
}

struct Served {
  std::string page;
  std::string answer;
  std::vector<std::string> calls;
} g_served;

HostText VELMORA_CALL GetPage(const void*) {
  g_served.calls.push_back("getPage");
  return g_served.page.c_str();
}
HostText VELMORA_CALL PostForm(HostText url, HostText params) {
  g_served.calls.push_back(std::string("postForm ") + url + " | " + params);
  return g_served.answer.c_str();
}
void VELMORA_CALL Log(HostText message) { g_served.calls.push_back(std::string("log ") + message); }
void VELMORA_CALL SaveFile(HostText path, HostText content) {
  g_served.calls.push_back(std::string("saveFile ") + path + " | " + content);
}

// The same host for the reference: the texts as far as their first NUL.
class LiteralHost final : public velmora::literal::Host {
 public:
  std::string GetPage() override {
    calls.push_back("getPage");
    return g_served.page.c_str();
  }
  std::string PostForm(const std::string& url, const std::string& params) override {
    calls.push_back("postForm " + url + " | " + params);
    return g_served.answer.c_str();
  }
  void Log(const std::string& message) override { calls.push_back("log " + message); }
  void SaveFile(const std::string& path, const std::string& content) override {
    calls.push_back("saveFile " + path + " | " + content);
  }
  std::vector<std::string> calls;
};

// The plugin's constant empty text, which it returns when it has no host.
HostText EmptyConstant() {
  static const HostText empty = PlgGetDirectLink(nullptr);
  return empty;
}

void CompareOneRequest(std::uint32_t debugValue, const char* dumpDir) {
  using velmora::literal::Kind;
  g_served.calls.clear();
  PlgInit(GetPage, PostForm, Log, 7, SaveFile, debugValue, dumpDir);
  static const char kLink[] = "http://dornix.example/f/1";
  const HostText result = PlgGetDirectLink(kLink);
  PlgDestroy();
  Require(result != nullptr);

  LiteralHost host;
  velmora::literal::State state{(debugValue & 0xFFu) == 1, dumpDir, "stale"};
  const velmora::literal::Result expected =
      velmora::literal::ResolveDirectLink(host, state, velmora::SystemLeadBytes());

  Require(g_served.calls == host.calls);
  switch (expected.kind) {
    case Kind::kEmpty: Require(result == EmptyConstant()); break;
    case Kind::kNotFound: Require(std::string(result) == "%notfound%"); break;
    case Kind::kDeleted: Require(std::string(result) == "%deleted%"); break;
    case Kind::kLink:
      Require(result != EmptyConstant() && std::string(result) == expected.link);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  EmptyConstant();  // learnt before the first PlgInit
  const std::uint8_t settings = data[0];
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t split = rest.find('\0');
  g_served.page = rest.substr(0, split);
  g_served.answer = split == std::string::npos ? std::string() : rest.substr(split + 1);

  static const char* const kDumpDirs[] = {"", "C:\\dumps\\", "d/"};
  const char* dumpDir = kDumpDirs[settings % 3];
  CompareOneRequest((settings & 0x10) ? 257 : 1, dumpDir);  // debug on
  CompareOneRequest((settings & 0x20) ? 255 : 0, dumpDir);  // debug off
  return 0;
}
