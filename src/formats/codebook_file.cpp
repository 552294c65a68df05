// Training-set and codebook files: a text header of short lines and binary
// vector records. Version 2 is read and written; versions 0 and 1 are read.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "console/fatal.h"
#include "files/output.h"
#include "files/reader.h"
#include "formats/filekind.h"
#include "formats/refusals.h"
#include "formats/set_file.h"
#include "mirvo/cb.h"
#include "mirvo/file.h"
#include "mirvo/interfc.h"
#include "records/arithmetic.h"
#include "records/memory.h"

namespace mirvo {

namespace {

using cbdetail::kSeparator;
constexpr std::int64_t kIntMax = std::numeric_limits<int>::max();

// One header integer read with "%i\n".
int HeaderInt(FileReader& reader, cbdetail::Refusals& refusals, const char* name, const char* field) {
  std::int64_t value = 0;
  switch (reader.ScanInt(value)) {
    case FileReader::Scan::NoNumber:
      refusals.Refuse("ERROR: The header of %s lacks a number for %s.\n", name, field);
    case FileReader::Scan::Overflow:
      refusals.Refuse("ERROR: The header of %s gives %s a value beyond 32 bits.\n", name, field);
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

int ReadLittleEndian(FileReader& reader, int width, bool& complete) {
  unsigned char bytes[4] = {};
  int got = 0;
  for (int c; got < width && (c = reader.Get()) != EOF; ++got) bytes[got] = static_cast<unsigned char>(c);
  if (got < width) complete = false;
  return DecodeLittleEndian(bytes, got);
}

// Copies count elements into a vector of ints; returns their sum.
template <class T>
std::int64_t Widen(const T* row, std::size_t count, int* vector) {
  std::int64_t sum = 0;
  for (std::size_t k = 0; k < count; ++k) {
    vector[k] = static_cast<int>(row[k]);
    sum += vector[k];
  }
  return sum;
}

}  // namespace

namespace cbdetail {

SetFileReader::SetFileReader(const char* name, Codebook* cb, Refusals& refusals)
    : name_(name), cb_(cb), refusals_(refusals) {
  reader_ = TakeInput(name);
  if (reader_ == nullptr) refusals.Unopened(name);
  FileReader& reader = *reader_;

  char line[80];
  if (reader.ReadLine(line, sizeof line) == 0 || line[0] == '\0') refusals.Refuse("ERROR: empty header (0x00)\n");
  RemoveLineBreak(line);
  std::memcpy(cb->VersionString, line, sizeof line);

  const char* digit = std::strpbrk(cb->VersionString, "0123456789");
  if (digit == nullptr) refusals.Refuse("ERROR: No version number found in header.\n");
  version_ = *digit - '0';
  const int version = version_;
  if (version > 2) refusals.Refuse("ERROR: Unknown file version number (%d).\n", version);

  auto header = [&](const char* field) { return HeaderInt(reader, refusals, name, field); };
  if (version == 2) {
    cb->VectorSizeX = header("VectorSizeX");
    cb->VectorSizeY = header("VectorSizeY");
    cb->BookSize = header("BookSize");
    cb->TotalFreq = header("TotalFreq");
    cb->BytesPerElement = header("BytesPerElement");
    cb->ReservedValue = header("ReservedValue");
    cb->ErrorScaling = header("ErrorScaling");
    cb->InheritLevel = header("InheritLevel");
    if (reader.Peek() == '-') {
      cb->GenerationMethod[0] = '\0';
    } else {
      ReadTextLine(reader, cb->GenerationMethod);
    }
  } else {
    cb->VectorSizeX = header("VectorSizeX");
    cb->VectorSizeY = header("VectorSizeY");
    cb->BookSize = header("BookSize");
    cb->InheritLevel = header("InheritLevel");
    for (int skipped = 0; skipped < 3; ++skipped) header("an unused field");
    cb->ErrorScaling = header("ErrorScaling");
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
    refusals.Refuse("ERROR: The vector size of %s is %d x %d; both must be at least 1.\n", name, cb->VectorSizeX,
                    cb->VectorSizeY);
  }
  const std::int64_t dimension = std::int64_t{cb->VectorSizeX} * cb->VectorSizeY;
  if (dimension > kIntMax) {
    refusals.Refuse("ERROR: The vector size of %s, %d x %d, exceeds 2147483647 elements.\n", name, cb->VectorSizeX,
                    cb->VectorSizeY);
  }
  if (cb->BookSize < 0) {
    refusals.Refuse("ERROR: The header of %s gives a negative number of vectors (%d).\n", name, cb->BookSize);
  }
  if (cb->BytesPerElement < 1 || cb->BytesPerElement > 4) {
    refusals.Refuse("ERROR: The header of %s gives %d bytes per element; it must be 1 to 4.\n", name,
                    cb->BytesPerElement);
  }

  // Separator: hyphens and the one character after them.
  while (reader.Peek() == '-') reader.Get();
  reader.Get();

  // Every record takes at least its elements and frequency (and in version 2
  // a name terminator): refuse a count the rest of the file cannot hold
  // before allocating anything for it. (The length of a pipe is not known:
  // it is read to its announced end, a chunk at a time.)
  const std::uint64_t minimumRecord = version == 2 ? 1 + static_cast<std::uint64_t>(dimension) * cb->BytesPerElement + 4
                                                   : static_cast<std::uint64_t>(dimension) + 2;
  const auto remaining = reader.Remaining();
  if (remaining && static_cast<std::uint64_t>(cb->BookSize) > *remaining / minimumRecord) {
    refusals.Refuse("ERROR: %s is too short for the %d vectors its header announces.\n", name, cb->BookSize);
  }
  dimension_ = static_cast<std::size_t>(dimension);
}

int SetFileReader::RowWidth() const {
  const int width = version_ == 2 ? cb_->BytesPerElement : 1;
  return width <= 2 ? width : 4;
}

// The name of one version 2 record, up to and including its zero byte; kept
// in out when keep is set, else only checked. Returns null when the record
// has no name.
const char* SetFileReader::ReadName(bool keep, std::string* out) {
  FileReader& reader = *reader_;
  constexpr std::size_t kField = 80;
  const std::size_t available = reader.Ensure(kField);
  const auto* data = reader.Data();
  const void* zero = std::memchr(data, 0, std::min(available, kField));
  if (zero == nullptr) {
    if (available < kField) refusals_.Refuse("ERROR: premature end of file\n");
    // The bytes as they are only where they cannot drive the terminal.
    const std::string text = Printable(std::string_view(reinterpret_cast<const char*>(data), kField));
    refusals_.Refuse("ERROR: Too long vector name:\n%*s\nMaximum is %d characters.\n", static_cast<int>(kField),
                     text.c_str(), static_cast<int>(kField));
  }
  const auto length = static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - data);
  const char* name = nullptr;
  if (length > 0 && keep) {
    out->assign(reinterpret_cast<const char*>(data), length);
    name = out->c_str();
  }
  reader.Consume(length + 1);
  return name;
}

void SetFileReader::Truncated(int entry) {
  refusals_.Note("ERROR: unable to read from file.");
  refusals_.Refuse("\nERROR: %s ends inside vector %d of %d.\n", name_, entry + 1, cb_->BookSize);
}

namespace {

template <class T>
bool ReadElements(FileReader& reader, T* out, std::size_t count, int width) {
  const std::size_t bytes = count * static_cast<std::size_t>(width);
  if (reader.Available() >= bytes) {
    DecodeBigEndian(reader.Data(), out, count, width);
    reader.Consume(bytes);
    return true;
  }
  return ReadBigEndianBlock(reader, out, count, width) == count;
}

// Decodes whole records without a name from p (available bytes) into rows
// and freqs, at most count, while they lie there; returns how many. Stops
// after a record whose frequency takes the sum of magnitudes beyond 32 bits
// (without counting it). The totals are kept in registers here: the
// reader's own would chain every record to the one before through memory.
template <class T>
int DecodeRun(const unsigned char* p, std::size_t available, std::size_t d, int width, T* rows, int* freqs, int count,
              std::int64_t& total, std::int64_t& magnitude) {
  const std::size_t elementBytes = d * static_cast<std::size_t>(width);
  const std::size_t record = 1 + elementBytes + 4;
  std::int64_t t = total;
  std::int64_t m = magnitude;
  int r = 0;
  for (std::size_t at = 0; r < count && available - at >= record && p[at] == 0; ++r, at += record) {
    const unsigned char* elements = p + at + 1;
    if (rows != nullptr) {  // else the elements are left where they are
      T* row = rows + static_cast<std::size_t>(r) * d;
      if (sizeof(T) == 1 && width == 1 && d == 16) {
        std::memcpy(row, elements, 16);  // 4 x 4 blocks, the most common
      } else if (sizeof(T) == 1 && width == 1 && d > 16) {
        std::memcpy(row, elements, d);
      } else {
        DecodeBigEndian(elements, row, d, width);
      }
    }
    int freq = 0;
    DecodeBigEndian(elements + elementBytes, &freq, 1, 4);
    freqs[r] = freq;
    t += freq;
    m += std::abs(std::int64_t{freq});
    if (m > kIntMax) break;
  }
  total = t;
  magnitude = m;
  return r;
}

// How many records without a name lie whole at p (available bytes,
// `record` bytes each), at most count: 16 at a time with one test of their
// zero bytes, then one at a time.
int UnnamedRecords(const unsigned char* p, std::size_t available, std::size_t record, int count) {
  constexpr int kBlock = 16;
  const int whole = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(count), available / record));
  int r = 0;
  for (; r + kBlock <= whole; r += kBlock) {
    unsigned flags = 0;
    for (int j = 0; j < kBlock; ++j) flags |= p[static_cast<std::size_t>(r + j) * record];
    if (flags != 0) break;
  }
  while (r < whole && p[static_cast<std::size_t>(r) * record] == 0) ++r;
  return r;
}

// DecodeRun for rows of `rowWidth` bytes (RowWidth()).
int DecodeRecords(const unsigned char* p, std::size_t available, std::size_t dimension, int width, void* rows,
                  int rowWidth, int* freqs, int count, std::int64_t& total, std::int64_t& magnitude) {
  switch (rowWidth) {
    case 1:
      return DecodeRun(p, available, dimension, width, static_cast<std::uint8_t*>(rows), freqs, count, total,
                       magnitude);
    case 2:
      return DecodeRun(p, available, dimension, width, static_cast<std::uint16_t*>(rows), freqs, count, total,
                       magnitude);
    default:
      return DecodeRun(p, available, dimension, width, static_cast<int*>(rows), freqs, count, total, magnitude);
  }
}

}  // namespace

bool Frequencies(const RowBlock& rows, int* freqs, std::int64_t& total, std::int64_t& magnitude) {
  // Every frequency 1, the common case, is told by one comparison of each
  // record's bytes.
  std::uint32_t one = 0;
  const unsigned char bytes[4] = {0, 0, 0, 1};
  std::memcpy(&one, bytes, sizeof one);
  bool ones = true;
  for (int r = 0; r < rows.count; ++r) {
    std::uint32_t word = 0;
    std::memcpy(&word, rows.Row(r) + rows.dimension, sizeof word);
    ones &= word == one;
  }
  if (ones) {
    total += rows.count;
    magnitude += rows.count;
    return true;
  }
  for (int r = 0; r < rows.count; ++r) {
    DecodeBigEndian(rows.Row(r) + rows.dimension, freqs + r, 1, 4);
    total += freqs[r];
    magnitude += std::abs(std::int64_t{freqs[r]});
  }
  return false;
}

void SetFileReader::Tally(int freq) {
  total_ += freq;
  magnitude_ += std::abs(std::int64_t{freq});
  if (magnitude_ > kIntMax) TooLarge();
}

void SetFileReader::TooLarge() {
  refusals_.Refuse("ERROR: The frequencies in %s add up to more than 2147483647.\n", name_);
}

int SetFileReader::ReadRun(int count, unsigned char* rows, int* freqs) {
  FileReader& reader = *reader_;
  const int width = cb_->BytesPerElement;
  const std::size_t record = 1 + dimension_ * static_cast<std::size_t>(width) + 4;
  if (version_ != 2 || record > (std::size_t{1} << 16)) return 0;
  std::size_t available = reader.Available();
  if (available < record) {
    available = reader.Ensure(std::min(record * static_cast<std::size_t>(count), std::size_t{1} << 16));
  }
  const int done =
      DecodeRecords(reader.Data(), available, dimension_, width, rows, RowWidth(), freqs, count, total_, magnitude_);
  next_ += done;
  reader.Consume(static_cast<std::size_t>(done) * record);
  if (magnitude_ > kIntMax) TooLarge();
  return done;
}

void SetFileReader::ReadRecord(unsigned char* row, int* freq, std::string* name) {
  FileReader& reader = *reader_;
  const int width = version_ == 2 ? cb_->BytesPerElement : 1;
  if (version_ == 2) {
    // A record without a name starts with its zero byte.
    const bool unnamed = (reader.Available() > 0 || reader.Ensure(1) > 0) && reader.Data()[0] == 0;
    if (unnamed) {
      reader.Consume(1);
    } else {
      ReadName(name != nullptr, name);
    }
  }
  bool complete = true;
  switch (RowWidth()) {
    case 1:
      complete = ReadElements(reader, row, dimension_, width);
      break;
    case 2:
      complete = ReadElements(reader, reinterpret_cast<std::uint16_t*>(row), dimension_, width);
      break;
    default:
      complete = ReadElements(reader, reinterpret_cast<int*>(row), dimension_, width);
      break;
  }
  if (!complete) Truncated(next_);
  if (version_ == 2) {
    if (!ReadElements(reader, freq, 1, 4)) Truncated(next_);
  } else {
    *freq = ReadLittleEndian(reader, 2, complete);
    if (!complete) Truncated(next_);
  }
  Tally(*freq);
  ++next_;
}

void SetFileReader::Read(int count, void* rows, int* freqs, std::vector<std::string>* names) {
  const std::size_t rowBytes = dimension_ * static_cast<std::size_t>(RowWidth());
  auto* out = static_cast<unsigned char*>(rows);
  if (names != nullptr) names->clear();
  std::string text;
  for (int r = 0; r < count;) {
    // Records without a name, by far the most common, decoded in one run
    // over the buffer while whole ones lie in it; the others one at a time.
    r += ReadRun(count - r, out + static_cast<std::size_t>(r) * rowBytes, freqs + r);
    if (r == count) break;
    text.clear();
    ReadRecord(out + static_cast<std::size_t>(r) * rowBytes, freqs + r, names != nullptr ? &text : nullptr);
    if (!text.empty()) {
      names->resize(static_cast<std::size_t>(count));
      (*names)[static_cast<std::size_t>(r)] = text;
    }
    ++r;
  }
}

int SetFileReader::View(int count, RowBlock* rows) {
  FileReader& reader = *reader_;
  const std::size_t record = 1 + dimension_ + 4;
  if (version_ != 2 || cb_->BytesPerElement != 1 || record > (std::size_t{1} << 16) || count <= 0) return 0;
  std::size_t available = reader.Available();
  if (available < record) available = reader.Ensure(record);
  const unsigned char* p = reader.Data();
  const int done = UnnamedRecords(p, available, record, count);
  next_ += done;
  reader.Consume(static_cast<std::size_t>(done) * record);
  *rows = RowBlock{p + 1, done, static_cast<int>(dimension_), 1, record};
  return done;
}

void SetFileReader::Account(std::int64_t total, std::int64_t magnitude) {
  total_ += total;
  magnitude_ += magnitude;
  if (magnitude_ > kIntMax) {
    refusals_.RefuseBefore("ERROR: The frequencies in %s add up to more than 2147483647.\n", name_);
  }
}

void SetFileReader::Finish() {
  Codebook* cb = cb_;
  if (version_ == 2 && cb->TotalFreq != total_) {
    refusals_.Warn("WARNING: TotalFreq header field = %d but calculated totalfreq = %d.\n", cb->TotalFreq,
                   static_cast<int>(total_));
  }
  cb->TotalFreq = static_cast<int>(total_);
  reader_.reset();
}

}  // namespace cbdetail

void ReadCodebook(const char* name, Codebook* cb) {
  cbdetail::Refusals refusals(false);
  cbdetail::ReadCodebook(name, cb, refusals);
}

namespace cbdetail {

void ReadCodebook(const char* name, Codebook* cb, Refusals& refusals) {
  SetFileReader file(name, cb, refusals);
  FreeCodebook(cb);
  const int size = cb->BookSize;
  const std::size_t d = file.Dimension();
  const double dimension = static_cast<double>(d);
  // The entries grow as the records arrive, never ahead of them for the
  // count the header announces: the records are decoded a chunk at a time
  // in their own width, and each one's entry gets its vector as it is
  // widened into it. Long vectors come one at a time.
  constexpr int kChunk = 1024;
  const int chunk = std::min(
      size, static_cast<int>(std::clamp<std::size_t>((std::size_t{1} << 16) / std::max<std::size_t>(d, 1), 1, kChunk)));
  const int width = file.RowWidth();
  const std::size_t rowBytes = d * static_cast<std::size_t>(width);
  std::unique_ptr<unsigned char[]> rows;
  if (chunk > 0) rows = NewArray<unsigned char>(static_cast<std::size_t>(chunk) * rowBytes, kVectorMemory);
  std::vector<int> freqs(static_cast<std::size_t>(chunk));
  std::vector<std::string> names;
  int capacity = 0;  // entries in Book; those from AllocatedSize on hold nothing yet
  cb->Book = Allocate<BookNode>(0, kBookMemory);
  for (int first = 0; first < size; first += chunk) {
    const int count = std::min(chunk, size - first);
    file.Read(count, rows.get(), freqs.data(), &names);
    if (first + count > capacity) {
      capacity = static_cast<int>(
          std::min<std::int64_t>(size, std::max<std::int64_t>(first + count, 2 * std::int64_t{capacity})));
      void* grown = std::realloc(cb->Book, static_cast<std::size_t>(capacity) * sizeof(BookNode));
      if (grown == nullptr) OutOfMemory(kBookMemory);
      cb->Book = static_cast<BookNode*>(grown);
    }
    for (int r = 0; r < count; ++r) {
      BookNode& node = cb->Book[first + r];
      node = BookNode{Allocate<int>(d, kVectorMemory), 0, freqs[static_cast<std::size_t>(r)], nullptr};
      cb->AllocatedSize = first + r + 1;
      const unsigned char* row = rows.get() + static_cast<std::size_t>(r) * rowBytes;
      std::int64_t sum = 0;
      switch (width) {
        case 1:
          sum = Widen(row, d, node.Vector);
          break;
        case 2:
          sum = Widen(reinterpret_cast<const std::uint16_t*>(row), d, node.Vector);
          break;
        default:
          sum = Widen(reinterpret_cast<const int*>(row), d, node.Vector);
          break;
      }
      node.VectorMean = RoundedMean(sum, dimension);
      if (!names.empty() && !names[static_cast<std::size_t>(r)].empty()) {
        const std::string& text = names[static_cast<std::size_t>(r)];
        node.Name = CopyName(text.data(), text.size());
      }
    }
  }
  file.Finish();
}

int ReadRows(const char* name, Codebook* cb, std::vector<unsigned char>& rows, Refusals& refusals) {
  SetFileReader file(name, cb, refusals);
  const int size = cb->BookSize;
  const std::size_t rowBytes = file.Dimension() * static_cast<std::size_t>(file.RowWidth());
  // A regular file has been found long enough for every record its header
  // announces; a pipe's rows grow with the records that have come.
  if (file.KnowsLength()) rows.reserve(static_cast<std::size_t>(size) * rowBytes);
  const int chunk =
      static_cast<int>(std::clamp<std::size_t>((std::size_t{1} << 16) / std::max<std::size_t>(rowBytes, 1), 1, 1024));
  std::vector<int> freqs(static_cast<std::size_t>(std::min(chunk, std::max(size, 1))));
  for (int first = 0, count = 0; first < size; first += count) {
    count = std::min(chunk, size - first);
    const std::size_t need = static_cast<std::size_t>(first + count) * rowBytes;
    if (need > rows.capacity()) rows.reserve(std::max(need, rows.capacity() + rows.capacity() / 2));
    rows.resize(need);
    file.Read(count, rows.data() + static_cast<std::size_t>(first) * rowBytes, freqs.data(), nullptr);
  }
  file.Finish();
  return file.RowWidth();
}

}  // namespace cbdetail

namespace cbdetail {

bool SetFileWriter::Open(const char* name, const Codebook* cb, int overwrite) {
  if (!out_.Open(name, overwrite)) return false;
  name_ = name;
  // What the reader could not read back is refused before anything is
  // written: the file would be unreadable or read back different.
  auto refuse = [&](const std::string& message) {
    out_.Abandon();
    Fatal("%s", message.c_str());
  };
  width_ = cb->BytesPerElement;
  dimension_ = Dim(cb);
  if (cb->VectorSizeX < 1 || cb->VectorSizeY < 1 || cb->BookSize < 0) {
    refuse(Format("ERROR: Cannot write %s: the codebook has no valid size (%d x %d, %d vectors).\n", name,
                  cb->VectorSizeX, cb->VectorSizeY, cb->BookSize));
  }
  if (width_ < 1 || width_ > 4) {
    refuse(Format("ERROR: Cannot write %s: %d bytes per element; it must be 1 to 4.\n", name, width_));
  }
  if (cb->GenerationMethod[0] == '-' || std::strchr(cb->GenerationMethod, '\n') != nullptr) {
    refuse(
        Format("ERROR: Cannot write %s: its generation method may neither begin with '-' nor hold a line "
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
  char line[80];
  if (current) {
    std::memcpy(line, cb->VersionString, sizeof line);
    line[79] = '\0';
  } else {
    SetVerString(line, kind);
  }
  out_.Text(line);
  out_.Put('\n');
  for (const int field : {cb->VectorSizeX, cb->VectorSizeY, cb->BookSize, cb->TotalFreq, cb->BytesPerElement,
                          cb->ReservedValue, cb->ErrorScaling, cb->InheritLevel}) {
    out_.Decimal(field);
    out_.Put('\n');
  }
  if (cb->GenerationMethod[0] != '\0') {
    out_.Text(cb->GenerationMethod);
    out_.Put('\n');
  }
  out_.Text(kSeparator);
  out_.Put('\n');
  return true;
}

void SetFileWriter::Entry(const int* vector, int freq, const char* entryName) {
  Begin(entryName);
  Elements(vector, dimension_);
  End(freq);
}

void SetFileWriter::Begin(const char* entryName) {
  ++written_;
  if (entryName != nullptr && std::strlen(entryName) > 79) {
    out_.Abandon();
    Fatal("ERROR: Cannot write %s: the name of vector %d is longer than 79 characters.\n", name_, written_);
  }
  if (entryName != nullptr) out_.Text(entryName);
  out_.Put('\0');
}

void SetFileWriter::Elements(const int* values, std::size_t count) {
  const int width = width_;
  if (width != 4) {
    const std::int64_t largest = (std::int64_t{1} << (8 * width)) - 1;
    for (std::size_t k = 0; k < count; ++k) {
      if (values[k] > largest || values[k] < 0) {
        out_.Abandon();
        if (values[k] > largest)
          Fatal("ERROR: Vector element value is too big (%d). Increase bytes/elem ratio.\n", values[k]);
        Fatal("ERROR: Vector element value is negative (%d); only 4 bytes per element hold negative values.\n",
              values[k]);
      }
    }
  }
  constexpr std::size_t kChunk = 4096;
  for (std::size_t start = 0; start < count; start += kChunk) {
    const std::size_t n = std::min(kChunk, count - start);
    auto* p = reinterpret_cast<unsigned char*>(out_.Reserve(n * static_cast<std::size_t>(width)));
    EncodeBigEndian(values + start, n, width, p);
    out_.Advance(n * static_cast<std::size_t>(width));
  }
}

void SetFileWriter::Rows(const RowBlock& rows, const int* freqs, const char* const* names) {
  const std::size_t d = dimension_;
  const auto width = static_cast<std::size_t>(width_);
  for (int r = 0; r < rows.count; ++r) {
    const unsigned char* row = rows.Row(r);
    Begin(names != nullptr ? names[r] : nullptr);
    if (rows.width == 4 || static_cast<std::size_t>(rows.width) > width) {
      // Values that may not fit the file's width: checked element by element.
      std::vector<int> wide(d);
      if (rows.width == 4) {
        std::memcpy(wide.data(), row, d * sizeof(int));
      } else {
        std::copy_n(reinterpret_cast<const std::uint16_t*>(row), d, wide.data());
      }
      Elements(wide.data(), d);
    } else {
      auto* p = reinterpret_cast<unsigned char*>(out_.Reserve(d * width));
      if (rows.width == 1) {
        EncodeBigEndian(row, d, width_, p);
      } else {
        EncodeBigEndian(reinterpret_cast<const std::uint16_t*>(row), d, width_, p);
      }
      out_.Advance(d * width);
    }
    End(freqs[r]);
  }
}

void SetFileWriter::EmptyEntries(int count) {
  written_ += count;
  // Below 2^64 for any count and dimension.
  out_.Zeros(static_cast<std::uint64_t>(count) * (1 + dimension_ * static_cast<std::uint64_t>(width_) + 4));
}

void SetFileWriter::End(int freq) {
  unsigned char bytes[4];
  EncodeBigEndian(&freq, 1, 4, bytes);
  out_.Write(bytes, sizeof bytes);
}

}  // namespace cbdetail

namespace cbdetail {

int CodebookTotal(std::int64_t total, const char* name) {
  if (total > kIntMax || total < std::numeric_limits<int>::min()) {
    Fatal("ERROR: The frequencies of the codebook for %s add up to more than 32 bits hold.\n", name);
  }
  return static_cast<int>(total);
}

}  // namespace cbdetail

void WriteCodebook(const char* name, Codebook* cb, int overwrite) {
  std::int64_t total = 0;
  for (int i = 0; i < cb->BookSize; ++i) total += cb->Book[i].Freq;
  cb->TotalFreq = cbdetail::CodebookTotal(total, name);
  cbdetail::SetFileWriter writer;
  if (!writer.Open(name, cb, overwrite)) return;
  for (int i = 0; i < cb->BookSize; ++i) writer.Entry(cb->Book[i].Vector, cb->Book[i].Freq, cb->Book[i].Name);
  writer.Commit();
}

}  // namespace mirvo
