#include "host/commands/demo_site.h"

#include <httplib.h>

#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

namespace velmora::host {
namespace {

struct SampleFile {
  std::string id;
  std::string name;
  // "link", "invalid" or "faulty": what the site answers to the form.
  std::string answer;
};

const std::vector<SampleFile>& Files() {
  static const std::vector<SampleFile> files = {
      {"7Qx2", "holiday-photos.zip", "link"},
      {"K0old", "report-2019.pdf", "invalid"},
      {"Zz9b", "setup-1.4.exe", "faulty"},
  };
  return files;
}

const SampleFile* FindFile(const std::string& id) {
  for (const SampleFile& file : Files()) {
    if (file.id == id) return &file;
  }
  return nullptr;
}

// A visitor's label for the file, in the site's code page (Windows-1251):
// spaces, "&", "=" and non-ASCII bytes all need encoding on the way back.
const std::string kLabel =
    "\xEE\xF2\xEF\xF3\xF1\xEA"  // "otpusk" in Cyrillic
    " 2024 & "
    "\xEC\xEE\xF0\xE5"  // "more" in Cyrillic
    "=.zip";

constexpr char kSessionCookie[] = "dxsid";

// Where the sample site serves the file; on the real site that is its
// download server, kShownDownloadHost.
std::string FilePath(const SampleFile& file) { return "/get/" + file.id + "/" + file.name; }

// The sample file: an empty zip archive whose comment says what it is.
std::string FileContent(const SampleFile& file) {
  const std::string comment =
      "The sample file " + file.name + " of the Velmora demo, saved by velmora-host get.";
  std::string zip = "PK\x05\x06";
  zip.append(16, '\0');  // no disks, no entries, no central directory
  zip += static_cast<char>(comment.size() & 0xFF);
  zip += static_cast<char>(comment.size() >> 8);
  return zip + comment;
}

// The pages stay laid out as the markup they are.
// clang-format off
// The file page, in the upper-case markup of the real site. The action is
// relative to the page: ../../download from /file/ID/NAME.html.
std::string FilePage(const SampleFile& file) {
  return R"(<HTML><HEAD><TITLE>)" + file.name + R"( - Dornix</TITLE></HEAD>
<BODY>
<H1>)" + file.name + R"(</H1>
<P>Choose how to download the file.</P>
<FORM METHOD="POST" ACTION="../../download">
<INPUT TYPE="hidden" NAME="op" VALUE="download2">
<INPUT TYPE="hidden" NAME="id" VALUE=")" + file.id + R"(">
<INPUT TYPE="hidden" NAME="label" VALUE=")" + kLabel + R"(">
<INPUT TYPE="submit" NAME="method_free" VALUE="Free download">
<INPUT TYPE="submit" NAME="method_premium" VALUE="Premium download">
</FORM>
</BODY></HTML>
)";
}

std::string LinkAnswer(const SampleFile& file, const std::string& base) {
  return R"(<HTML><BODY>
<H1>)" + file.name + R"(</H1>
<P>Your download link is ready:</P>
<P><A HREF=")" + base + FilePath(file) + R"(">)" + file.name + R"(</A></P>
</BODY></HTML>
)";
}
// clang-format on

const char kInvalidAnswer[] = R"(<HTML><BODY>
<P><b>Invalid download link</b></p>
<P>The file was removed or never existed.</P>
</BODY></HTML>
)";

const char kFaultyAnswer[] = R"(<HTML><BODY>
<P>Fehlerhafter Downloadlink. Bitte versuchen Sie es erneut.</P>
</BODY></HTML>
)";

// Answers that hold no link: the site wants what a browser would have sent.
std::string Refusal(const std::string& why) {
  return "<HTML><BODY><P>" + why + "</P></BODY></HTML>\n";
}

}  // namespace

const std::vector<SampleLink>& SampleLinks() {
  static const std::vector<SampleLink> links = [] {
    std::vector<SampleLink> made;
    for (const SampleFile& file : Files()) {
      SampleLink link{"/f/" + file.id, "http://dornix.example/f/" + file.id, Outcome::kLink, {}};
      if (file.answer == "link") link.expectedLink = kShownDownloadHost + FilePath(file);
      if (file.answer == "invalid") link.expected = Outcome::kNotFound;
      if (file.answer == "faulty") link.expected = Outcome::kDeleted;
      made.push_back(link);
    }
    return made;
  }();
  return links;
}

struct DemoServer::Impl {
  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::mutex mutex;
  std::map<std::string, std::string> sessions;  // session id -> file id it was issued for
  std::mt19937_64 random{std::random_device{}()};
  std::string base;  // "http://127.0.0.1:PORT"

  void Mount() {
    // Short links redirect to the file page, as on the real site.
    server.Get(R"(/f/([A-Za-z0-9]+))",
               [](const httplib::Request& request, httplib::Response& response) {
                 const SampleFile* file = FindFile(request.matches[1]);
                 if (file == nullptr) {
                   response.status = 404;
                   return;
                 }
                 response.set_redirect("/file/" + file->id + "/" + file->name + ".html");
               });
    server.Get(R"(/file/([A-Za-z0-9]+)/[^/]+\.html)",
               [this](const httplib::Request& request, httplib::Response& response) {
                 const SampleFile* file = FindFile(request.matches[1]);
                 if (file == nullptr) {
                   response.status = 404;
                   return;
                 }
                 std::string session;
                 {
                   std::lock_guard<std::mutex> lock(mutex);
                   session = std::to_string(random());
                   sessions[session] = file->id;
                 }
                 response.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + session +
                                                       "; Path=/; HttpOnly");
                 response.set_content(FilePage(*file), "text/html; charset=windows-1251");
               });
    server.Post("/download", [this](const httplib::Request& request, httplib::Response& response) {
      response.set_content(Answer(request), "text/html; charset=windows-1251");
    });
    // The file, for whoever holds the session the answer was given to; the
    // server answers a Range request with the part asked for.
    server.Get(R"(/get/([A-Za-z0-9]+)/[^/]+)", [this](const httplib::Request& request,
                                                      httplib::Response& response) {
      const SampleFile* file = FindFile(request.matches[1]);
      if (file == nullptr || file->answer != "link" || !KnownSession(request, file->id)) {
        response.status = 403;
        response.set_content("The download link has expired.", "text/plain");
        return;
      }
      response.set_header("Content-Disposition", "attachment; filename=\"" + file->name +
                                                     "\"; filename*=UTF-8''" + file->name);
      response.set_content(FileContent(*file), "application/zip");
    });
  }

  // The session cookie the request carries was issued for the file id.
  bool KnownSession(const httplib::Request& request, const std::string& id) {
    const std::string cookies = request.get_header_value("Cookie");
    std::string session;
    const std::string prefix = std::string(kSessionCookie) + "=";
    const size_t at = cookies.find(prefix);
    if (at != std::string::npos) {
      session = cookies.substr(at + prefix.size(), cookies.find(';', at) - at - prefix.size());
    }
    std::lock_guard<std::mutex> lock(mutex);
    const auto known = sessions.find(session);
    return known != sessions.end() && known->second == id;
  }

  std::string Answer(const httplib::Request& request) {
    const std::string id = request.get_param_value("id");
    if (!KnownSession(request, id)) {
      return Refusal("Your session has expired. Please open the file page again.");
    }
    if (request.has_param("method_premium")) {
      return Refusal("Premium downloads need an account.");
    }
    if (request.get_param_value("op") != "download2" ||
        request.get_param_value("label") != kLabel) {
      return Refusal("The form was not sent as the page gave it.");
    }
    const SampleFile* file = FindFile(id);
    if (file == nullptr || file->answer == "invalid") return kInvalidAnswer;
    if (file->answer == "faulty") return kFaultyAnswer;
    return LinkAnswer(*file, base);
  }
};

DemoServer::DemoServer() : impl_(std::make_unique<Impl>()) {
  impl_->Mount();
  impl_->port = impl_->server.bind_to_any_port("127.0.0.1");
  if (impl_->port <= 0) throw std::runtime_error("cannot open a port on 127.0.0.1");
  impl_->base = "http://127.0.0.1:" + std::to_string(impl_->port);
  // The socket already listens, so requests queue until the loop runs.
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  // stop() only reaches a loop that runs; wait for it (it starts at once).
  for (int i = 0; i < 5000 && !impl_->server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

DemoServer::~DemoServer() {
  impl_->server.stop();
  impl_->thread.join();
}

std::string DemoServer::baseUrl() const { return impl_->base; }

}  // namespace velmora::host
