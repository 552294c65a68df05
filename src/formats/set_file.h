// Reading and writing of training-set and codebook files a record at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "files/output.h"
#include "files/reader.h"
#include "formats/filekind.h"
#include "formats/refusals.h"
#include "mirvo/cb.h"
#include "mirvo/engine.h"

namespace mirvo {

namespace cbdetail {

// Reading of a training-set or codebook file: the constructor opens it and
// reads and checks its header into the record (every field but the entries);
// Read decodes the next records; Finish checks the total frequency. Every
// message and refusal is ReadCodebook's.
class SetFileReader {
 public:
  SetFileReader(const char* name, Codebook* cb, Refusals& refusals);
  SetFileReader(const SetFileReader&) = delete;
  SetFileReader& operator=(const SetFileReader&) = delete;

  std::size_t Dimension() const { return dimension_; }
  // Whether the length of the file is known (a regular file).
  bool KnowsLength() const { return reader_->Remaining().has_value(); }
  // The width in which Read stores elements: 1 (uint8_t) for 1-byte
  // elements, 2 (uint16_t) for 2-byte ones, 4 (int) for wider ones.
  int RowWidth() const;
  // Decodes the next count records: their elements row after row into rows
  // (count x Dimension() elements of RowWidth() bytes), their frequencies
  // into freqs. With names given, it is left empty when none of the
  // records has a name, else holds count names (empty for none).
  void Read(int count, void* rows, int* freqs, std::vector<std::string>* names);
  // Records of one-byte elements without a name that lie whole in the
  // reader's buffer, at most count, left where they are: *rows the block
  // of their elements, their records' length apart. Returns how many: 0
  // when the next record has a name or the elements need decoding (Read
  // then). Their frequencies are not counted here: Frequencies takes them
  // and Account counts them. The rows stay valid until the reader goes on,
  // or, in a buffer lent to the reader, until it is lent again.
  int View(int count, RowBlock* rows);
  // FileReader::Lend.
  void Lend(Buffer<unsigned char>* buffer) { reader_->Lend(buffer); }
  // Counts frequencies of records viewed, their sum and the sum of their
  // magnitudes: refused when the magnitudes of all counted come to more than
  // 2^31 - 1, which takes the place of a refusal kept (the records viewed
  // come before any the reader has refused).
  void Account(std::int64_t total, std::int64_t magnitude);
  // After the last record: the header's total frequency against the records'.
  void Finish();

 private:
  const char* ReadName(bool keep, std::string* out);
  // Records without a name lying whole in the buffer (version 2), at most
  // count, decoded into rows and freqs; returns how many.
  int ReadRun(int count, unsigned char* rows, int* freqs);
  // One record, its name (when one is asked for) into name.
  void ReadRecord(unsigned char* row, int* freq, std::string* name);
  // Counts a frequency read; refuses when the magnitudes go beyond 2^31 - 1.
  void Tally(int freq);
  [[noreturn]] void TooLarge();
  [[noreturn]] void Truncated(int entry);

  std::shared_ptr<FileReader> reader_;
  const char* name_;
  Codebook* cb_;
  Refusals& refusals_;
  int version_ = 2;
  std::size_t dimension_ = 0;
  int next_ = 0;
  std::int64_t total_ = 0;
  std::int64_t magnitude_ = 0;
};

// The frequencies of the rows of viewed records (SetFileReader::View: each
// frequency follows its row's elements) into freqs; their sum and the sum
// of their magnitudes are added to total and magnitude. Returns whether
// every one is 1 (freqs is then left as it was).
bool Frequencies(const RowBlock& rows, int* freqs, std::int64_t& total, std::int64_t& magnitude);

// ReadCodebook with its refusals sent where the caller says.
void ReadCodebook(const char* name, Codebook* cb, Refusals& refusals);
// The same with the vectors one after the other in rows, as Read stores them
// (RowWidth() bytes an element), and only the header in cb. From a regular
// file rows takes what the header announces (the file has been found to
// hold it); from a pipe it grows by half at a time with the records that
// have come. Returns RowWidth().
int ReadRows(const char* name, Codebook* cb, std::vector<unsigned char>& rows, Refusals& refusals);

// The total frequency of a codebook about to be written to the named file;
// a total beyond 32 bits is fatal.
int CodebookTotal(std::int64_t total, const char* name);

// The writer of a codebook file, a record at a time: Open applies the
// overwrite rule and writes the header, returning false after "ERROR: File
// already exists: %s" when the target may not be replaced; each entry is
// checked before it is written, and a refusal removes the unfinished file;
// Commit puts the file in place.
class SetFileWriter {
 public:
  // The header of cb as it stands (TotalFreq and BookSize included).
  bool Open(const char* name, const Codebook* cb, int overwrite);
  void Entry(const int* vector, int freq, const char* entryName);
  // The same a piece at a time: Begin, the elements in order in any number
  // of pieces, then End with the frequency.
  void Begin(const char* entryName);
  void Elements(const int* values, std::size_t count);
  void End(int freq);
  // count entries without a name, of zero elements and frequency 0 (zero
  // bytes all of them).
  void EmptyEntries(int count);
  // rows.count entries at once from a block of rows (rows.dimension the
  // codebook's dimension), with their frequencies; names may be null (no
  // names), as may any of them.
  void Rows(const RowBlock& rows, const int* freqs, const char* const* names);
  bool Commit() { return out_.Commit(); }
  void Abandon() { out_.Abandon(); }

 private:
  SafeOutput out_;
  const char* name_ = nullptr;
  std::size_t dimension_ = 0;
  int width_ = 0;
  int written_ = 0;
};

}  // namespace cbdetail

}  // namespace mirvo
