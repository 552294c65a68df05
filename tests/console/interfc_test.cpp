// Console messages, the exit path and the text progress indicator.
#include "mirvo/interfc.h"
#include "mirvo/mirvo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "console/fatal.h"
#include "support/test_support.h"

namespace mirvo::test {
namespace {

using namespace testing::internal;  // CaptureStdout and friends

// Text from files in messages: what could drive a terminal is escaped,
// printable text (UTF-8 included) stays.
TEST(Console, PrintableEscapesWhatCouldDriveATerminal) {
  const std::pair<std::string, std::string> cases[] = {
      {"name 42_x-y.z", "name 42_x-y.z"},
      {"caf\xc3\xa9 \xe2\x82\xac \xe4\xb8\xad \xf0\x9f\x98\x80 \xc2\xa0",
       "caf\xc3\xa9 \xe2\x82\xac \xe4\xb8\xad \xf0\x9f\x98\x80 \xc2\xa0"},
      {"\x1b]0;title\x07\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J"},
      {std::string("a\tb\nc\rd\x7f\0e", 10), "a\\x09b\\x0ac\\x0dd\\x7f\\x00e"},
      {"\xc2\x9b[31m", "\\xc2\\x9b[31m"},  // C1 controls (here CSI) in UTF-8
      {"\xff\xfe\x80", "\\xff\\xfe\\x80"},
      {"\xc0\xaf\xe0\x80\xaf", "\\xc0\\xaf\\xe0\\x80\\xaf"},  // overlong forms
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                    // a surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},           // beyond U+10FFFF
      {"end\xe2\x82", "end\\xe2\\x82"},                       // cut short
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(cbdetail::Printable(text), shown) << shown;
}

TEST(Console, MessagesGoToTheirStreamsWhole) {
  const std::string longName(3000, 'n');
  CaptureStdout();
  CaptureStderr();
  PrintMessage("module %d\n", 1);
  OpenInfoFlow(1);
  PrintMessage("module %s\n", longName.c_str());
  PrintProgramMessage("program\n");
  OpenInfoFlow(0);
  PrintMessage("module %d\n", 3);
  EXPECT_EQ(ErrorMessage("ERROR: Cannot find the file: %s", longName.c_str()), 29 + 3000);
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(GetCapturedStdout(), "module 1\nprogram\nmodule 3\n");
  EXPECT_EQ(err, "module " + longName + "\nERROR: Cannot find the file: " + longName);
}

TEST(Console, ExitFlushesOpenStreams) {
  TempDir dir;
  const std::string path = dir.File("pending");
  EXPECT_EXIT((std::fputs("unflushed", std::fopen(path.c_str(), "w")), ExitProcessing(-1)),
              testing::ExitedWithCode(255), "");
  EXPECT_EQ(ReadFile(path), "unflushed");
}

void DriveProgress() {
  if (UpdateProgressLabel("no window") != 0) std::exit(1);
  UpdateProgressBar(5, 0);
  UpdateProgressBar(1, 3);
  UpdateProgressBar(30000000, 40000000);  // beyond 32 bits once multiplied by 100
  UpdateFancyProgressBar(0, 0);
  UpdateFancyProgressBar(0, 7);
  for (int i = 0; i < 5; ++i) UpdateFancyProgressBar(1, 2);
  OpenProgressWindow();
  if (UpdateProgressLabel("step %d", 3) != 6) std::exit(1);
  FreezeProgress(1);
  UpdateProgressBar(1, 2);
  UpdateFancyProgressBar(1, 2);
  UpdateProgressLabel("frozen");
  FreezeProgress(0);
  UpdateProgressBar(2, 2);
  CloseProgressWindow();
  SetProgressVisibility(0);
  OpenProgressWindow();
  UpdateProgressLabel("hidden");
  UpdateFancyProgressBar(1, 2);
  std::exit(CloseProgressWindow());
}

TEST(Progress, IndicatorWritesExactBytes) {
  const std::string clear = "\r" + std::string(70, ' ') + "\r", pad(12, ' '), b12(12, '\b'), b13(13, '\b');
  const std::string expected = b12 + " 33 % done  " + b12 + " 75 % done  " + std::string(14, '\b') + " stage complete" +
                               b12 + "  wait...     " + b13 + "(-) 50 % done" + b13 + "(\\) 50 % done" + b13 +
                               "(|) 50 % done" + b13 + "(/) 50 % done" + b13 + "(-) 50 % done" + clear + "step 3" +
                               pad + clear + "frozen" + pad + b12 + "100 % done  " + clear + pad + "\r";
  // A new process rather than a fork: the spinner and the window start as
  // at program start.
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(DriveProgress(), testing::ExitedWithCode(0), testing::StrEq(expected));
  GTEST_FLAG_SET(death_test_style, style);
}

void DriveTimedProgress() {
  SetTimedProgress(1, 60000);  // a minute: nothing shows yet
  TimedProgressStage("Reading ");
  TimedProgressUpdate(1, 2);
  SetTimedProgress(0, 0);  // disabled: nothing shows
  TimedProgressUpdate(1, 2);
  SetTimedProgress(1, 0);
  TimedProgressStage("Reading ");
  TimedProgressUpdate(0, 0);                    // no total: nothing
  TimedProgressUpdate(1, 3);                    // opens the window, 33.3 %
  TimedProgressUpdate(2, 3);                    // within a tenth of a second: not drawn
  TimedProgressStage("Searching ");             // relabels at once
  TimedProgressUpdate(3000000000, 3000000000);  // the end is always drawn
  ErrorMessage("ERROR: x\n");                   // clears the line first
  TimedProgressUpdate(3, 3);                    // and the work shows again
  std::exit(0);
}

TEST(Progress, TimedProgressShowsOnlyAfterItsDelay) {
  // One line, redrawn from its start and padded over what it showed before.
  const std::string expected =
      "\rReading (-) 33 % done"
      "\rSearching " +
      std::string(11, ' ') +
      "\rSearching (\\)100 % done"
      "\r" +
      std::string(23, ' ') +
      "\rERROR: x\n"
      "\rSearching (|)100 % done";
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(DriveTimedProgress(), testing::ExitedWithCode(0), testing::StrEq(expected));
  GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace
}  // namespace mirvo::test
