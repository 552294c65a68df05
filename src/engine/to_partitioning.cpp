// Codebook to partitioning as one streaming pipeline, for files and pipes
// alike: chunk k of the training set is searched on the engine's threads
// while this thread reads chunk k + 1 and joins the search; chunk k's lines
// are then written while the others search chunk k + 1. Memory holds the
// codebook and two chunks.
//
// Messages keep the order of reading the training set whole before the
// codebook: the codebook's refusals wait until the training set has been
// read to its end.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/search.h"
#include "engine/stream.h"
#include "engine/workers.h"
#include "files/output.h"
#include "formats/partitioning_file.h"
#include "formats/refusals.h"
#include "formats/set_file.h"
#include "mirvo/cb.h"
#include "mirvo/interfc.h"

namespace mirvo {

namespace {

using cbdetail::Refusals;

// The codebook's vectors in their own width, its header in cb; its
// refusals, and those of a codebook that does not fit the training set,
// wait in `second` (and the rows are then empty: a refused header's fields
// may be anything).
cbdetail::CodeRows CodebookRows(const char* name, const Codebook& ts, Codebook& cb, Refusals& second) {
  cbdetail::CodeRows codes;
  try {
    codes.width = cbdetail::ReadRows(name, &cb, codes.bytes, second);
    if (cb.BookSize < 1) second.Refuse("ERROR: The codebook %s holds no vectors.\n", name);
    // In 64 bits: a training set whose header is refused (the run ends with
    // that refusal first) may hold any sizes.
    const std::int64_t setDimension = std::int64_t{ts.VectorSizeX} * ts.VectorSizeY;
    if (setDimension != VectorSize(&cb)) {
      second.Refuse("ERROR: Training set and codebook dimensions differ (%d != %d).\n", static_cast<int>(setDimension),
                    VectorSize(&cb));
    }
  } catch (const Refusals::Deferred&) {
  }
  if (!second.Refused()) {
    codes.size = cb.BookSize;
    codes.dimension = VectorSize(&cb);
  }
  return codes;
}

// The search of the chunks on the engine's threads, and the lines of each
// chunk once it is searched.
class SearchPipeline {
 public:
  SearchPipeline(cbdetail::CodeRows codes, cbdetail::PartitioningFileWriter& writer)
      : search_(cbdetail::PrepareSearch(std::move(codes))), writer_(writer) {}

  // Waits for the last chunk's search, starts this one's and writes the
  // last one's lines meanwhile.
  void Take(const cbdetail::Chunk& chunk) {
    workers_.Finish();
    Results& mine = results_[turn_];
    const auto count = static_cast<std::size_t>(chunk.rows.count);
    mine.targets.resize(count);
    mine.distances.resize(count);
    mine.names = chunk.names;
    // Lines without names are formatted by the threads that search them,
    // each part's into its own stretch of the text.
    mine.text.resize(mine.names == nullptr ? count * cbdetail::kLineBytes : 0);
    mine.parts.resize(mine.names == nullptr ? count : 0);
    workers_.Start(chunk.rows.count, [this, &mine, rows = chunk.rows](int begin, int end, int) {
      search_.FindRows(rows.Part(begin, end - begin), mine.targets.data() + begin, mine.distances.data() + begin);
      if (mine.names != nullptr) return;
      const auto at = static_cast<std::size_t>(begin);
      mine.parts[at] = Part{end, cbdetail::FormatLines(mine.targets.data() + begin, end - begin,
                                                       mine.text.data() + at * cbdetail::kLineBytes)};
    });
    turn_ ^= 1;
    WriteLines(results_[turn_]);
  }
  // The last chunk's lines.
  void Drain() {
    workers_.Finish();
    WriteLines(results_[turn_ ^ 1]);
  }

 private:
  // The lines of the part of a chunk that starts here: where it ends, and
  // their bytes.
  struct Part {
    int end;
    std::size_t bytes;
  };
  struct Results {
    std::vector<int> targets;
    std::vector<std::int64_t> distances;
    const std::vector<std::string>* names = nullptr;
    std::vector<char> text;   // kLineBytes per vector
    std::vector<Part> parts;  // by the index of a part's first vector
  };

  void WriteLines(Results& done) {
    const auto count = static_cast<int>(done.targets.size());
    if (done.names == nullptr) {
      for (int begin = 0; begin < count; begin = done.parts[static_cast<std::size_t>(begin)].end) {
        writer_.Lines(done.text.data() + static_cast<std::size_t>(begin) * cbdetail::kLineBytes,
                      done.parts[static_cast<std::size_t>(begin)].bytes);
      }
    } else {
      for (int r = 0; r < count; ++r) writer_.Line(done.targets[r], (*done.names)[static_cast<std::size_t>(r)].c_str());
    }
    done.targets.clear();
  }

  NearestSearch search_;
  cbdetail::PartitioningFileWriter& writer_;
  cbdetail::Workers workers_;
  Results results_[2];
  int turn_ = 0;
};

}  // namespace

void ConvertToPartitioning(const char* trainingSetName, const char* codebookName, const char* partitioningName,
                           int overwrite) {
  Refusals first(true), second(true);
  Codebook ts, cb;  // cb: the codebook's header; its vectors go to the search
  std::optional<cbdetail::SetFileReader> opened;
  cbdetail::SetFileReader& set = cbdetail::OpenTrainingSet(opened, trainingSetName, &ts, first);
  cbdetail::CodeRows codes = CodebookRows(codebookName, ts, cb, second);

  // The output is written as the training set is searched, unless it is
  // refused anyway or cannot be written: then the training set is only read
  // through, for its own messages. Its header goes to the file before the
  // search, so that a full disk or a file-size limit shows before the
  // search is done in vain.
  const int n = ts.BookSize;
  const bool existing = !second.Refused() && SafeOutput::Keeps(partitioningName, overwrite);
  cbdetail::PartitioningFileWriter writer;
  std::optional<SearchPipeline> pipeline;
  if (!second.Refused() && !existing) {
    char version[80];
    SetVerString(version, KindPartitioning);
    if (writer.Open(partitioningName, version, cb.BookSize, n, n, "", overwrite) && writer.Flush()) {
      pipeline.emplace(std::move(codes), writer);
    }
  }

  TimedProgressStage("Searching the nearest code vectors ");
  cbdetail::StreamSet(
      set, n, first, pipeline.has_value(),
      [&](const cbdetail::Chunk& chunk) {
        if (pipeline) pipeline->Take(chunk);
      },
      [&] {
        if (pipeline) pipeline->Drain();
      },
      [&] {
        pipeline.reset();
        writer.Abandon();
      });
  second.Report();
  if (existing) {
    SafeOutput::ReportExisting(partitioningName);
    return;
  }
  if (pipeline) {
    TimedProgressStage((std::string("Writing ") + partitioningName + " ").c_str());
    writer.Commit();
  }
}

}  // namespace mirvo
