#include "host/download/file_naming.h"

#include <gtest/gtest.h>

namespace velmora::host {
namespace {

TEST(FileNamingTest, NamesComeFromTheHeaderThenTheUrlAndAreMadeSafe) {
  struct Row {
    std::string disposition;
    std::string url;
    std::string name;
  };
  const Row rows[] = {
      {"attachment; filename=\"report 2024.pdf\"", "http://h/x", "report 2024.pdf"},
      {"attachment; filename=plain.txt", "http://h/x", "plain.txt"},
      {"attachment; filename=\"a \\\"q\\\".txt\"; size=3", "http://h/x", "a _q_.txt"},
      {"attachment; filename=\"old.txt\"; filename*=UTF-8''%E2%82%AC%20rates.txt", "http://h/x",
       "\xE2\x82\xAC rates.txt"},
      {"attachment; filename*=iso-8859-1'en'%E9t%E9.txt", "http://h/x", "\xC3\xA9t\xC3\xA9.txt"},
      {"attachment; filename=\"caf\xE9.txt\"", "http://h/x", "caf\xC3\xA9.txt"},  // Latin-1 bytes
      {"attachment; filename*=UTF-8''%FF%FE.txt; filename=\"ok.txt\"", "http://h/x", "ok.txt"},
      {"inline", "http://h/get/42/a%20b.zip?sig=1", "a b.zip"},
      {"", "http://h/get/a%2F..%2Fb.zip", "b.zip"},
      {"", "http://h/", "download"},
      {"attachment; filename=\"../../x\"", "http://h/y", "x"},
      {"attachment; filename=\"a/b\"", "http://h/y", "b"},
      {"attachment; filename=\"..\\\\..\\\\win.ini\"", "http://h/y", "win.ini"},
      {"attachment; filename=\"..\"", "http://h/from-url.bin", "from-url.bin"},
      {"attachment; filename=\"a\x1b[2Jb\x07\r\n.txt\"", "http://h/y", "a_[2Jb___.txt"},
      {"attachment; filename*=UTF-8''evil%E2%80%AEtxt.exe", "http://h/y", "evil_txt.exe"},
      {"attachment; filename=\"a<b>c:d|e?f*.txt\"", "http://h/y", "a_b_c_d_e_f_.txt"},
      {"attachment; filename=\" .hidden. \"", "http://h/y", "hidden"},
      {"attachment; filename=\"CON\"", "http://h/y", "_CON"},
      {"attachment; filename=\"nul.tar.gz\"", "http://h/y", "_nul.tar.gz"},
      {"attachment; filename=\"COM1 .txt\"", "http://h/y", "_COM1 .txt"},
      {"attachment; filename=\"lpt\xC2\xB9\"", "http://h/y", "_lpt\xC2\xB9"},
      {"attachment; filename=\"CONSOLE.txt\"", "http://h/y", "CONSOLE.txt"},
      {"attachment; filename=\"resumeZ.bin.part\"", "http://h/y", "resumeZ.bin.part_"},
      // A cut leaves no trailing blank, nor a device name once they are gone.
      {"attachment; filename=\"" + std::string(199, 'a') + " " + std::string(100, 'b') + "\"",
       "http://h/y", std::string(199, 'a')},
      {"attachment; filename=\"CON" + std::string(250, ' ') + "x\"", "http://h/y", "_CON"},
      {"attachment; filename=\"X.PART. \"", "http://h/y", "X.PART_"},
      {"", "http://h/get/a.part", "a.part_"},
      {"attachment; filename=\"" + std::string(300, 'a') + ".zip\"", "http://h/y",
       std::string(196, 'a') + ".zip"},
      {"attachment; filename=\"LPT1." + std::string(300, 'a') + ".part\"", "http://h/y",
       "_LPT1." + std::string(190, 'a') + ".part_"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DownloadFileName(row.disposition, row.url), row.name)
        << row.disposition << " " << row.url;
  }
  EXPECT_EQ(NumberedName("a.zip", 2), "a (2).zip");
  EXPECT_EQ(NumberedName("archive", 1), "archive (1)");
  EXPECT_EQ(NumberedName(".zip", 0), ".zip");
}

TEST(FileNamingTest, AWebPageIsRefusedOnlyInPlaceOfAFileOfAnotherKind) {
  struct Row {
    const char* type;
    const char* name;
    bool webPage;
  };
  const Row rows[] = {
      {"text/html", "a.zip", true},
      {"Text/HTML; charset=utf-8", "a.zip", true},
      {"application/xhtml+xml ;q=1", "download", true},
      {"text/html", "page.HTM", false},
      {"text/html", "page.html", false},
      {"text/htmlx", "a.zip", false},
      {"application/zip", "a.zip", false},
      {"", "a.zip", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsWebPageInsteadOf(row.type, row.name), row.webPage) << row.type << " " << row.name;
  }
}

}  // namespace
}  // namespace velmora::host
