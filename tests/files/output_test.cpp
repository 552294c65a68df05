// The library's writers as a program calling them sees them: a file that
// cannot be written is reported and the call returns, with the target as it
// was and no temporary file left.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>

#include <functional>
#include <string>
#include <vector>

#include "files/output.h"
#include "mirvo/cb.h"
#include "mirvo/file.h"
#include "mirvo/mirvo.h"
#include "support/test_support.h"

namespace mirvo::test {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(LibraryWriters, ReportFailuresAndReturn) {
  TempDir dir;
  Codebook set;
  MakeSet(&set, {{{1, 2}, 1, ""}, {{3, 4}, 2, ""}}, 2, 1, 1);
  Partitioning p;
  CreateNewPartitioning(&p, &set, 1);
  Graph* g = AllocateMemoryForGraph(1, 0, 1);
  const int coordinates[] = {7};
  GraphPutVector(g, 0, coordinates);
  const std::vector<std::pair<const char*, std::function<void(const std::string&, int)>>> writers = {
      {"WriteCodebook", [&](const std::string& name, int overwrite) { WriteCodebook(name.c_str(), &set, overwrite); }},
      {"WritePartitioning",
       [&](const std::string& name, int overwrite) { WritePartitioning(name.c_str(), &p, &set, overwrite); }},
      {"GraphWrite", [&](const std::string& name, int overwrite) { GraphWrite(name.c_str(), g, overwrite); }},
  };
  const std::string old = dir.File("old"), missing = dir.File("none/out"), folder = dir.File("folder");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  WriteFile(folder + "/inside", "");
  struct Case {
    std::string target;
    int overwrite;
    std::string err;
    int status;
  };
  const std::vector<Case> cases = {
      {old, 0, "ERROR: File already exists: " + old, 1},
      {missing, 1, "ERROR: Couldn't open the file: " + missing, -1},
      {folder, 1, "ERROR: Replacing the file " + folder + " failed: Is a directory\n", -1},
      {old, 1, "", 0},
  };
  for (const auto& [writer, write] : writers) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(writer) + " " + c.target);
      WriteFile(old, "old");
      CaptureStderr();
      write(c.target, c.overwrite);
      EXPECT_EQ(GetCapturedStderr(), c.err);
      EXPECT_EQ(LastWriteFailed(), c.status);
      EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"folder", "old"}));
      EXPECT_EQ(ListFolder(folder), std::vector<std::string>{"inside"});
      if (c.status != 0) {
        EXPECT_EQ(ReadFile(old), "old");
      }
    }
    EXPECT_NE(ReadFile(old), "old");
  }
  FreeGraph(g);
  FreePartitioning(&p);
  FreeCodebook(&set);
}

void TerminateWhileWriting(OutputMoment moment) {
  if (moment == OutputMoment::FirstBlock) ::raise(SIGTERM);
}

// A program without handlers of its own: SIGTERM in the middle of a write
// removes the temporary file and still ends the process; after a write the
// signal has its default action again.
TEST(LibraryWriters, AnInterruptRemovesTheTemporaryFile) {
  TempDir dir;
  Codebook set;
  MakeSet(&set, {{{1, 2}, 1, ""}}, 2, 1, 1);
  const std::string name = dir.File("set.ts");
  WriteFile(name, "old");
  EXPECT_EXIT(
      {
        SetOutputHook(TerminateWhileWriting);
        WriteCodebook(name.c_str(), &set, 1);
      },
      testing::KilledBySignal(SIGTERM), "");
  EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"set.ts"});
  EXPECT_EQ(ReadFile(name), "old");
  WriteCodebook(name.c_str(), &set, 1);
  EXPECT_EQ(LastWriteFailed(), 0);
  struct sigaction action {};
  ::sigaction(SIGTERM, nullptr, &action);
  EXPECT_EQ(action.sa_handler, SIG_DFL);
  FreeCodebook(&set);
}

}  // namespace
}  // namespace mirvo::test
