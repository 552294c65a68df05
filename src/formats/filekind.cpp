// File kinds: header lines and how a named file's kind is found.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "files/reader.h"
#include "mirvo/cb.h"
#include "mirvo/file.h"
#include "mirvo/interfc.h"

namespace mirvo {

namespace {

const char* KindText(int kind) {
  switch (kind) {
    case KindTrainingSet:
      return "VQ TRAINING SET";
    case KindCodebook:
      return "VQ CODEBOOK";
    case KindPartitioning:
      return "VQ PARTITIONING";
    default:
      return nullptr;
  }
}

}  // namespace

void SetVerString(char* buffer, int kind) {
  const char* text = KindText(kind);
  if (text == nullptr) {
    ErrorMessage("ERROR: Unknown file type (SetVersionString)\n");
    ExitProcessing(-1);
  }
  std::snprintf(buffer, 80, "%s %s", text, "2.0");
}

int RecognizeVersionstr(const char* text) {
  if (std::strncmp(text, "VQ CODEBOOK", 11) == 0) return KindCodebook;
  if (std::strncmp(text, "VQ TRAINING SET", 15) == 0) return KindTrainingSet;
  if (std::strncmp(text, "VQ PARTITIONING", 15) == 0) return KindPartitioning;
  return KindNone;
}

int AnalyzeFileType(const char* name) {
  // A pipe or FIFO can be read once only: its first line is looked at
  // through the reader that will read it whole.
  struct stat info {};
  if (::stat(name, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    const auto reader = OpenInput(name);
    if (reader == nullptr) return KindNone;
    char line[80];
    return reader->PeekLine(line, sizeof line) > 0 ? RecognizeVersionstr(line) : KindNone;
  }
  if (ExistFile(name) == 0) return KindNone;
  std::FILE* f = FileOpen(name, FileModeRead, 0);
  if (f == nullptr) return KindNone;
  char line[80];
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  return read ? RecognizeVersionstr(line) : KindNone;
}

namespace {

// The kind found for the name, unchanged or with the extensions of the
// order; *found is the name it was found under.
int FindKind(const std::string& name, int order, std::string* found) {
  *found = name;
  const int unchanged = AnalyzeFileType(name.c_str());
  if (unchanged != KindNone) return unchanged;
  const std::string digits = std::to_string(order);
  for (const char digit : digits) {
    const char* extension = nullptr;
    switch (digit) {
      case '1':
        extension = "ts";
        break;
      case '2':
        extension = "cb";
        break;
      case '3':
        extension = "pa";
        break;
      default:
        ErrorMessage("ERROR: invalid priority order in DetermineCBFileTypeConsideringOrder: %d\n", order);
        ExitProcessing(-1);
    }
    std::string working = name;
    CheckFileName(working, extension);
    const int kind = AnalyzeFileType(working.c_str());
    if (kind != KindNone) {
      *found = working;
      return kind;
    }
  }
  return KindNone;
}

}  // namespace

int DetermineCBFileTypeConsideringOrder(std::string& name, int order) {
  std::string found;
  const int kind = FindKind(name, order, &found);
  if (found != name) name = found;
  return kind;
}

int DetermineCBFileTypeConsideringOrder(char* name, int order) {
  std::string found;
  const int kind = FindKind(name, order, &found);
  if (found != name) std::memcpy(name, found.c_str(), found.size() + 1);
  return kind;
}

char* RemoveLineBreak(char* text) {
  if (text == nullptr) {
    ErrorMessage("ERROR: empty header (NULL)\n");
    ExitProcessing(-1);
  }
  const std::size_t length = std::strlen(text);
  if (length == 0) {
    ErrorMessage("ERROR: empty header (0x00)\n");
    ExitProcessing(-1);
  }
  if (text[length - 1] == '\n') text[length - 1] = '\0';
  return text;
}

char* ClearString(char* text) {
  text[0] = '\0';
  return text;
}

}  // namespace mirvo
