// The neighbour graph: vectors with integer coordinates and the indices of
// their K nearest neighbours, and the graph's text file.
//
// File layout: "Graph v. 1", the vector count, K and the dimension on lines
// of their own, a separator of 37 '-', then one line per vector with its
// coordinates and its neighbour indices, each number followed by a blank.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "files/coding.h"
#include "files/output.h"
#include "formats/filekind.h"
#include "mirvo/cb.h"
#include "mirvo/file.h"
#include "mirvo/interfc.h"

namespace mirvo {

namespace {

using cbdetail::kSeparator;

// A new array of n ints (malloc), or null when n is negative or memory is
// short.
int* TryIntArray(int n) {
  if (n < 0) return nullptr;
  return static_cast<int*>(std::malloc(static_cast<std::size_t>(std::max(n, 1)) * sizeof(int)));
}

void ReleaseGraphVector(GraphVector* vector) {
  std::free(vector->Coord);
  std::free(vector->NN);
  std::free(vector);
}

// A vector with room for dim coordinates and k neighbours, arrays unset; null
// when memory is short.
GraphVector* NewGraphVector(int dim, int k, int index) {
  auto* vector = static_cast<GraphVector*>(std::malloc(sizeof(GraphVector)));
  if (vector == nullptr) return nullptr;
  *vector = GraphVector{index, TryIntArray(dim), TryIntArray(k)};
  if (vector->Coord == nullptr || vector->NN == nullptr) {
    ReleaseGraphVector(vector);
    return nullptr;
  }
  return vector;
}

// Gives every vector of the graph a new array of `size` entries in place of
// the one `array` names, keeping the first entries; new entries are 0. A
// negative size or old size counts as 0. All or nothing: 1 when memory is
// short, with the graph unchanged.
int ResizeVectorArrays(Graph* g, int* GraphVector::*array, int oldSize, int size) {
  size = std::max(size, 0);
  const auto kept = static_cast<std::size_t>(std::min(std::max(oldSize, 0), size));
  const auto slots = static_cast<std::size_t>(std::max(g->NumberVectors, 0));
  std::vector<int*> fresh;
  try {
    fresh.assign(slots, nullptr);
  } catch (const std::bad_alloc&) {
    return 1;
  }
  for (std::size_t i = 0; i < slots; ++i) {
    if (g->Vectors[i] == nullptr) continue;
    fresh[i] = static_cast<int*>(std::calloc(static_cast<std::size_t>(std::max(size, 1)), sizeof(int)));
    if (fresh[i] == nullptr) {
      for (int* made : fresh) std::free(made);
      return 1;
    }
    std::copy_n(g->Vectors[i]->*array, kept, fresh[i]);
  }
  for (std::size_t i = 0; i < slots; ++i) {
    if (g->Vectors[i] == nullptr) continue;
    std::free(g->Vectors[i]->*array);
    g->Vectors[i]->*array = fresh[i];
  }
  return 0;
}

// Reads one line through its line break into `line`. False when the file
// ends before a line break.
bool ReadCompleteLine(std::FILE* file, std::string& line) {
  line.clear();
  int c;
  while ((c = getc_unlocked(file)) != EOF) {
    if (c == '\n') return true;
    line.push_back(static_cast<char>(c));
  }
  return false;
}

// Scans the numbers of a vector line into the vector: the first dim are
// coordinates, the next k neighbour indices; numbers beyond these (all of
// them when vector is null) are only counted. Each number is read as decimal
// and followed by one character of any kind, which is stepped over; white
// space between numbers is skipped.
// Returns how many numbers the line holds.
std::int64_t ScanVectorLine(const std::string& line, GraphVector* vector, int dim, int k) {
  const char* text = line.c_str();
  const std::size_t length = std::strlen(text);  // the text ends at a zero byte
  std::int64_t count = 0;
  std::size_t pos = 0;
  while (pos < length) {
    if (std::isspace(static_cast<unsigned char>(text[pos]))) {
      ++pos;
      continue;
    }
    char* end = nullptr;
    const long value = std::strtol(text + pos, &end, 10);
    const int number = static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
    if (vector != nullptr && count < dim) {
      vector->Coord[count] = number;
    } else if (vector != nullptr && count - dim < k) {
      vector->NN[count - dim] = number;
    }
    ++count;
    pos = static_cast<std::size_t>(end - text);
    if (pos < length) ++pos;
  }
  return count;
}

enum class LineResult { Read, Incomplete, WrongCount, NoMemory };

LineResult ReadVectorLine(std::FILE* file, Graph* g, int index, GraphVector** result, std::int64_t* numbers) {
  *result = nullptr;
  std::string line;
  if (!ReadCompleteLine(file, line)) return LineResult::Incomplete;
  // Every number takes at least one character: a line shorter than Dim + K
  // cannot hold them all, and nothing is allocated for it.
  if (static_cast<std::int64_t>(line.size()) < std::int64_t{g->Dim} + g->K) {
    *numbers = ScanVectorLine(line, nullptr, g->Dim, g->K);
    return LineResult::WrongCount;
  }
  GraphVector* vector = AllocateMemoryForGraphVector(g, index);
  if (vector == nullptr) return LineResult::NoMemory;
  *numbers = ScanVectorLine(line, vector, g->Dim, g->K);
  if (*numbers != std::int64_t{g->Dim} + g->K) {
    ReleaseGraphVector(vector);
    return LineResult::WrongCount;
  }
  *result = vector;
  return LineResult::Read;
}

// Takes white space as a blank of a scanf format does, counting line breaks.
void SkipSpace(std::FILE* file, std::int64_t* lineBreaks) {
  int c;
  while ((c = std::getc(file)) != EOF && std::isspace(c)) {
    if (c == '\n') ++*lineBreaks;
  }
  if (c != EOF) std::ungetc(c, file);
}

// A header number as "%i" reads it (mirvo/coding.h) after white space; false
// when none is there or it leaves the int range.
bool ReadHeaderNumber(std::FILE* file, int* value, std::int64_t* lineBreaks) {
  SkipSpace(file, lineBreaks);
  struct Source {
    std::FILE* file;
    int Get() { return std::getc(file); }
    int Peek() {
      const int c = std::getc(file);
      if (c != EOF) std::ungetc(c, file);
      return c;
    }
  } source{file};
  std::int64_t number = 0;
  if (ScanInteger(source, number) != ScanResult::Ok) return false;
  *value = static_cast<int>(number);
  return true;
}

bool ReadLiteral(std::FILE* file, const char* text) {
  for (; *text != '\0'; ++text) {
    if (std::getc(file) != static_cast<unsigned char>(*text)) return false;
  }
  return true;
}

// Bytes left in a regular file; the largest value when the size is unknown.
std::int64_t RemainingBytes(std::FILE* file) {
  struct stat info {};
  const long offset = std::ftell(file);
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode) || offset < 0) return INT64_MAX;
  return std::max<std::int64_t>(0, static_cast<std::int64_t>(info.st_size) - offset);
}

// The header numbers and the separator after them; counts the line breaks
// taken so that vector lines can be named by their line in the file. False
// when the file does not begin with "Graph v.", a number cannot be read, or
// the count, K or the dimension is negative.
struct Header {
  int n = 0, k = 0, dim = 0;
};
bool ReadHeader(std::FILE* file, Header* header, std::int64_t* lineBreaks) {
  int version = 0;
  if (!ReadLiteral(file, "Graph")) return false;
  SkipSpace(file, lineBreaks);
  if (!ReadLiteral(file, "v.")) return false;
  if (!ReadHeaderNumber(file, &version, lineBreaks) || !ReadHeaderNumber(file, &header->n, lineBreaks) ||
      !ReadHeaderNumber(file, &header->k, lineBreaks) || !ReadHeaderNumber(file, &header->dim, lineBreaks)) {
    return false;
  }
  if (header->n < 0 || header->k < 0 || header->dim < 0) return false;
  SkipSpace(file, lineBreaks);
  int c;
  while ((c = std::getc(file)) == '-') {
  }
  if (c == '\n') ++*lineBreaks;
  return true;
}

}  // namespace

int GraphGetNumberVectors(const Graph* g) { return g->NumberVectors; }

// The slot array follows the count (none for a negative one): new slots
// are empty, and the vectors of dropped slots are released.
int GraphPutNumberVectors(Graph* g, int n) {
  const int kept = std::max(g->NumberVectors, 0);
  const int wanted = std::max(n, 0);
  if (wanted != kept) {
    auto* slots =
        static_cast<GraphVector**>(std::calloc(static_cast<std::size_t>(std::max(wanted, 1)), sizeof(GraphVector*)));
    if (slots == nullptr) return 1;
    std::copy_n(g->Vectors, std::min(wanted, kept), slots);
    for (int i = wanted; i < kept; ++i) {
      if (g->Vectors[i] != nullptr) ReleaseGraphVector(g->Vectors[i]);
    }
    std::free(g->Vectors);
    g->Vectors = slots;
  }
  g->NumberVectors = n;
  return 0;
}

int GraphGetK(const Graph* g) { return g->K; }

// The neighbour arrays of the vectors already held follow K (none for a
// negative K).
int GraphPutK(Graph* g, int k) {
  if (ResizeVectorArrays(g, &GraphVector::NN, g->K, k) != 0) return 1;
  g->K = k;
  return 0;
}

int GraphGetDim(const Graph* g) { return g->Dim; }

// The coordinate arrays of the vectors already held follow the dimension
// (none for a negative one).
int GraphPutDim(Graph* g, int dim) {
  if (ResizeVectorArrays(g, &GraphVector::Coord, g->Dim, dim) != 0) return 1;
  g->Dim = dim;
  return 0;
}

int GraphGetMaxCoord(const Graph* g) { return g->MaxCoord; }
int GraphGetMinCoord(const Graph* g) { return g->MinCoord; }
GraphVector* GraphGetVector(const Graph* g, int i) { return g->Vectors[i]; }
int GraphGetVectorIndex(const GraphVector* v) { return v->Index; }
int* GraphGetVectorCoord(const GraphVector* v) { return v->Coord; }

int GraphPutVectorElement(GraphVector* v, int i, int value) {
  v->Coord[i] = value;
  return 0;
}

// Null also when the stored index names no slot of the graph: neighbour
// indices come from files and are not checked on reading.
GraphVector* GraphGetNNVector(const Graph* g, const GraphVector* v, int j) {
  if (j >= g->K) return nullptr;
  const int neighbour = v->NN[j];
  if (neighbour < 0 || neighbour >= g->NumberVectors) return nullptr;
  return g->Vectors[neighbour];
}

int GraphPutNN(const Graph* g, GraphVector* v, int value, int j) {
  if (j >= g->K) return 1;
  v->NN[j] = value;
  return 0;
}

int IsGraphEdge(const Graph* g, const GraphVector* v, const GraphVector* w) {
  for (int j = 0; j < g->K; ++j) {
    if (v->NN[j] == w->Index) return 1;
  }
  return 0;
}

// A vector already in the slot is not released.
int GraphPutVector(Graph* g, int i, const int* coordinates) {
  GraphVector* vector = NewGraphVector(g->Dim, g->K, i);
  if (vector == nullptr) return 1;
  std::copy_n(coordinates, g->Dim, vector->Coord);
  g->Vectors[i] = vector;
  return 0;
}

Graph* AllocateMemoryForGraph(int n, int k, int dim) {
  auto* g = static_cast<Graph*>(std::malloc(sizeof(Graph)));
  if (g == nullptr) return nullptr;
  *g = Graph{n, k, dim, 0, 2147483647, nullptr};
  // The slots start empty; calloc takes fresh zero pages for a large count,
  // so slots that are never filled cost no memory.
  if (n >= 0 && k >= 0 && dim >= 0) {
    g->Vectors =
        static_cast<GraphVector**>(std::calloc(static_cast<std::size_t>(std::max(n, 1)), sizeof(GraphVector*)));
  }
  if (g->Vectors == nullptr) {
    std::free(g);
    ErrorMessage("ERROR: Allocate error: AllocateMemoryForGraph(Graph)\n");
    return nullptr;
  }
  return g;
}

GraphVector* AllocateMemoryForGraphVector(const Graph* g, int index) {
  GraphVector* vector = NewGraphVector(g->Dim, g->K, index);
  if (vector == nullptr) ErrorMessage("ERROR: Allocate error: AllocateMemoryForGraphVector()\n");
  return vector;
}

int FreeGraphVector(Graph* g, int i) {
  if (g->Vectors[i] == nullptr) return 1;
  ReleaseGraphVector(g->Vectors[i]);
  g->Vectors[i] = nullptr;
  return 0;
}

int FreeGraph(Graph* g) {
  if (g == nullptr) return 0;
  for (int i = 0; i < g->NumberVectors; ++i) FreeGraphVector(g, i);
  std::free(g->Vectors);
  std::free(g);
  return 0;
}

int readline(std::FILE* file, char* buffer) {
  if (std::fgets(buffer, 1024, file) == nullptr) return 1;
  return std::feof(file);
}

// Lines of any length are read; a line without a line break, or with other
// than Dim + K numbers, gives null.
GraphVector* ReadGraphVectorFromFile(std::FILE* file, Graph* g, int index) {
  GraphVector* vector = nullptr;
  std::int64_t numbers = 0;
  ReadVectorLine(file, g, index, &vector, &numbers);
  return vector;
}

// An empty slot (null vector) writes nothing and gives 1.
int WriteGraphVectorToFile(std::FILE* file, const Graph* g, const GraphVector* v) {
  if (v == nullptr) return 1;
  for (int i = 0; i < g->Dim; ++i) std::fprintf(file, "%d ", v->Coord[i]);
  for (int j = 0; j < g->K; ++j) std::fprintf(file, "%d ", v->NN[j]);
  std::fputc('\n', file);
  return 0;
}

int WriteGraphkFileHeader(std::FILE* file, const Graph* g) {
  std::fprintf(file, "Graph v. %d\n", 1);
  std::fprintf(file, "%d\n%d\n%d\n", g->NumberVectors, g->K, g->Dim);
  std::fprintf(file, "%s\n", kSeparator);
  return 0;
}

// Null when the file does not begin with "Graph v.", when a header number
// cannot be read, or when the count, K or the dimension is negative.
Graph* ReadGraphFileHeader(std::FILE* file) {
  std::int64_t lineBreaks = 0;
  Header header;
  if (!ReadHeader(file, &header, &lineBreaks)) return nullptr;
  return AllocateMemoryForGraph(header.n, header.k, header.dim);
}

Graph* GraphRead(const char* name) {
  std::FILE* file = FileOpen(name, FileModeRead, 0);
  if (file == nullptr) return nullptr;
  std::int64_t lineBreaks = 0;
  Header header;
  // Each vector line takes at least its line break: a count the rest of the
  // file cannot hold gives no graph, and nothing is allocated for it. (The
  // numbers on a line are bounded when the line is read.)
  if (!ReadHeader(file, &header, &lineBreaks) || header.n > RemainingBytes(file)) {
    std::fclose(file);
    return nullptr;
  }
  Graph* g = AllocateMemoryForGraph(header.n, header.k, header.dim);
  if (g == nullptr) {
    std::fclose(file);
    return nullptr;
  }
  for (int i = 0; i < g->NumberVectors; ++i) {
    std::int64_t numbers = 0;
    const LineResult result = ReadVectorLine(file, g, i, &g->Vectors[i], &numbers);
    if (result == LineResult::Read) continue;
    const long long line = static_cast<long long>(lineBreaks) + 1 + i;
    if (result == LineResult::Incomplete) {
      ErrorMessage("ERROR: Graph file %s: line %lld is missing or has no line break (%d of %d vectors read).\n", name,
                   line, i, g->NumberVectors);
    } else if (result == LineResult::WrongCount) {
      ErrorMessage("ERROR: Graph file %s: line %lld holds %lld numbers instead of %lld.\n", name, line,
                   static_cast<long long>(numbers), static_cast<long long>(g->Dim) + g->K);
    }
    std::fclose(file);
    FreeGraph(g);
    return nullptr;
  }
  std::fclose(file);

  int maxCoord = 0;
  int minCoord = 2147483647;
  for (int i = 0; i < g->NumberVectors; ++i) {
    const int* coord = g->Vectors[i]->Coord;
    for (int k = 0; k < g->Dim; ++k) {
      minCoord = std::min(minCoord, coord[k]);
      maxCoord = std::max(maxCoord, coord[k]);
    }
  }
  g->MaxCoord = maxCoord;
  g->MinCoord = minCoord;
  return g;
}

// Written whole or not at all. A graph with an empty slot is refused before
// anything is written: its file could not be read back.
void GraphWrite(const char* name, const Graph* g, int overwrite) {
  SafeOutput out;
  for (int i = 0; i < g->NumberVectors; ++i) {
    if (g->Vectors[i] == nullptr) {
      ErrorMessage("ERROR: Cannot write %s: the graph holds no vector %d.\n", name, i);
      return;
    }
  }
  if (!out.Open(name, overwrite)) return;
  out.Text("Graph v. 1\n");
  for (const int field : {g->NumberVectors, g->K, g->Dim}) {
    out.Decimal(field);
    out.Put('\n');
  }
  out.Text(kSeparator);
  out.Put('\n');
  for (int i = 0; i < g->NumberVectors; ++i) {
    const GraphVector* v = g->Vectors[i];
    for (int k = 0; k < g->Dim; ++k) {
      out.Decimal(v->Coord[k]);
      out.Put(' ');
    }
    for (int j = 0; j < g->K; ++j) {
      out.Decimal(v->NN[j]);
      out.Put(' ');
    }
    out.Put('\n');
  }
  out.Commit();
}

// Empty slots are passed over.
int GraphPrint(const Graph* g) {
  for (int i = 0; i < g->NumberVectors; ++i) WriteGraphVectorToFile(stdout, g, g->Vectors[i]);
  std::fflush(stdout);
  return 0;
}

// The header is read as ReadGraphFileHeader reads it, without making the
// graph it announces.
int IsGraphFile(const char* name) {
  std::FILE* file = FileOpen(name, FileModeRead, 0);
  if (file == nullptr) return 0;
  std::int64_t lineBreaks = 0;
  Header header;
  const bool graph = ReadHeader(file, &header, &lineBreaks);
  std::fclose(file);
  return graph ? 1 : 0;
}

}  // namespace mirvo
