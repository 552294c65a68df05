// The files a record at a time of mirvo/engine.h: the readers and writers of
// the file formats, with their refusals reported at once.
#include <cstring>
#include <optional>

#include "formats/partitioning_file.h"
#include "formats/refusals.h"
#include "formats/set_file.h"
#include "mirvo/engine.h"

namespace mirvo {

struct VectorSetReader::Impl {
  Impl(const char* name, Codebook* header) : reader(name, header, refusals) {}
  cbdetail::Refusals refusals{false};
  cbdetail::SetFileReader reader;
};

VectorSetReader::VectorSetReader(const char* name, Codebook* header) : impl_(std::make_unique<Impl>(name, header)) {}
VectorSetReader::~VectorSetReader() = default;
int VectorSetReader::Dimension() const { return static_cast<int>(impl_->reader.Dimension()); }
int VectorSetReader::Width() const { return impl_->reader.RowWidth(); }
void VectorSetReader::Read(int count, void* rows, int* freqs, std::vector<std::string>* names) {
  impl_->reader.Read(count, rows, freqs, names);
}
void VectorSetReader::Finish() { impl_->reader.Finish(); }

struct VectorSetWriter::Impl {
  cbdetail::SetFileWriter writer;
};

VectorSetWriter::VectorSetWriter() : impl_(std::make_unique<Impl>()) {}
VectorSetWriter::~VectorSetWriter() = default;
bool VectorSetWriter::Open(const char* name, const Codebook* header, int overwrite) {
  return impl_->writer.Open(name, header, overwrite);
}
void VectorSetWriter::Rows(const RowBlock& rows, const int* freqs, const char* const* names) {
  impl_->writer.Rows(rows, freqs, names);
}
bool VectorSetWriter::Commit() { return impl_->writer.Commit(); }

int CodebookTotal(std::int64_t total, const char* name) { return cbdetail::CodebookTotal(total, name); }

struct PartitioningReader::Impl {
  Impl(const char* name, const Codebook* ts) : reader(name, ts->BookSize, VectorSize(ts), refusals) {}
  cbdetail::Refusals refusals{false};
  cbdetail::PartitioningFileReader reader;
};

PartitioningReader::PartitioningReader(const char* name, const Codebook* trainingSet)
    : impl_(std::make_unique<Impl>(name, trainingSet)) {}
PartitioningReader::~PartitioningReader() = default;
int PartitioningReader::PartitionCount() const { return impl_->reader.PartitionCount(); }
const char* PartitioningReader::GenerationMethod() const { return impl_->reader.GenerationMethod(); }
void PartitioningReader::Read(int* partitions, int count) { impl_->reader.Read(partitions, count); }

struct PartitioningWriter::Impl {
  cbdetail::PartitioningFileWriter writer;
};

PartitioningWriter::PartitioningWriter() : impl_(std::make_unique<Impl>()) {}
PartitioningWriter::~PartitioningWriter() = default;
bool PartitioningWriter::Open(const char* name, int partitions, int vectors, const char* method, int overwrite) {
  char version[80];
  SetVerString(version, KindPartitioning);
  return impl_->writer.Open(name, version, partitions, vectors, vectors, method, overwrite);
}
void PartitioningWriter::Line(int partition, const char* vectorName) { impl_->writer.Line(partition, vectorName); }
bool PartitioningWriter::Commit() { return impl_->writer.Commit(); }

}  // namespace mirvo
