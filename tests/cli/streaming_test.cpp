// Inputs read as they come: FIFOs give exactly what files give, and memory
// does not grow with the training set.
#include <gtest/gtest.h>

#include "support/reference.h"

namespace mirvo::test {
namespace {

std::string Outcome(const RunResult& run, const std::string& output) {
  return std::to_string(run.status) + "|" + run.out + "|" + run.err + "|" +
         (FileExists(output) ? ReadFile(output) : "(none)");
}

TEST(Streaming, FifosGiveWhatFilesGive) {
  RandomData r(7);
  const auto train = r.Vectors(3000, 12, 2, true);
  const std::string ts = SetFileBytes(train, 4, 3, 2);
  const std::string cb = SetFileBytes(r.Vectors(40, 12, 2), 4, 3, 2, true);
  std::vector<int> to;
  for (std::size_t i = 0; i < train.size(); ++i) to.push_back(r.Int(0, 49));
  const std::string pa = PartitioningText(50, train, to);
  std::string badIndex = pa;
  badIndex.replace(badIndex.rfind("\n", badIndex.size() - 2) + 1, 1, "99");
  std::string wrongTotal = ts;
  wrongTotal.replace(wrongTotal.find("\n3000\n") + 1, 4, "3001");
  const struct {
    std::string ts, second, name;
  } cases[] = {
      {ts, cb, "s.cb"},
      {ts, pa, "s.pa"},
      {ts.substr(0, ts.size() - 5), cb, "s.cb"},        // the training set cut short
      {ts.substr(0, ts.size() - 5), badIndex, "s.pa"},  // both refused: the first file's message
      {wrongTotal, badIndex, "s.pa"},                   // a warning, then the refusal
      {ts, SetFileBytes({}, 4, 3, 2, true), "s.cb"},    // no code vectors
      {wrongTotal, cb.substr(0, cb.size() - 1), "s.cb"},
  };
  for (const auto& c : cases) {
    const std::string output = c.name == "s.cb" ? "s.pa" : "s.cb";
    TempDir files, fifos;
    WriteFile(files.File("t.ts"), c.ts);
    WriteFile(files.File(c.name), c.second);
    const std::string want = Outcome(RunMirvo({"t.ts", c.name}, files.path()), files.File(output));
    RunResult got;
    {
      Fifo first(fifos.File("t.ts"), c.ts), second(fifos.File(c.name), c.second);
      got = RunMirvo({"t.ts", c.name}, fifos.path());
    }
    EXPECT_EQ(Outcome(got, fifos.File(output)), want) << c.name;
  }
}

// A training set far larger than the address space the run may use, fed
// through a FIFO, converts both ways to what the files give.
TEST(Streaming, MemoryDoesNotGrowWithTheTrainingSet) {
#ifdef MIRVO_TEST_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply under the sanitizers";
#endif
  constexpr int kVectors = 4'000'000, kDimension = 16;
  std::string ts = SetFileBytes({}, kDimension, 1, 1);
  ts.replace(ts.find("\n0\n0\n"), 5, "\n" + std::to_string(kVectors) + "\n" + std::to_string(kVectors) + "\n");
  std::string record(1 + kDimension + 4, '\0');
  record[1 + kDimension + 3] = 1;
  ts.reserve(ts.size() + static_cast<std::size_t>(kVectors) * record.size());
  for (int i = 0; i < kVectors; ++i) {
    for (int k = 0; k < kDimension; ++k)
      record[static_cast<std::size_t>(1 + k)] = static_cast<char>((i * 7 + k * (i % 13)) & 0xFF);
    ts += record;
  }
  RandomData r(3);
  const std::string cb = SetFileBytes(r.Vectors(16, kDimension, 1), kDimension, 1, 1, true);
  TempDir files, fifos;
  WriteFile(files.File("t.ts"), ts);
  WriteFile(files.File("c.cb"), cb);
  ASSERT_EQ(RunMirvo({"-Q0", "t.ts", "c.cb"}, files.path()).status, 0);
  const std::string pa = ReadFile(files.File("c.pa"));
  WriteFile(files.File("p.pa"), pa);
  ASSERT_EQ(RunMirvo({"-Q0", "t.ts", "p.pa"}, files.path()).status, 0);

  RunLimits limits;
  limits.addressSpace = 64ll << 20;  // the training set alone is 84 MB
  WriteFile(fifos.File("c.cb"), cb);
  WriteFile(fifos.File("p.pa"), pa);
  for (const std::string second : {"c.cb", "p.pa"}) {
    Fifo feed(fifos.File("t.ts"), ts);
    const RunResult run = RunMirvoLimited({"-Q0", "t.ts", second}, fifos.path(), limits);
    EXPECT_EQ(run.status, 0) << run.err;
  }
  EXPECT_EQ(ReadFile(fifos.File("c.pa")), pa);
  EXPECT_EQ(ReadFile(fifos.File("p.cb")), ReadFile(files.File("p.cb")));
}

}  // namespace
}  // namespace mirvo::test
