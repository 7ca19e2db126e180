// Claiming a download's NAME.part and publishing it as NAME, in a folder
// holding what a user's folder (or another download) may hold: only the
// name chosen is written, and nothing there, or beyond a link, is replaced,
// emptied or followed.
#include "host/download/part_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <vector>

#include "testing/host_process.h"

namespace velmora::host {
namespace {

namespace fs = std::filesystem;
using velmora::testing::ReadFile;
using velmora::testing::ScratchDir;
using velmora::testing::WriteFile;

// scratch/d, the folder downloads go to, and scratch/victim outside it.
class PartFileTest : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(""); }

  // An empty d with what layout names (Make).
  void Fresh(const std::string& layout) {
    folder_ = UniqueFd();
    held_.clear();
    names_ = std::make_unique<DownloadNames>();
    fs::remove_all(dir());
    fs::create_directory(dir());
    WriteFile(victim(), "precious");
    folder_ = OpenFolder(dir().string(), false);
    Make(layout);
  }
  // Makes in d what layout names, comma-separated: "NAME" a file holding
  // "abc", "NAME!" the same held locked by another download, "NAME>" a link
  // to the victim, "NAME>>" a link to nothing, "NAME=" a hard link to the
  // victim, "NAME/" a folder, "NAME|" a pipe, "NAME@" a name the run holds.
  // "NAME.part~" (also "!~") is a .part with its record: of this download's
  // resource (Kept()), "~b" of another link, "~-" without a validator, "~w"
  // with a weak ETag only; "NAME^" a record of NAME's .part and no .part.
  void Make(const std::string& layout) {
    std::istringstream items(layout);
    for (std::string item; std::getline(items, item, ',');) {
      const size_t end = item.find_first_of("!>=/|@~^");
      const std::string name = item.substr(0, end);
      const fs::path path = dir() / name;
      const std::string kind = end == std::string::npos ? "" : item.substr(end);
      const size_t tilde = kind.find('~');
      if (tilde != std::string::npos || kind == "^") {
        PartRecord record = Kept();
        const std::string variant = tilde == std::string::npos ? "" : kind.substr(tilde + 1);
        if (variant == "b") record.link = "http://h/f/2";
        if (variant == "-") record.etag.clear();
        if (variant == "w") record.etag = "W/\"v1\"";
        const std::string saved = kind == "^" ? name : name.substr(0, name.size() - 5);
        WriteFile(dir() / RecordName(saved), record.Text());
      }
      if (kind == "@") names_->Claim(name);
      if (kind.empty() || kind.rfind('!', 0) == 0 || kind.rfind('~', 0) == 0)
        WriteFile(path, "abc");
      if (kind.rfind('!', 0) == 0) {
        held_.emplace_back(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_EQ(flock(held_.back().get(), LOCK_EX | LOCK_NB), 0);
      }
      if (kind == ">") fs::create_symlink(victim(), path);
      if (kind == ">>") fs::create_symlink(scratch_.path() / "made-by-link", path);
      if (kind == "=") fs::create_hard_link(victim(), path);
      if (kind == "/") fs::create_directory(path);
      if (kind == "|") mkfifo(path.c_str(), 0600);
    }
  }
  fs::path dir() const { return scratch_.path() / "d"; }
  fs::path victim() const { return scratch_.path() / "victim"; }
  void ExpectNothingOutsideTouched() {
    EXPECT_EQ(ReadFile(victim()), "precious");
    EXPECT_FALSE(fs::exists(scratch_.path() / "made-by-link"));
  }

  // What this download's server says now, and what an earlier .part of
  // the same resource recorded.
  static PartRecord Now() {
    return {"http://h/f/1", "http://h/dl/f.bin", "http://h/dl/f.bin", "\"v1\"", "", 3};
  }
  static PartRecord Kept() { return Now(); }

  ScratchDir scratch_;
  UniqueFd folder_;
  std::vector<UniqueFd> held_;
  std::unique_ptr<DownloadNames> names_;
};

TEST_F(PartFileTest, ClaimTakesTheFirstNameThatIsFreeOrMayBeUsed) {
  struct Row {
    std::string layout;
    ClaimRules rules;
    const char* name;
    uint64_t size;  // of the .part claimed
    bool created;
    const char* firstPart;  // f.bin.part afterwards; null: not read
  };
  const ClaimRules plain, resume{false, true}, overwrite{true, false};
  std::vector<Row> rows = {
      {"", plain, "f.bin", 0, true, ""},
      {"f.bin", plain, "f (1).bin", 0, true, nullptr},
      {"f.bin,f (1).bin", plain, "f (2).bin", 0, true, nullptr},
      {"f.bin>", plain, "f (1).bin", 0, true, nullptr},
      {"f.bin/", plain, "f (1).bin", 0, true, nullptr},
      {"f.bin", overwrite, "f.bin", 0, true, ""},
      // A .part is taken up only when its record proves it this resource's.
      {"f.bin.part~", resume, "f.bin", 3, false, "abc"},
      {"f.bin.part~,f.bin", resume, "f (1).bin", 0, true, "abc"},  // saved before: whole
      {"f.bin.part~", plain, "f (1).bin", 0, true, "abc"},
      {"f.bin.part~", overwrite, "f (1).bin", 0, true, "abc"},
      {"f.bin.part", resume, "f (1).bin", 0, true, "abc"},  // a file of the name, no record
      {"f.bin.part", overwrite, "f (1).bin", 0, true, "abc"},
      {"f.bin.part~b", resume, "f (1).bin", 0, true, "abc"},
      {"f.bin.part~-", resume, "f (1).bin", 0, true, "abc"},
      {"f.bin.part~w", resume, "f (1).bin", 0, true, "abc"},
      {"f.bin.part,.f.bin.part.velmora>", resume, "f (1).bin", 0, true, "abc"},
      {"f.bin.part,.f.bin.part.velmora=", resume, "f (1).bin", 0, true, "abc"},
      {"f.bin.part!~", resume, "f (1).bin", 0, true, "abc"},  // another download writes it
      {"f.bin^", plain, "f (1).bin", 0, true, nullptr},       // a record without its .part
      // A name the run holds is never taken again, not even with overwrite.
      {"f.bin@", overwrite, "f (1).bin", 0, true, nullptr},
      {"F.BIN@", plain, "f (1).bin", 0, true, nullptr},
      {"f.bin@,f (1).bin.part~", resume, "f (1).bin", 3, false, nullptr},
  };
  // Whatever the rules, such a .part is never used.
  for (const char* layout :
       {"f.bin.part>", "f.bin.part>>", "f.bin.part=", "f.bin.part/", "f.bin.part|"}) {
    for (const ClaimRules& rules : {plain, resume, overwrite}) {
      rows.push_back({layout, rules, "f (1).bin", 0, true, nullptr});
    }
  }
  for (const Row& row : rows) {
    SCOPED_TRACE("\"" + row.layout + "\"" + (row.rules.resume ? ", resume" : "") +
                 (row.rules.overwrite ? ", overwrite" : ""));
    Fresh(row.layout);
    const auto before = fs::symlink_status(dir() / "f.bin.part").type();
    const std::string record = ReadFile(dir() / RecordName("f.bin"));
    const PartFile part = ClaimPart(folder_.get(), "f.bin", Now(), row.rules, *names_);
    EXPECT_EQ(part.name, row.name);
    EXPECT_EQ(part.size, row.size);
    EXPECT_EQ(part.created, row.created);
    struct stat held {
    }, named{};
    ASSERT_EQ(fstat(part.fd.get(), &held), 0);
    ASSERT_EQ(lstat((dir() / part.partName()).c_str(), &named), 0);
    EXPECT_EQ(named.st_ino, held.st_ino) << "the .part held is the one of that name";
    EXPECT_TRUE(S_ISREG(held.st_mode));
    EXPECT_EQ(held.st_nlink, 1u);
    EXPECT_EQ(static_cast<uint64_t>(held.st_size), row.size);
    // Its record: written before any byte, or the earlier one as it was.
    EXPECT_EQ(ReadFile(dir() / RecordName(part.name)), part.created ? Now().Text() : Kept().Text());
    EXPECT_FALSE(names_->Claim(part.name)) << "held for the run";
    // What stood at the first name's .part, and its record, is still what it was.
    const bool tookFirst = std::string(row.name) == "f.bin";
    EXPECT_EQ(fs::symlink_status(dir() / "f.bin.part").type(),
              tookFirst && before == fs::file_type::not_found ? fs::file_type::regular : before);
    if (!tookFirst) {
      EXPECT_EQ(ReadFile(dir() / RecordName("f.bin")), record);
    }
    if (row.firstPart != nullptr) {
      EXPECT_EQ(ReadFile(dir() / "f.bin.part"), row.firstPart);
    }
    if (!tookFirst && fs::is_regular_file(fs::symlink_status(dir() / "f.bin"))) {
      EXPECT_EQ(ReadFile(dir() / "f.bin"), "abc");
    }
    ExpectNothingOutsideTouched();
  }
}

TEST(PartRecordTest, ARecordProvesTheSameResourceOnly) {
  const PartRecord now{"http://h/f/1",
                       "http://h/dl/1",
                       "http://h/dl/1",
                       "\"v1\"",
                       "Tue, 01 Dec 2026 10:00:00 GMT",
                       3};
  struct Row {
    const char* what;
    void (*change)(PartRecord& kept);
    bool same;
  };
  const Row rows[] = {
      {"as recorded", [](PartRecord&) {}, true},
      {"another link", [](PartRecord& kept) { kept.link = "http://h/f/2"; }, false},
      {"another ETag", [](PartRecord& kept) { kept.etag = "\"v2\""; }, false},
      {"another date", [](PartRecord& kept) { kept.lastModified = "Wed, 02 Dec 2026"; }, false},
      {"another size", [](PartRecord& kept) { kept.total = 4; }, false},
      {"no size kept", [](PartRecord& kept) { kept.total = -1; }, true},
      {"the date alone", [](PartRecord& kept) { kept.etag.clear(); }, true},
      {"a weak ETag alone",
       [](PartRecord& kept) {
         kept.etag = "W/\"v1\"";
         kept.lastModified.clear();
       },
       false},
      {"no validator",
       [](PartRecord& kept) {
         kept.etag.clear();
         kept.lastModified.clear();
       },
       false},
      {"a value on two lines", [](PartRecord& kept) { kept.etag = "\"v1\"\nsize 9"; }, true},
      {"no link", [](PartRecord& kept) { kept.link.clear(); }, false},
  };
  for (const Row& row : rows) {
    PartRecord kept = now;
    row.change(kept);
    // As read back from its file.
    EXPECT_EQ(SameResource(PartRecord::Parse(kept.Text()), now), row.same) << row.what;
  }
  EXPECT_EQ(PartRecord::Parse(now.Text()).Text(), now.Text());
  for (const char* text : {"", "link http://h/f/1\netag \"v1\"\n", "velmora-part 2\nlink x\n"}) {
    EXPECT_FALSE(SameResource(PartRecord::Parse(text), now)) << text;
  }
}

TEST_F(PartFileTest, PublishNeverReplacesAFileThatAppearedMeanwhile) {
  struct Row {
    std::string meanwhile;  // made in d after the claim (Make)
    bool overwrite;
    const char* name;  // published as
  };
  const Row rows[] = {
      {"", false, "f.bin"},
      {"f.bin,f (1).bin@", false, "f (2).bin"},  // the next name is another download's
      {"f.bin", false, "f (1).bin"},
      {"f.bin,f (1).bin.part", false, "f (2).bin"},  // the next name's .part is another's
      {"f.bin>", false, "f (1).bin"},
      {"f.bin>>", false, "f (1).bin"},
      {"f.bin/", false, "f (1).bin"},
      {"f.bin", true, "f.bin"},
      {"f.bin>", true, "f.bin"},  // the link is replaced, not what it names
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("\"" + row.meanwhile + "\"" + (row.overwrite ? ", overwrite" : ""));
    Fresh("");
    const PartFile part = ClaimPart(folder_.get(), "f.bin", Now(), {row.overwrite, false}, *names_);
    ASSERT_EQ(write(part.fd.get(), "whole", 5), 5);
    Make(row.meanwhile);
    const auto there = fs::symlink_status(dir() / "f.bin").type();
    EXPECT_EQ(Publish(folder_.get(), part, row.overwrite, *names_), row.name);
    EXPECT_EQ(ReadFile(dir() / row.name), "whole");
    EXPECT_FALSE(fs::exists(dir() / "f.bin.part"));
    EXPECT_FALSE(fs::exists(dir() / RecordName("f.bin"))) << "its record goes with it";
    if (std::string(row.name) != "f.bin") {
      EXPECT_EQ(fs::symlink_status(dir() / "f.bin").type(), there);
      if (there == fs::file_type::regular) {
        EXPECT_EQ(ReadFile(dir() / "f.bin"), "abc");
      }
    }
    if (fs::exists(dir() / "f (1).bin.part")) {
      EXPECT_EQ(ReadFile(dir() / "f (1).bin.part"), "abc");
    }
    ExpectNothingOutsideTouched();
  }
}

}  // namespace
}  // namespace velmora::host
