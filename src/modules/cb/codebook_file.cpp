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

using FilePtr = std::unique_ptr<std::FILE, cbdetail::CloseFile>;
using cbdetail::kSeparator;
constexpr std::int64_t kIntMax = std::numeric_limits<int>::max();

using cbdetail::Fatal;
using cbdetail::Format;

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
  // The count, not the text's length: the line may hold a zero byte.
  const std::size_t read = reader.ReadLine(field, sizeof field);
  if (read > 0 && field[read - 1] == '\n') {
    field[read - 1] = '\0';
  } else if (read > 0) {
    reader.SkipLine();
  }
}

// The name of one version 2 record, up to and including its zero byte; an
// owned copy when keep is set, else only checked.
char* ReadName(FileReader& reader, bool keep) {
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
  char* name = length == 0 || !keep ? nullptr : cbdetail::CopyName(reinterpret_cast<const char*>(data));
  reader.Consume(length + 1);
  return name;
}

[[noreturn]] void Truncated(const char* name, int entry, int bookSize) {
  ErrorMessage("ERROR: unable to read from file.");
  Fatal("\nERROR: %s ends inside vector %d of %d.\n", name, entry + 1, bookSize);
}

int ReadLittleEndian(FileReader& reader, int width, bool& complete) {
  unsigned char bytes[4] = {};
  int got = 0;
  for (int c; got < width && (c = reader.Get()) != EOF; ++got) bytes[got] = static_cast<unsigned char>(c);
  if (got < width) complete = false;
  return DecodeLittleEndian(bytes, got);
}

}  // namespace

namespace cbdetail {

SetFileReader::SetFileReader(const char* name, Codebook* cb) : name_(name), cb_(cb) {
  file_.reset(FileOpen(name, FileModeRead, 0));
  if (!file_) ExitProcessing(-1);
  reader_ = std::make_unique<FileReader>(file_.get());
  FileReader& reader = *reader_;

  char line[80];
  if (!reader.ReadLine(line, sizeof line)) line[0] = '\0';
  RemoveLineBreak(line);
  std::memcpy(cb->VersionString, line, sizeof line);

  const char* digit = std::strpbrk(cb->VersionString, "0123456789");
  if (digit == nullptr) {
    ErrorMessage("ERROR: No version number found in header.\n");
    ExitProcessing(-1);
  }
  version_ = *digit - '0';
  const int version = version_;
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
  dimension_ = static_cast<std::size_t>(dimension);
}

SetFileReader::~SetFileReader() = default;

void SetFileReader::Read(int count, BookNode* nodes, bool keepNames) {
  FileReader& reader = *reader_;
  const char* name = name_;
  const std::size_t d = dimension_;
  const int width = cb_->BytesPerElement;
  const std::size_t bytes = d * static_cast<std::size_t>(width);
  // A record without a name, decoded straight from the buffer.
  const std::size_t record = 1 + bytes + 4;
  const bool direct = version_ == 2 && record <= (std::size_t{1} << 16);
  for (int r = 0; r < count; ++r, ++next_) {
    const int i = next_;
    BookNode& node = nodes[r];
    node.Name = nullptr;
    int* vector = node.Vector;
    int freq = 0;
    // The name goes to the node only with a complete, accepted record: a
    // record refused half-way leaves nothing behind for the caller to free.
    std::unique_ptr<char[]> recordName;
    if (direct && (reader.Available() >= record || reader.Ensure(record) >= record) && reader.Data()[0] == 0) {
      const unsigned char* p = reader.Data() + 1;
      DecodeBigEndian(p, vector, d, width);
      DecodeBigEndian(p + bytes, &freq, 1, 4);
      reader.Consume(record);
    } else if (version_ == 2) {
      recordName.reset(ReadName(reader, keepNames));
      if (ReadBigEndianBlock(reader, vector, d, width) < d) Truncated(name, i, cb_->BookSize);
      if (ReadBigEndianBlock(reader, &freq, 1, 4) < 1) Truncated(name, i, cb_->BookSize);
    } else {
      bool complete = true;
      if (ReadBigEndianBlock(reader, vector, d, 1) < d) Truncated(name, i, cb_->BookSize);
      freq = ReadLittleEndian(reader, 2, complete);
      if (!complete) Truncated(name, i, cb_->BookSize);
    }
    node.Freq = freq;
    total_ += freq;
    magnitude_ += std::abs(std::int64_t{freq});
    if (magnitude_ > kIntMax) {
      Fatal("ERROR: The frequencies in %s add up to more than 2147483647.\n", name);
    }
    node.Name = recordName.release();
  }
}

void SetFileReader::Finish() {
  Codebook* cb = cb_;
  if (version_ == 2 && cb->TotalFreq != total_) {
    PrintMessage("WARNING: TotalFreq header field = %d but ", cb->TotalFreq);
    PrintMessage("calculated totalfreq = %d.\n", static_cast<int>(total_));
  }
  cb->TotalFreq = static_cast<int>(total_);
  reader_.reset();
  file_.reset();
}

}  // namespace cbdetail

void ReadCodebook(const char* name, Codebook* cb) {
  cbdetail::SetFileReader file(name, cb);
  AllocateMemoryForBook(cb);
  const std::size_t d = cbdetail::Dim(cb);
  const double dimension = static_cast<double>(d);
  constexpr int kChunk = 1024;
  for (int first = 0; first < cb->BookSize; first += kChunk) {
    const int count = std::min(kChunk, cb->BookSize - first);
    file.Read(count, cb->Book + first, true);
    for (int r = 0; r < count; ++r) {
      BookNode& node = cb->Book[first + r];
      std::int64_t sum = 0;
      for (std::size_t k = 0; k < d; ++k) sum += node.Vector[k];
      node.VectorMean = cbdetail::RoundedMean(sum, dimension);
    }
  }
  file.Finish();
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
  auto refuse = [&](const std::string& message) {
    out.Abandon();
    ErrorMessage("%s", message.c_str());
    ExitProcessing(-1);
  };
  if (cb->VectorSizeX < 1 || cb->VectorSizeY < 1 || cb->BookSize < 0) {
    refuse(Format("ERROR: Cannot write %s: the codebook has no valid size (%d x %d, %d vectors).\n", name,
                  cb->VectorSizeX, cb->VectorSizeY, cb->BookSize));
  }
  if (width < 1 || width > 4) {
    refuse(Format("ERROR: Cannot write %s: %d bytes per element; it must be 1 to 4.\n", name, width));
  }
  if (cb->GenerationMethod[0] == '-' || std::strchr(cb->GenerationMethod, '\n') != nullptr) {
    refuse(Format("ERROR: Cannot write %s: its generation method may neither begin with '-' nor hold a line "
                  "break.\n",
                  name));
  }
  // A header line that names version 2 is written as the record holds it,
  // whatever follows the version; the line of a record read from an old
  // version is replaced by the current line of its kind, matching the layout
  // that follows. Any other line would be read back in another layout or
  // not at all.
  const int kind = RecognizeVersionstr(cb->VersionString);
  const char* digit = std::strpbrk(cb->VersionString, "0123456789");
  const bool current = digit != nullptr && *digit == '2' && std::strchr(cb->VersionString, '\n') == nullptr;
  if (!current && kind != KindTrainingSet && kind != KindCodebook) {
    refuse(Format("ERROR: Cannot write %s: its header line does not name version 2.\n", name));
  }
  const std::int64_t largest = width == 4 ? kIntMax : (std::int64_t{1} << (8 * width)) - 1;
  for (int i = 0; i < cb->BookSize; ++i) {
    const BookNode& node = cb->Book[i];
    if (node.Name != nullptr && std::strlen(node.Name) > 79) {
      refuse(Format("ERROR: Cannot write %s: the name of vector %d is longer than 79 characters.\n", name,
                    i + 1));
    }
    if (width == 4) continue;
    for (std::size_t k = 0; k < d; ++k) {
      if (node.Vector[k] > largest) {
        refuse(Format("ERROR: Vector element value is too big (%d). Increase bytes/elem ratio.\n",
                      node.Vector[k]));
      }
      if (node.Vector[k] < 0) {
        refuse(Format("ERROR: Vector element value is negative (%d); only 4 bytes per element hold negative "
                      "values.\n",
                      node.Vector[k]));
      }
    }
  }

  char line[80];
  if (current) {
    std::memcpy(line, cb->VersionString, sizeof line);
    line[79] = '\0';
  } else {
    SetVerString(line, kind);
  }
  out.Text(line);
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
      EncodeBigEndian(node.Vector + start, n, width, p);
      out.Advance(n * static_cast<std::size_t>(width));
    }
    unsigned char freq[4];
    EncodeBigEndian(&node.Freq, 1, 4, freq);
    out.Write(freq, sizeof freq);
  }
  out.Commit();
}
