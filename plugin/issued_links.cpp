#include "plugin/issued_links.h"

#include <cstring>
#include <mutex>
#include <new>

#include "plugin/boundary.h"

namespace velmora {
namespace {

// One heap block per link: this header, then the text and its NUL.
struct IssuedLink {
  IssuedLink* next;
};

class IssuedLinks {
 public:
  constexpr IssuedLinks() = default;
  IssuedLinks(const IssuedLinks&) = delete;
  IssuedLinks& operator=(const IssuedLinks&) = delete;
  ~IssuedLinks() {
    while (head_ != nullptr) {
      IssuedLink* next = head_->next;
      ::operator delete(head_);
      head_ = next;
    }
  }

  const char* Issue(std::string_view link) {
    void* block = ::operator new(sizeof(IssuedLink) + link.size() + 1);
    char* text = static_cast<char*>(block) + sizeof(IssuedLink);
    if (!link.empty()) std::memcpy(text, link.data(), link.size());
    text[link.size()] = '\0';
    std::lock_guard<Mutex> lock(mutex_);
    head_ = new (block) IssuedLink{head_};
    return text;
  }

 private:
  Mutex mutex_;
  IssuedLink* head_ = nullptr;
};

// Made while the library is loaded, like the plugin's state (plugin.cpp);
// released when it unloads.
IssuedLinks g_links;

}  // namespace

const char* IssueLink(std::string_view link) { return g_links.Issue(link); }

}  // namespace velmora
