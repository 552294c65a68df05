// Reads a codebook with the installed MIRVO library and prints its size,
// with the engine's search of its first code vector (index 0) added: the
// engine's header serves a program as the others do. Its own Graph and
// Codebook live beside the library's: every name of the library is in
// namespace mirvo.
#include <mirvo/mirvo.h>

#include <cstdint>
#include <cstdio>

struct Graph {
  int Nodes = 0;
};
struct Codebook {
  const char* Name = "mine";
};

static_assert(MIRVO_VERSION_MAJOR >= 0 && MIRVO_VERSION_MINOR >= 0, "the version as numbers");

int main(int argc, char** argv) {
  if (argc != 2 || mirvo::ExistFile(argv[1]) == 0) {
    mirvo::ErrorMessage("usage: consumer CODEBOOK (an existing file)\n");
    return 2;
  }
  const Graph graph;
  const Codebook own;
  mirvo::Codebook codebook;
  mirvo::ReadCodebook(argv[1], &codebook);
  const mirvo::NearestSearch search(&codebook);
  std::int64_t distance = -1;
  const int nearest = search.Find(codebook.Book[0].Vector, 0, &distance);
  std::printf("%d\n",
              codebook.BookSize + graph.Nodes + (own.Name[0] == 'm' ? 0 : 1) + nearest + (distance == 0 ? 0 : 1));
  mirvo::FreeCodebook(&codebook);
  return 0;
}
