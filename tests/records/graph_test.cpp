// The neighbour graph record and its text file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/mirvo.h"
#include "support/test_support.h"

namespace mirvo::test {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Count, K and dimension, then every vector's coordinates and neighbours.
std::vector<int> Flatten(const Graph* g) {
  std::vector<int> all = {g->NumberVectors, g->K, g->Dim};
  for (int i = 0; i < g->NumberVectors; ++i) {
    EXPECT_EQ(GraphGetVectorIndex(g->Vectors[i]), i);
    all.insert(all.end(), g->Vectors[i]->Coord, g->Vectors[i]->Coord + g->Dim);
    all.insert(all.end(), g->Vectors[i]->NN, g->Vectors[i]->NN + g->K);
  }
  return all;
}

Graph* Build(const std::vector<int>& flat) {
  Graph* g = AllocateMemoryForGraph(flat[0], flat[1], flat[2]);
  for (int i = 0, at = 3; i < flat[0]; ++i, at += flat[1] + flat[2]) {
    EXPECT_EQ(GraphPutVector(g, i, flat.data() + at), 0);
    for (int j = 0; j < flat[1]; ++j) EXPECT_EQ(GraphPutNN(g, g->Vectors[i], flat[at + flat[2] + j], j), 0);
  }
  return g;
}

std::string Replace(std::string text, const std::string& name) {
  for (auto at = text.find('@'); at != std::string::npos; at = text.find('@')) text.replace(at, 1, name);
  return text;
}

TEST(Graph, WriteReadRoundTrip) {
  TempDir dir;
  const std::string name = dir.File("g.graph"), sep = "-------------------------------------\n";
  struct Case {
    std::vector<int> flat;
    std::string text;
    int max, min;
  };
  std::vector<Case> cases = {
      {{3, 2, 2, 1, -2, 1, 2, 30, 4, 0, 0, -7, -8, 1, 1},
       "Graph v. 1\n3\n2\n2\n" + sep + "1 -2 1 2 \n30 4 0 0 \n-7 -8 1 1 \n",
       30,
       -8},
      {{2, 0, 0}, "Graph v. 1\n2\n0\n0\n" + sep + "\n\n", 0, INT_MAX},
      {{0, 3, 3}, "Graph v. 1\n0\n3\n3\n" + sep, 0, INT_MAX},
      {{1, 1, 2, -5, -9, 0}, "", 0, -9},
  };
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    const int n = int(rng() % 20), k = int(rng() % 4), dim = int(rng() % 5);
    Case c{{n, k, dim}, "", 0, INT_MAX};
    for (int i = 0; i < n * (k + dim); ++i) c.flat.push_back(i % (k + dim) < dim ? int(rng()) : int(rng() % n));
    for (int i = 0; i < n * (k + dim); ++i)
      if (i % (k + dim) < dim) c.max = std::max(c.max, c.flat[3 + i]), c.min = std::min(c.min, c.flat[3 + i]);
    cases.push_back(c);
  }
  for (const Case& c : cases) {
    Graph* g = Build(c.flat);
    GraphWrite(name.c_str(), g, 1);
    if (!c.text.empty()) {
      EXPECT_EQ(ReadFile(name), c.text);
    }
    Graph* back = GraphRead(name.c_str());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(Flatten(back), c.flat);
    EXPECT_EQ(GraphGetMaxCoord(back), c.max);
    EXPECT_EQ(GraphGetMinCoord(back), c.min);
    EXPECT_EQ(IsGraphFile(name.c_str()), 1);
    FreeGraph(g);
    FreeGraph(back);
  }
}

TEST(Graph, ReadingFiles) {
  TempDir dir;
  const std::string name = dir.File("in"), head = "Graph v. 1\n2\n1\n2\n---\n";
  std::string longLine;
  for (int i = 0; i < 200; ++i) longLine += "-1000000 ";
  // Expected graph flattened (empty: none), the bounds, the message ('@' is
  // the file name) and whether the header alone gives a graph.
  struct Case {
    std::string text;
    std::vector<int> flat;
    int max, min;
    std::string err;
    bool header;
  };
  std::vector<int> longFlat = {1, 0, 200};
  longFlat.resize(203, -1000000);
  const std::vector<Case> cases = {
      {head + "1,2 1\n\t-3   4\t\t0 \r\n", {2, 1, 2, 1, 2, 1, -3, 4, 0}, 4, -3, "", true},
      {"Graph v. 7\n0x2\n\n  01\n02\n-\n5 6 1\n7 8 0\nextra\n", {2, 1, 2, 5, 6, 1, 7, 8, 0}, 8, 5, "", true},
      {"Graph v. 1\n1\n1\n3\n---\n010 0x5 1\n", {1, 1, 3, 10, 0, 5, 1}, 10, 0, "", true},
      {"Graph v. 1\n1\n0\n200\n---\n" + longLine + "\n", longFlat, 0, -1000000, "", true},
      {head + "1 2 0\n3 4\n", {}, 0, 0, "ERROR: Graph file @: line 7 holds 2 numbers instead of 3.\n", true},
      {"Graph v. 1\n\n1\n1\n2\n---\n1 2 0 9\n",
       {},
       0,
       0,
       "ERROR: Graph file @: line 7 holds 4 numbers instead of 3.\n",
       true},
      {head + "1 2 0\n",
       {},
       0,
       0,
       "ERROR: Graph file @: line 7 is missing or has no line break (1 of 2 vectors read).\n",
       true},
      {head + "1 2 0\n3 4 1",
       {},
       0,
       0,
       "ERROR: Graph file @: line 7 is missing or has no line break (1 of 2 vectors read).\n",
       true},
      {"Graf v. 1\n0\n0\n0\n---\n", {}, 0, 0, "", false},
      {" Graph v. 1\n0\n0\n0\n---\n", {}, 0, 0, "", false},
      {"Graph v. x\n0\n0\n0\n---\n", {}, 0, 0, "", false},
      {"Graph v. 1\n-1\n0\n0\n---\n", {}, 0, 0, "", false},
      {"Graph v. 1\n0\n-2\n0\n---\n", {}, 0, 0, "", false},
      {"Graph v. 1\n0\n0\n-3\n---\n", {}, 0, 0, "", false},
      {"Graph v. 1\n4\n", {}, 0, 0, "", false},
      // A header alone: no graph, and nothing allocated for it, but a header.
      {"Graph v. 1\n3\n2\n2\n---\n", {}, 0, 0, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    WriteFile(name, c.text);
    CaptureStderr();
    Graph* g = GraphRead(name.c_str());
    EXPECT_EQ(GetCapturedStderr(), Replace(c.err, name));
    EXPECT_EQ(IsGraphFile(name.c_str()), c.header ? 1 : 0);
    ASSERT_EQ(g != nullptr, !c.flat.empty());
    if (g == nullptr) continue;
    EXPECT_EQ(Flatten(g), c.flat);
    EXPECT_EQ(GraphGetMaxCoord(g), c.max);
    EXPECT_EQ(GraphGetMinCoord(g), c.min);
    FreeGraph(g);
  }
  CaptureStderr();
  EXPECT_EQ(GraphRead(dir.File("missing").c_str()), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "ERROR: Cannot find the file: " + dir.File("missing"));
}

TEST(Graph, WritingRefusals) {
  TempDir dir;
  const std::string name = dir.File("g");
  Graph* g = Build({2, 1, 1, 4, 1, 5, 0});
  struct Case {
    int overwrite;
    bool emptySlot;
    std::string err, after;
  };
  const std::vector<Case> cases = {
      {0, false, "ERROR: File already exists: @", "old"},
      {2, false, "ERROR: File already exists: @", "old"},
      {1, true, "ERROR: Cannot write @: the graph holds no vector 1.\n", "old"},
      {1, false, "", "Graph v. 1\n2\n1\n1\n-------------------------------------\n4 1 \n5 0 \n"},
  };
  for (const Case& c : cases) {
    WriteFile(name, "old");
    GraphVector* kept = g->Vectors[1];
    if (c.emptySlot) g->Vectors[1] = nullptr;
    CaptureStderr();
    GraphWrite(name.c_str(), g, c.overwrite);
    EXPECT_EQ(GetCapturedStderr(), Replace(c.err, name));
    EXPECT_EQ(ReadFile(name), c.after);
    g->Vectors[1] = kept;
  }
  EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"g"});
  FreeGraph(g);
}

TEST(Graph, RecordOperations) {
  Graph* g = Build({2, 2, 1, 10, 1, 1, 20, 1, 1});
  GraphVector *v = GraphGetVector(g, 0), *w = GraphGetVector(g, 1);
  EXPECT_EQ(GraphGetNNVector(g, v, 0), w);
  EXPECT_EQ(GraphGetNNVector(g, v, 2), nullptr);
  EXPECT_EQ(GraphPutNN(g, v, 0, 2), 1);
  EXPECT_EQ(IsGraphEdge(g, v, w), 1);
  EXPECT_EQ(IsGraphEdge(g, w, v), 0);
  EXPECT_EQ(GraphPutNN(g, v, 7, 1), 0);
  EXPECT_EQ(GraphGetNNVector(g, v, 1), nullptr);  // names no slot
  EXPECT_EQ(GraphPutVectorElement(w, 0, -4), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(GraphPrint(g), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "10 1 7 \n-4 1 1 \n");
  EXPECT_EQ(GraphGetMinCoord(g), INT_MAX);
  EXPECT_EQ(GraphGetMaxCoord(g), 0);
  // Resizing keeps what fits; new slots are empty.
  EXPECT_EQ(GraphPutNumberVectors(g, 3) + GraphPutK(g, 3) + GraphPutDim(g, 2), 0);
  EXPECT_EQ(FreeGraphVector(g, 2), 1);
  EXPECT_EQ(GraphPutVector(g, 2, std::vector<int>{8, 9}.data()), 0);
  for (int j = 0; j < 3; ++j) GraphPutNN(g, g->Vectors[2], j, j);
  g->Vectors[0]->Coord[1] = g->Vectors[1]->Coord[1] = 0;
  EXPECT_EQ(Flatten(g), (std::vector<int>{3, 3, 2, 10, 0, 1, 7, 0, -4, 0, 1, 1, 0, 8, 9, 0, 1, 2}));
  EXPECT_EQ(GraphPutNumberVectors(g, 1), 0);
  EXPECT_EQ(FreeGraphVector(g, 0), 0);
  EXPECT_EQ(FreeGraphVector(g, 0), 1);
  EXPECT_EQ(FreeGraph(g), 0);
  CaptureStderr();
  EXPECT_EQ(AllocateMemoryForGraph(1, -1, 1), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "ERROR: Allocate error: AllocateMemoryForGraph(Graph)\n");
}

// Sizes are set whatever their value; under a negative one no index is
// valid, and the graph takes sizes and vectors again afterwards.
TEST(Graph, NegativeSizesAreSet) {
  Graph* g = Build({2, 1, 1, 10, 1, 20, 0});
  GraphVector* v = g->Vectors[0];
  EXPECT_EQ(GraphPutK(g, -1) + GraphPutDim(g, -2), 0);
  EXPECT_EQ((std::vector<int>{GraphGetK(g), GraphGetDim(g)}), (std::vector<int>{-1, -2}));
  EXPECT_EQ((std::vector<int>{IsGraphEdge(g, v, v), GraphPutNN(g, v, 0, 0), GraphPutVector(g, 0, nullptr)}),
            (std::vector<int>{0, 1, 1}));
  EXPECT_EQ(GraphGetNNVector(g, v, 0), nullptr);
  EXPECT_EQ(GraphPutNumberVectors(g, -3), 0);
  EXPECT_EQ(GraphGetNumberVectors(g), -3);
  testing::internal::CaptureStdout();
  GraphPrint(g);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(GraphPutNumberVectors(g, 1) + GraphPutK(g, 1) + GraphPutDim(g, 1), 0);
  EXPECT_EQ(GraphPutVector(g, 0, std::vector<int>{7}.data()) + GraphPutNN(g, g->Vectors[0], 0, 0), 0);
  EXPECT_EQ(Flatten(g), (std::vector<int>{1, 1, 1, 7, 0}));
  FreeGraph(g);
}

TEST(Graph, LinesAndHeaderFromStreams) {
  std::FILE* f = std::tmpfile();
  std::fputs("Graph v. 1\n1\n1\n1\n-----\n5 0\nab\ncd", f);
  std::rewind(f);
  Graph* g = ReadGraphFileHeader(f);
  ASSERT_NE(g, nullptr);
  GraphVector* v = ReadGraphVectorFromFile(f, g, 0);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->Coord[0] * 10 + v->NN[0], 50);
  char buffer[1024];
  EXPECT_EQ(readline(f, buffer), 0);
  EXPECT_STREQ(buffer, "ab\n");
  EXPECT_NE(readline(f, buffer), 0);
  EXPECT_STREQ(buffer, "cd");
  EXPECT_EQ(readline(f, buffer), 1);
  g->Vectors[0] = v;
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(WriteGraphkFileHeader(out, g) + WriteGraphVectorToFile(out, g, v), 0);
  std::rewind(out);
  std::string written(128, '\0');
  written.resize(std::fread(written.data(), 1, written.size(), out));
  EXPECT_EQ(written, "Graph v. 1\n1\n1\n1\n-------------------------------------\n5 0 \n");
  std::fclose(out);
  FreeGraph(g);
  std::fclose(f);
  // A header alone gives the graph it announces, with empty slots.
  f = std::tmpfile();
  std::fputs("Graph v. 1\n5\n2\n3\n---\n", f);
  std::rewind(f);
  g = ReadGraphFileHeader(f);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ((std::vector<int>{g->NumberVectors, g->K, g->Dim}), (std::vector<int>{5, 2, 3}));
  EXPECT_EQ(std::count(g->Vectors, g->Vectors + 5, nullptr), 5);
  FreeGraph(g);
  std::fclose(f);
}

}  // namespace
}  // namespace mirvo::test
