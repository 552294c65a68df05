// A small codebook generator on the MIRVO library: k-means (the generalised
// Lloyd algorithm) from a training set and a first codebook.
//
//   mirvo_kmeans TRAINING_SET CODEBOOK OUTPUT_CODEBOOK OUTPUT_PARTITIONING [ROUNDS]
//
// A round is the command line's two conversions in turn: every training
// vector into the partition of its nearest code vector (as `mirvo ts cb`),
// then every code vector the centroid of its partition (as `mirvo ts pa`).
// The rounds stop when the distortion (the mean squared error per element)
// stops falling, or after ROUNDS rounds (default 100). Each round's
// distortion is printed; the last codebook and the partitioning it is the
// centroid codebook of are written, byte for byte what alternating the
// command line as many times writes. Existing output files are kept.
//
// Built with the library (target mirvo_kmeans); outside this tree:
//   c++ -std=c++20 kmeans.cpp $(pkg-config --cflags --libs mirvo) -o mirvo_kmeans
#include <mirvo/mirvo.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace {

// A double as its shortest text that reads back as the same value.
void PrintRound(int round, double distortion) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, distortion).ptr;
  std::printf("round %d: distortion %.*s\n", round, static_cast<int>(end - text), text);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc == 6 ? std::atoi(argv[5]) : 100;
  if ((argc != 5 && argc != 6) || rounds < 1) {
    std::fprintf(stderr, "usage: mirvo_kmeans TRAINING_SET CODEBOOK OUTPUT_CODEBOOK OUTPUT_PARTITIONING [ROUNDS]\n");
    return 2;
  }
  // Failures of the library (a missing or broken file, sets of different
  // dimensions, an empty codebook) print their message and end the process
  // with status 255.
  mirvo::Codebook ts, books[2];
  mirvo::ReadCodebook(argv[1], &ts);
  mirvo::ReadCodebook(argv[2], &books[0]);
  mirvo::Codebook* codebook = &books[0];
  mirvo::Partitioning partitioning;
  double last = 0;
  for (int round = 1; round <= rounds; ++round) {
    // A fresh partitioning every round, every vector in partition 0, as the
    // command line starts: a tie then goes to the lowest index, not to the
    // vector's partition of the round before.
    mirvo::FreePartitioning(&partitioning);
    mirvo::CreateNewPartitioning(&partitioning, &ts, codebook->BookSize);
    const double distortion = mirvo::GenerateOptimalPartitioningGeneral(&ts, codebook, &partitioning, mirvo::ErrorMSE);
    PrintRound(round, distortion);

    // The centroids into the other record: shaped like the training set,
    // zero vectors with frequency 0 for the partitions left empty.
    mirvo::Codebook* next = codebook == &books[0] ? &books[1] : &books[0];
    mirvo::FreeCodebook(next);
    mirvo::CreateNewCodebook(next, partitioning.PartitionCount, &ts);
    mirvo::GenerateOptimalCodebookGeneral(&ts, next, &partitioning, mirvo::ErrorMSE);
    mirvo::AddString(next->GenerationMethod, MIRVO_IDENTITY, 80);
    codebook = next;
    if (round > 1 && distortion >= last) break;
    last = distortion;
  }

  int status = 0;
  mirvo::WriteCodebook(argv[3], codebook, 0);
  if (mirvo::LastWriteFailed() != 0) status = 1;
  mirvo::WritePartitioning(argv[4], &partitioning, &ts, 0);
  if (mirvo::LastWriteFailed() != 0) status = 1;
  mirvo::FreePartitioning(&partitioning);
  mirvo::FreeCodebook(&books[0]);
  mirvo::FreeCodebook(&books[1]);
  mirvo::FreeCodebook(&ts);
  return status;
}
