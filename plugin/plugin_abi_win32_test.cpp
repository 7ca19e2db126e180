// What only a Win32 host sees of Velmora.plg: the export table with its
// ordinals, the version resource, the code page the host runs under, a
// heap exhausted in the middle of a request, and the threads it starts.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "plugin/plugin_api.h"
#include "testing/memory_probe.h"
#include "testing/structured_exception_probe.h"

namespace {

using velmora::testing::CommittedPrivateBytes;
using InitFn = decltype(&PlgInit);
using GetDirectLinkFn = decltype(&PlgGetDirectLink);

// The host's side of a request: the page and answer it serves, the
// parameters it was sent.
struct Served {
  std::string page;
  std::string answer;
  std::string params;
} g_served;

HostText VELMORA_CALL ServePage(const void*) { return g_served.page.c_str(); }
HostText VELMORA_CALL ServeAnswer(HostText, HostText params) {
  g_served.params = params;
  return g_served.answer.c_str();
}

const char kPage[] = "<FORM ACTION=\"/dl\"><INPUT NAME=\"id\" VALUE=\"42\"></FORM>";

class PluginWin32Test : public testing::Test {
 protected:
  void SetUp() override {
    library_ = LoadLibraryA(VELMORA_PLUGIN_PATH);
    ASSERT_NE(library_, nullptr) << "LoadLibraryA failed, error " << GetLastError();
    init_ = reinterpret_cast<InitFn>(Export("PlgInit"));
    getDirectLink_ = reinterpret_cast<GetDirectLinkFn>(Export("PlgGetDirectLink"));
    ASSERT_TRUE(init_ && getDirectLink_);
    g_served = Served();
    g_served.page = kPage;
  }
  void TearDown() override {
    if (library_ != nullptr) {
      EXPECT_TRUE(FreeLibrary(library_));
    }
    EXPECT_EQ(GetModuleHandleA(VELMORA_PLUGIN_PATH), nullptr);
  }

  void* Export(const char* name) { return reinterpret_cast<void*>(GetProcAddress(library_, name)); }
  void* ExportAt(WORD ordinal) {
    return reinterpret_cast<void*>(GetProcAddress(library_, MAKEINTRESOURCEA(ordinal)));
  }

  // The export directory of the mapped image.
  const IMAGE_EXPORT_DIRECTORY& ExportDirectory() {
    const auto* base = reinterpret_cast<const BYTE*>(library_);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    return *reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  }
  std::string ExportName(DWORD index) {
    const auto* base = reinterpret_cast<const char*>(library_);
    const auto* names = reinterpret_cast<const DWORD*>(base + ExportDirectory().AddressOfNames);
    return base + names[index];
  }

  HMODULE library_ = nullptr;
  InitFn init_ = nullptr;
  GetDirectLinkFn getDirectLink_ = nullptr;
};

TEST_F(PluginWin32Test, ExactlyThreeExportsAtOrdinalsOneToThree) {
  const char* const names[] = {"PlgDestroy", "PlgGetDirectLink", "PlgInit"};
  for (WORD ordinal = 1; ordinal <= 3; ++ordinal) {
    const char* name = names[ordinal - 1];
    ASSERT_NE(Export(name), nullptr) << name;
    EXPECT_EQ(ExportAt(ordinal), Export(name)) << name;
  }
  EXPECT_EQ(ExportAt(4), nullptr);
  for (const char* decorated : {"PlgInit@28", "_PlgInit@28", "PlgGetDirectLink@4", "PlgDestroy@0",
                                "_PlgDestroy@0", "plginit"}) {
    EXPECT_EQ(Export(decorated), nullptr) << decorated;
  }

  const IMAGE_EXPORT_DIRECTORY& directory = ExportDirectory();
  EXPECT_EQ(directory.Base, 1u);
  EXPECT_EQ(directory.NumberOfFunctions, 3u);
  ASSERT_EQ(directory.NumberOfNames, 3u);
  for (DWORD i = 0; i < 3; ++i) EXPECT_EQ(ExportName(i), names[i]);
  EXPECT_STREQ(reinterpret_cast<const char*>(library_) + directory.Name, "Velmora.plg");
}

TEST_F(PluginWin32Test, VersionResourceCarriesTheProjectVersionAndCommit) {
  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(library_, path, MAX_PATH), 0u);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  const std::string version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(HIWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(version, VELMORA_VERSION);
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);

  // The product version names the commit too: "1.0.0 (v1.0.0-0-g1a2b3c4d5e)".
  // ctest says which commit; run by hand, only the version is checked.
  const char* describe = std::getenv("VELMORA_EXPECT_DESCRIBE");
  const struct {
    const char* key;
    std::string start;  // what the value starts with
    bool whole;         // ... and all of it
  } rows[] = {
      {"\\StringFileInfo\\040904B0\\FileVersion", VELMORA_VERSION, true},
      {"\\StringFileInfo\\040904B0\\ProductVersion",
       std::string(VELMORA_VERSION) + " (" +
           (describe != nullptr ? describe + std::string(")") : ""),
       describe != nullptr},
  };
  for (const auto& row : rows) {
    char* text = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), row.key, reinterpret_cast<void**>(&text), &length))
        << row.key;
    const std::string value = text;
    EXPECT_EQ(row.whole ? value : value.substr(0, row.start.size()), row.start) << row.key;
  }
}

// The link before or after an LF that directly follows the byte 0x81:
// under a double-byte code page (932) the pair is one character and no line
// break, so the link line starts at the top of the answer. The premium
// filter lower-cases through the code page too: under 932 "\x81P" is one
// character and no 'p' to match.
TEST_F(PluginWin32Test, LinkChoiceFollowsTheCodePage) {
  const UINT codePage = GetACP();
  if (const char* expected = std::getenv("VELMORA_EXPECT_ACP")) {
    ASSERT_EQ(codePage, static_cast<UINT>(std::atoi(expected))) << "Wine chose another code page";
  }
  const bool shiftJis = codePage == 932;
  if (!shiftJis && GetSystemMetrics(SM_DBCSENABLED) != 0) {
    GTEST_SKIP() << "code page " << codePage << " has no expected rows here";
  }
  struct Row {
    const char* answer;
    const char* linkUnder932;
    const char* linkSingleByte;
  };
  const Row rows[] = {
      {"HREF=\"a\"\x81\nYour download link HREF=\"b\"", "a", "b"},
      {"HREF=\"a\"\x81\x81\nYour download link HREF=\"b\"", "b", "b"},
      {"HREF=\"a\"\x81\x81\x81\nYour download link HREF=\"b\"", "a", "b"},
      {"HREF=\"a\"\x81\n\x81\nYour download link HREF=\"b\"", "a", "b"},
      {"HREF=\"a\"\x81\n\nYour download link HREF=\"b\"", "b", "b"},
  };
  ASSERT_STREQ(init_(ServePage, ServeAnswer, nullptr, 0, nullptr, 0, nullptr), "dornix.example");
  for (const Row& row : rows) {
    g_served.answer = row.answer;
    EXPECT_STREQ(getDirectLink_("x"), shiftJis ? row.linkUnder932 : row.linkSingleByte)
        << testing::PrintToString(std::string(row.answer));
  }

  g_served.page =
      "<FORM ACTION=\"/dl\"><INPUT NAME=\"id\" VALUE=\"42\">"
      "<INPUT NAME=\"n\" VALUE=\"\x81PREMIUM\"></FORM>";
  getDirectLink_("x");
  EXPECT_EQ(g_served.params, shiftJis ? "id=42\r\nn=\x81PREMIUM\r\n" : "id=42\r\n");
}

// Address space that the heap cannot grow into while it is held.
class AddressSpaceHog {
 public:
  AddressSpaceHog() { regions_.reserve(65536); }
  ~AddressSpaceHog() { Release(); }
  void TakeAll() {
    for (SIZE_T size = SIZE_T(1) << 30; size >= 64 * 1024; size /= 2) {
      while (regions_.size() < regions_.capacity()) {
        void* region = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
        if (region == nullptr) break;
        regions_.push_back(region);
      }
    }
  }
  // Whether a block of size bytes fits anywhere now.
  static bool Fits(SIZE_T size) {
    void* region = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
    if (region != nullptr) VirtualFree(region, 0, MEM_RELEASE);
    return region != nullptr;
  }
  void Release() {
    for (void* region : regions_) VirtualFree(region, 0, MEM_RELEASE);
    regions_.clear();
  }

 private:
  std::vector<void*> regions_;
};

AddressSpaceHog* g_hog = nullptr;

// Takes the address space away once the plugin holds its copy of the page,
// so that its copy of the much larger answer cannot be made.
HostText VELMORA_CALL ServeAnswerToFullMemory(HostText, HostText) {
  g_hog->TakeAll();
  return g_served.answer.c_str();
}

TEST_F(PluginWin32Test, ExhaustedHeapRaisesNoMemoryAfterReleasingTheRequest) {
  constexpr SIZE_T kPageSize = 8u << 20;
  g_served.page = kPage;
  g_served.page.resize(kPageSize, ' ');
  g_served.answer.assign(32u << 20, ' ');
  AddressSpaceHog hog;
  g_hog = &hog;
  bool pageReleasedAtRaise = false;
  init_(ServePage, ServeAnswerToFullMemory, nullptr, 0, nullptr, 0, nullptr);
  const velmora::ProbeOutcome outcome =
      velmora::RunOnProbeThread([&] { getDirectLink_("x"); },
                                [&] {
                                  // The plugin's copy of the page has gone back to the system: a
                                  // block of its size fits again.
                                  pageReleasedAtRaise = AddressSpaceHog::Fits(kPageSize);
                                  hog.Release();  // ending the thread needs address space too
                                });
  g_hog = nullptr;

  EXPECT_TRUE(outcome.raised);
  EXPECT_EQ(outcome.code, static_cast<DWORD>(VELMORA_STATUS_NO_MEMORY));
  EXPECT_NE(outcome.flags & EXCEPTION_NONCONTINUABLE, 0u);
  EXPECT_TRUE(pageReleasedAtRaise);

  // Nothing is left locked or half-done: the next request works.
  g_served.page = kPage;
  g_served.answer = "Your download link HREF=\"after\"";
  init_(ServePage, ServeAnswer, nullptr, 0, nullptr, 0, nullptr);
  EXPECT_STREQ(getDirectLink_("x"), "after");
}

constexpr DWORD kHostFault = 0xE0484F53;  // what a host might raise

HostText VELMORA_CALL FailToPost(HostText, HostText) {
  RaiseException(kHostFault, 0, 0, nullptr);
  return "";
}

TEST_F(PluginWin32Test, HostFaultPassesThroughAndTheRequestIsReleased) {
  constexpr SIZE_T kPageSize = 8u << 20;
  g_served.page = kPage;
  g_served.page.resize(kPageSize, ' ');
  init_(ServePage, FailToPost, nullptr, 0, nullptr, 0, nullptr);
  const SIZE_T before = CommittedPrivateBytes();
  const velmora::ProbeOutcome outcome = velmora::RunOnProbeThread([&] { getDirectLink_("x"); });
  const SIZE_T after = CommittedPrivateBytes();

  EXPECT_TRUE(outcome.raised);
  EXPECT_EQ(outcome.code, kHostFault);  // the host gets its own exception back
  // The plugin's copy of the page did not stay behind with the abandoned call.
  EXPECT_LT(after, before + kPageSize / 2) << "before " << before << ", after " << after;

  g_served.page = kPage;
  g_served.answer = "Your download link HREF=\"after\"";
  init_(ServePage, ServeAnswer, nullptr, 0, nullptr, 0, nullptr);
  EXPECT_STREQ(getDirectLink_("x"), "after");
}

// The C runtime in the DLL brings TLS callbacks, which the system calls on
// every thread the host starts while the plugin is loaded. They must leave
// the thread's x87 control word (precision and rounding) as it was: MinGW's
// has an fninit on a path it should not take. Wine restores a new thread's
// floating-point state after the callbacks have run, so they are called
// here directly, on a thread with a control word fninit would change.
TEST_F(PluginWin32Test, TlsCallbacksKeepTheFloatingPointControlOfThreads) {
  const auto* base = reinterpret_cast<const BYTE*>(library_);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
  if (entry.VirtualAddress == 0) return;  // no TLS, no callbacks
  const auto& tls = *reinterpret_cast<const IMAGE_TLS_DIRECTORY32*>(base + entry.VirtualAddress);
  const auto* callbacks = reinterpret_cast<const PIMAGE_TLS_CALLBACK*>(tls.AddressOfCallBacks);
  const WORD kThreadControl = 0x027F;  // Windows' for new threads; fninit sets 0x037F
  int called = 0;
  for (; callbacks != nullptr && *callbacks != nullptr; ++callbacks) {
    WORD saved = 0;
    WORD after = 0;
    __asm__ volatile("fnstcw %0" : "=m"(saved));
    __asm__ volatile("fldcw %0" : : "m"(kThreadControl));
    (*callbacks)(library_, DLL_THREAD_ATTACH, nullptr);
    __asm__ volatile("fnstcw %0" : "=m"(after));
    __asm__ volatile("fldcw %0" : : "m"(saved));
    EXPECT_EQ(after, kThreadControl) << "TLS callback " << called;
    ++called;
  }
  std::printf("[ tls      ] %d TLS callbacks\n", called);
}

}  // namespace
