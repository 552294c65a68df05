// Reads a codebook with the installed MIRVO library and prints its size.
#include <cb/cb.h>
#include <file/file.h>
#include <interfc/interfc.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2 || ExistFile(argv[1]) == 0) {
    ErrorMessage("usage: consumer CODEBOOK (an existing file)\n");
    return 2;
  }
  Codebook codebook;
  ReadCodebook(argv[1], &codebook);
  std::printf("%d\n", codebook.BookSize);
  FreeCodebook(&codebook);
  return 0;
}
