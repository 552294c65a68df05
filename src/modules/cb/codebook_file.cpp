// Training-set and codebook files: a text header of short lines and binary
// vector records. Version 2 is read and written; versions 0 and 1 are read.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "cb/cb.h"
#include "cb/cb_internal.h"
#include "file/file.h"
#include "file/output.h"
#include "file/reader.h"
#include "interfc/interfc.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

constexpr char kSeparator[] = "-------------------------------------";
constexpr std::int64_t kIntMax = std::numeric_limits<int>::max();

[[noreturn]] void Fatal(const char* format, const char* name, auto... args) {
  ErrorMessage(format, name, args...);
  ExitProcessing(-1);
}

// One header integer read with "%i\n".
int HeaderInt(FileReader& reader, const char* name, const char* field) {
  std::int64_t value = 0;
  switch (reader.ScanInt(value)) {
    case FileReader::Scan::NoNumber:
      Fatal("ERROR: The header of %s lacks a number for %s.\n", name, field);
    case FileReader::Scan::Overflow:
      Fatal("ERROR: The header of %s gives %s a value beyond 32 bits.\n", name, field);
    case FileReader::Scan::Ok:
      break;
  }
  reader.SkipWhitespace();
  return static_cast<int>(value);
}

// The rest of the current line, through its line break, keeping at most 79
// characters and not the line break.
void ReadTextLine(FileReader& reader, char (&field)[80]) {
  if (!reader.ReadLine(field, sizeof field)) {
    field[0] = '\0';
    return;
  }
  const std::size_t length = std::strlen(field);
  if (field[length - 1] == '\n') {
    field[length - 1] = '\0';
  } else {
    reader.SkipLine();
  }
}

// The name of one version 2 record, up to and including its zero byte.
char* ReadName(FileReader& reader) {
  constexpr std::size_t kField = 80;
  const std::size_t available = reader.Ensure(kField);
  const auto* data = reader.Data();
  const void* zero = std::memchr(data, 0, std::min(available, kField));
  if (zero == nullptr) {
    if (available < kField) {
      ErrorMessage("ERROR: premature end of file\n");
      ExitProcessing(-1);
    }
    const std::string text(reinterpret_cast<const char*>(data), kField);
    ErrorMessage("ERROR: Too long vector name:\n%*s\nMaximum is %d characters.\n", static_cast<int>(kField),
                 text.c_str(), static_cast<int>(kField));
    ExitProcessing(-1);
  }
  const auto length = static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - data);
  char* name = length == 0 ? nullptr : cbdetail::CopyName(reinterpret_cast<const char*>(data));
  reader.Consume(length + 1);
  return name;
}

[[noreturn]] void Truncated(const char* name, int entry, int bookSize) {
  ErrorMessage("ERROR: unable to read from file.");
  Fatal("\nERROR: %s ends inside vector %d of %d.\n", name, entry + 1, bookSize);
}

int ReadLittleEndian(FileReader& reader, int width, bool& complete) {
  unsigned value = 0;
  for (int k = 0; k < width; ++k) {
    const int c = reader.Get();
    if (c == EOF) {
      complete = false;
      return static_cast<int>(value);
    }
    value |= static_cast<unsigned>(c) << (8 * k);
  }
  return static_cast<int>(value);
}

}  // namespace

void ReadCodebook(const char* name, Codebook* cb) {
  FilePtr file(FileOpen(name, FileModeRead, 0));
  if (!file) ExitProcessing(-1);
  FileReader reader(file.get());

  char line[80];
  if (!reader.ReadLine(line, sizeof line)) line[0] = '\0';
  RemoveLineBreak(line);
  std::memcpy(cb->VersionString, line, sizeof line);

  const char* digit = std::strpbrk(cb->VersionString, "0123456789");
  if (digit == nullptr) {
    ErrorMessage("ERROR: No version number found in header.\n");
    ExitProcessing(-1);
  }
  const int version = *digit - '0';
  if (version > 2) {
    ErrorMessage("ERROR: Unknown file version number (%d).\n", version);
    ExitProcessing(-1);
  }

  if (version == 2) {
    cb->VectorSizeX = HeaderInt(reader, name, "VectorSizeX");
    cb->VectorSizeY = HeaderInt(reader, name, "VectorSizeY");
    cb->BookSize = HeaderInt(reader, name, "BookSize");
    cb->TotalFreq = HeaderInt(reader, name, "TotalFreq");
    cb->BytesPerElement = HeaderInt(reader, name, "BytesPerElement");
    cb->ReservedValue = HeaderInt(reader, name, "ReservedValue");
    cb->ErrorScaling = HeaderInt(reader, name, "ErrorScaling");
    cb->InheritLevel = HeaderInt(reader, name, "InheritLevel");
    if (reader.Peek() == '-') {
      cb->GenerationMethod[0] = '\0';
    } else {
      ReadTextLine(reader, cb->GenerationMethod);
    }
  } else {
    cb->VectorSizeX = HeaderInt(reader, name, "VectorSizeX");
    cb->VectorSizeY = HeaderInt(reader, name, "VectorSizeY");
    cb->BookSize = HeaderInt(reader, name, "BookSize");
    cb->InheritLevel = HeaderInt(reader, name, "InheritLevel");
    for (int skipped = 0; skipped < 3; ++skipped) HeaderInt(reader, name, "an unused field");
    cb->ErrorScaling = HeaderInt(reader, name, "ErrorScaling");
    if (std::strncmp(cb->VersionString, "VQ CODEBOOK", 11) == 0) {
      ReadTextLine(reader, cb->GenerationMethod);
    } else {
      cb->GenerationMethod[0] = '\0';
    }
    cb->TotalFreq = 0;
    cb->ReservedValue = 0;
    cb->BytesPerElement = 1;
  }

  if (cb->VectorSizeX < 1 || cb->VectorSizeY < 1) {
    Fatal("ERROR: The vector size of %s is %d x %d; both must be at least 1.\n", name, cb->VectorSizeX,
          cb->VectorSizeY);
  }
  const std::int64_t dimension = std::int64_t{cb->VectorSizeX} * cb->VectorSizeY;
  if (dimension > kIntMax) {
    Fatal("ERROR: The vector size of %s, %d x %d, exceeds 2147483647 elements.\n", name, cb->VectorSizeX,
          cb->VectorSizeY);
  }
  if (cb->BookSize < 0) Fatal("ERROR: The header of %s gives a negative number of vectors (%d).\n", name, cb->BookSize);
  if (cb->BytesPerElement < 1 || cb->BytesPerElement > 4) {
    Fatal("ERROR: The header of %s gives %d bytes per element; it must be 1 to 4.\n", name, cb->BytesPerElement);
  }

  // Separator: hyphens and the one character after them.
  while (reader.Peek() == '-') reader.Get();
  reader.Get();

  // Every record takes at least its elements and frequency (and in version 2
  // a name terminator): refuse a count the rest of the file cannot hold
  // before allocating anything for it.
  const std::uint64_t minimumRecord = version == 2
                                          ? 1 + static_cast<std::uint64_t>(dimension) * cb->BytesPerElement + 4
                                          : static_cast<std::uint64_t>(dimension) + 2;
  const auto remaining = reader.Remaining();
  if (remaining && static_cast<std::uint64_t>(cb->BookSize) > *remaining / minimumRecord) {
    Fatal("ERROR: %s is too short for the %d vectors its header announces.\n", name, cb->BookSize);
  }

  AllocateMemoryForBook(cb);
  const auto d = static_cast<std::size_t>(dimension);
  std::int64_t total = 0;
  std::int64_t magnitude = 0;
  for (int i = 0; i < cb->BookSize; ++i) {
    BookNode& node = cb->Book[i];
    bool complete = true;
    if (version == 2) {
      node.Name = ReadName(reader);
      if (ReadBigEndianBlock(reader, node.Vector, d, cb->BytesPerElement) < d) Truncated(name, i, cb->BookSize);
      int freq = 0;
      if (ReadBigEndianBlock(reader, &freq, 1, 4) < 1) Truncated(name, i, cb->BookSize);
      node.Freq = freq;
    } else {
      if (ReadBigEndianBlock(reader, node.Vector, d, 1) < d) Truncated(name, i, cb->BookSize);
      node.Freq = ReadLittleEndian(reader, 2, complete);
      if (!complete) Truncated(name, i, cb->BookSize);
    }
    std::int64_t sum = 0;
    for (std::size_t k = 0; k < d; ++k) sum += node.Vector[k];
    node.VectorMean = cbdetail::RoundedMean(sum, static_cast<double>(dimension));
    total += node.Freq;
    magnitude += std::abs(std::int64_t{node.Freq});
    if (magnitude > kIntMax) {
      Fatal("ERROR: The frequencies in %s add up to more than 2147483647.\n", name);
    }
  }
  if (version == 2 && cb->TotalFreq != total) {
    PrintMessage("WARNING: TotalFreq header field = %d but ", cb->TotalFreq);
    PrintMessage("calculated totalfreq = %d.\n", static_cast<int>(total));
  }
  cb->TotalFreq = static_cast<int>(total);
}

void WriteCodebook(const char* name, Codebook* cb, int overwrite) {
  std::int64_t total = 0;
  for (int i = 0; i < cb->BookSize; ++i) total += cb->Book[i].Freq;
  if (total > kIntMax || total < std::numeric_limits<int>::min()) {
    Fatal("ERROR: The frequencies of the codebook for %s add up to more than 32 bits hold.\n", name);
  }
  cb->TotalFreq = static_cast<int>(total);

  SafeOutput out;
  if (!out.Open(name, overwrite)) return;

  // What the reader could not read back is refused before anything is
  // written: the file would be unreadable or read back different.
  const int width = cb->BytesPerElement;
  const auto d = cbdetail::Dim(cb);
  auto refuse = [&](const char* format, auto... args) {
    out.Abandon();
    ErrorMessage(format, args...);
    ExitProcessing(-1);
  };
  if (cb->VectorSizeX < 1 || cb->VectorSizeY < 1 || cb->BookSize < 0) {
    refuse("ERROR: Cannot write %s: the codebook has no valid size (%d x %d, %d vectors).\n", name,
           cb->VectorSizeX, cb->VectorSizeY, cb->BookSize);
  }
  if (width < 1 || width > 4) {
    refuse("ERROR: Cannot write %s: %d bytes per element; it must be 1 to 4.\n", name, width);
  }
  if (cb->GenerationMethod[0] == '-' || std::strchr(cb->GenerationMethod, '\n') != nullptr) {
    refuse("ERROR: Cannot write %s: its generation method may neither begin with '-' nor hold a line break.\n",
           name);
  }
  const std::int64_t largest = width == 4 ? kIntMax : (std::int64_t{1} << (8 * width)) - 1;
  for (int i = 0; i < cb->BookSize; ++i) {
    const BookNode& node = cb->Book[i];
    if (node.Name != nullptr && std::strlen(node.Name) > 79) {
      refuse("ERROR: Cannot write %s: the name of vector %d is longer than 79 characters.\n", name, i + 1);
    }
    if (width == 4) continue;
    for (std::size_t k = 0; k < d; ++k) {
      if (node.Vector[k] > largest) {
        refuse("ERROR: Vector element value is too big (%d). Increase bytes/elem ratio.\n", node.Vector[k]);
      }
      if (node.Vector[k] < 0) {
        refuse("ERROR: Vector element value is negative (%d); only 4 bytes per element hold negative values.\n",
               node.Vector[k]);
      }
    }
  }

  // A record read from an old version is written with the current header
  // line of its kind, matching the layout that follows.
  switch (RecognizeVersionstr(cb->VersionString)) {
    case KindTrainingSet:
      out.Text("VQ TRAINING SET 2.0");
      break;
    case KindCodebook:
      out.Text("VQ CODEBOOK 2.0");
      break;
    default:
      out.Text(cb->VersionString);
      break;
  }
  out.Put('\n');
  for (const int field : {cb->VectorSizeX, cb->VectorSizeY, cb->BookSize, cb->TotalFreq, cb->BytesPerElement,
                          cb->ReservedValue, cb->ErrorScaling, cb->InheritLevel}) {
    out.Decimal(field);
    out.Put('\n');
  }
  if (cb->GenerationMethod[0] != '\0') {
    out.Text(cb->GenerationMethod);
    out.Put('\n');
  }
  out.Text(kSeparator);
  out.Put('\n');

  constexpr std::size_t kChunk = 4096;
  for (int i = 0; i < cb->BookSize; ++i) {
    const BookNode& node = cb->Book[i];
    if (node.Name != nullptr) out.Text(node.Name);
    out.Put('\0');
    for (std::size_t start = 0; start < d; start += kChunk) {
      const std::size_t n = std::min(kChunk, d - start);
      auto* p = reinterpret_cast<unsigned char*>(out.Reserve(n * static_cast<std::size_t>(width)));
      const int* v = node.Vector + start;
      switch (width) {
        case 1:
          for (std::size_t k = 0; k < n; ++k) p[k] = static_cast<unsigned char>(v[k]);
          break;
        case 2:
          for (std::size_t k = 0; k < n; ++k) {
            p[2 * k] = static_cast<unsigned char>(v[k] >> 8);
            p[2 * k + 1] = static_cast<unsigned char>(v[k]);
          }
          break;
        case 3:
          for (std::size_t k = 0; k < n; ++k) {
            p[3 * k] = static_cast<unsigned char>(v[k] >> 16);
            p[3 * k + 1] = static_cast<unsigned char>(v[k] >> 8);
            p[3 * k + 2] = static_cast<unsigned char>(v[k]);
          }
          break;
        default:
          for (std::size_t k = 0; k < n; ++k) {
            const auto u = static_cast<std::uint32_t>(v[k]);
            p[4 * k] = static_cast<unsigned char>(u >> 24);
            p[4 * k + 1] = static_cast<unsigned char>(u >> 16);
            p[4 * k + 2] = static_cast<unsigned char>(u >> 8);
            p[4 * k + 3] = static_cast<unsigned char>(u);
          }
          break;
      }
      out.Advance(n * static_cast<std::size_t>(width));
    }
    const auto f = static_cast<std::uint32_t>(node.Freq);
    const unsigned char freq[4] = {static_cast<unsigned char>(f >> 24), static_cast<unsigned char>(f >> 16),
                                   static_cast<unsigned char>(f >> 8), static_cast<unsigned char>(f)};
    out.Write(freq, sizeof freq);
  }
  out.Commit();
}
