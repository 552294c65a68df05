// The Python module `mirvo`: training sets, codebooks and partitionings as
// numpy arrays, read and written by the library's own file functions (so the
// files are byte for byte those of the command line), and the two
// conversions with the library's exact nearest-code-vector search.
//
// The library reports a failure with ErrorMessage and ends with
// ExitProcessing. Around every library call the module captures the message
// text and turns the exit into a C++ exception, which unwinds through the
// library (records free what they own) and reaches Python as mirvo.Error.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "cb/cb.h"
#include "interfc/interfc.h"

namespace py = pybind11;

namespace {

using IntArray = py::array_t<std::int32_t, py::array::c_style>;

constexpr const char* kIdentity = "MIRVO\tV.0.13\t04.08.09";

// ---- Library failures -------------------------------------------------------

// Reaches Python as mirvo.Error; the message is the library's ERROR text.
class LibraryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown by the exit handler to leave the library instead of the process.
struct LibraryExit {
  int status;
};

std::string& CapturedText() {
  static std::string text;
  return text;
}

void CaptureMessage(const char* text) { CapturedText() += text; }

void LeaveLibrary(int status) { throw LibraryExit{status}; }

std::string CapturedError(const char* fallback) {
  const std::string& text = CapturedText();
  const auto first = text.find_first_not_of(" \t\n");
  if (first == std::string::npos) return fallback;
  return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

// Runs library code with its error messages captured and its fatal exit
// turned into LibraryError; the previous handlers are restored afterwards.
// A message without an exit (an existing output file without overwrite, for
// one) is an error too. No Python object may be touched inside `body`.
template <typename Body>
auto Guarded(Body&& body) {
  struct Handlers {
    MessageHandler message = SetErrorMessageHandler(&CaptureMessage);
    ExitHandler exit = SetExitProcessingHandler(&LeaveLibrary);
    ~Handlers() {
      SetErrorMessageHandler(message);
      SetExitProcessingHandler(exit);
    }
  } handlers;
  CapturedText().clear();
  auto complain = [] {
    if (!CapturedText().empty()) throw LibraryError(CapturedError(""));
  };
  try {
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      complain();
    } else {
      auto result = body();
      complain();
      return result;
    }
  } catch (const LibraryExit& exit) {
    const std::string silent = "ERROR: the library stopped with status " + std::to_string(exit.status);
    throw LibraryError(CapturedError(silent.c_str()));
  }
}

// ---- Arguments --------------------------------------------------------------

// A C-contiguous int32 copy of an integer array of `ndim` dimensions; values
// beyond int32 are refused rather than wrapped.
IntArray ToInt32(py::handle value, const char* what, int ndim) {
  py::array array = py::module_::import("numpy").attr("asarray")(value);
  const char kind = array.dtype().kind();
  if (kind != 'i' && kind != 'u') throw py::type_error(std::string(what) + " must hold integers");
  if (array.ndim() != ndim) {
    throw py::value_error(std::string(what) + " must have " + std::to_string(ndim) + " dimension(s), not " +
                          std::to_string(array.ndim()));
  }
  if (array.size() > 0 && (array.attr("min")() < py::int_(std::numeric_limits<std::int32_t>::min()) ||
                           array.attr("max")() > py::int_(std::numeric_limits<std::int32_t>::max()))) {
    throw py::value_error(std::string(what) + " holds values beyond 32-bit integers");
  }
  return array.attr("astype")("int32", py::arg("order") = "C", py::arg("copy") = true).cast<IntArray>();
}

// A text field of the records: at most 79 bytes, no zero byte.
std::string ToField(const std::string& text, const char* what) {
  if (text.size() > 79) throw py::value_error(std::string(what) + " holds more than 79 characters");
  if (text.find('\0') != std::string::npos) throw py::value_error(std::string(what) + " holds a zero byte");
  return text;
}

void CopyField(char (&field)[80], const std::string& text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

int ToCount(py::ssize_t n, const char* what) {
  if (n > std::numeric_limits<int>::max()) throw py::value_error(std::string(what) + " is too large");
  return static_cast<int>(n);
}

// ---- Training sets and codebooks ----------------------------------------------

struct VectorSet {
  IntArray vectors{std::vector<py::ssize_t>{0, 1}};
  IntArray freqs{std::vector<py::ssize_t>{0}};
  py::list names;
  std::string version_string = "VQ TRAINING SET 2.0";
  int vector_size_x = 1;
  int vector_size_y = 1;
  int bytes_per_element = 1;
  int reserved_value = 0;
  int error_scaling = 0;
  int inherit_level = 0;
  std::string generation_method;
  int total_freq = 0;

  py::ssize_t size() const { return vectors.shape(0); }
};

const char* KindName(const std::string& versionString) {
  switch (RecognizeVersionstr(versionString.c_str())) {
    case KindTrainingSet:
      return "training set";
    case KindCodebook:
      return "codebook";
    default:
      return nullptr;
  }
}

std::string VersionFor(const std::string& kind) {
  if (kind == "training set") return "VQ TRAINING SET 2.0";
  if (kind == "codebook") return "VQ CODEBOOK 2.0";
  throw py::value_error("kind must be 'training set' or 'codebook', not '" + kind + "'");
}

py::list ToNames(py::handle names, py::ssize_t n) {
  py::list list = names.is_none() ? py::list() : py::list(py::reinterpret_borrow<py::object>(names));
  if (names.is_none()) {
    for (py::ssize_t i = 0; i < n; ++i) list.append(py::none());
  }
  for (const auto name : list) {
    if (!name.is_none() && !py::isinstance<py::str>(name)) throw py::type_error("names must be str or None");
  }
  return list;
}

// What a record is made of, taken from a VectorSet before the library runs.
struct SetContents {
  IntArray vectors;
  IntArray freqs;
  std::vector<std::optional<std::string>> names;
  int n = 0;
  VectorSet* header = nullptr;
};

SetContents Contents(VectorSet& set, const char* what) {
  const std::string role(what);
  if (set.vectors.ndim() != 2) throw py::value_error(role + ": vectors must be N x D");
  const py::ssize_t n = set.vectors.shape(0);
  if (set.vector_size_x < 1 || set.vector_size_y < 1 ||
      static_cast<std::int64_t>(set.vector_size_x) * set.vector_size_y != set.vectors.shape(1)) {
    throw py::value_error(role + ": vector_size_x * vector_size_y (" + std::to_string(set.vector_size_x) + " * " +
                          std::to_string(set.vector_size_y) + ") must equal the " +
                          std::to_string(set.vectors.shape(1)) + " columns of vectors");
  }
  if (set.freqs.ndim() != 1 || set.freqs.shape(0) != n) throw py::value_error(role + ": freqs must hold N values");
  if (static_cast<py::ssize_t>(py::len(set.names)) != n) throw py::value_error(role + ": names must hold N entries");
  SetContents contents{set.vectors, set.freqs, {}, ToCount(n, what), &set};
  contents.names.reserve(static_cast<std::size_t>(n));
  for (const auto name : set.names) {
    if (name.is_none()) {
      contents.names.emplace_back();
    } else if (py::isinstance<py::str>(name)) {
      contents.names.emplace_back(name.cast<std::string>());
    } else {
      throw py::type_error(role + ": names must be str or None");
    }
  }
  return contents;
}

// Builds the record inside a guarded call.
void Fill(const SetContents& c, Codebook* cb) {
  const VectorSet& h = *c.header;
  CreateNewTrainingSet(cb, c.n, h.vector_size_x, h.vector_size_y, h.bytes_per_element, h.reserved_value,
                       h.error_scaling, h.inherit_level, h.generation_method.c_str());
  CopyField(cb->VersionString, h.version_string);
  const auto d = static_cast<std::size_t>(VectorSize(cb));
  const std::int32_t* vectors = c.vectors.data();
  std::int64_t total = 0;
  for (int i = 0; i < c.n; ++i) {
    BookNode& node = cb->Book[i];
    std::memcpy(node.Vector, vectors + static_cast<std::size_t>(i) * d, d * sizeof(int));
    node.Freq = c.freqs.data()[i];
    total += node.Freq;
    if (c.names[static_cast<std::size_t>(i)]) ChangeVectorName(&node, c.names[static_cast<std::size_t>(i)]->c_str());
  }
  CalculateVectorMeans(cb);
  cb->TotalFreq = static_cast<int>(total);
}

// A record's contents, copied out of the library (plain C++, no Python).
struct SetCopy {
  std::vector<std::int32_t> vectors, freqs;
  std::vector<std::optional<std::string>> names;
  int n = 0, d = 0;
  std::string version_string, generation_method;
  int x = 0, y = 0, bytes = 0, reserved = 0, scaling = 0, inherit = 0, total = 0;
};

SetCopy CopyOut(const Codebook& cb) {
  SetCopy s;
  s.n = cb.BookSize;
  s.d = VectorSize(&cb);
  s.vectors.resize(static_cast<std::size_t>(s.n) * static_cast<std::size_t>(s.d));
  s.freqs.resize(static_cast<std::size_t>(s.n));
  for (int i = 0; i < s.n; ++i) {
    const BookNode& node = cb.Book[i];
    std::memcpy(s.vectors.data() + static_cast<std::size_t>(i) * s.d, node.Vector, sizeof(int) * s.d);
    s.freqs[static_cast<std::size_t>(i)] = node.Freq;
    s.names.push_back(node.Name != nullptr && node.Name[0] != '\0' ? std::optional<std::string>(node.Name)
                                                                   : std::nullopt);
  }
  s.version_string = cb.VersionString;
  s.generation_method = cb.GenerationMethod;
  s.x = cb.VectorSizeX;
  s.y = cb.VectorSizeY;
  s.bytes = cb.BytesPerElement;
  s.reserved = cb.ReservedValue;
  s.scaling = cb.ErrorScaling;
  s.inherit = cb.InheritLevel;
  s.total = cb.TotalFreq;
  return s;
}

template <typename T>
IntArray ArrayOf(const std::vector<T>& values, std::vector<py::ssize_t> shape) {
  IntArray array(shape);
  if (!values.empty()) std::memcpy(array.mutable_data(), values.data(), values.size() * sizeof(std::int32_t));
  return array;
}

VectorSet ToVectorSet(const SetCopy& s) {
  VectorSet set;
  set.vectors = ArrayOf(s.vectors, {s.n, s.d});
  set.freqs = ArrayOf(s.freqs, {s.n});
  for (const auto& name : s.names) set.names.append(name ? py::object(py::str(*name)) : py::object(py::none()));
  set.version_string = s.version_string;
  set.generation_method = s.generation_method;
  set.vector_size_x = s.x;
  set.vector_size_y = s.y;
  set.bytes_per_element = s.bytes;
  set.reserved_value = s.reserved;
  set.error_scaling = s.scaling;
  set.inherit_level = s.inherit;
  set.total_freq = s.total;
  return set;
}

VectorSet MakeVectorSet(py::handle vectors, py::handle freqs, py::handle names, const std::string& kind,
                        std::optional<int> x, int y, int bytes, int reserved, int scaling, int inherit,
                        const std::string& method) {
  VectorSet set;
  set.vectors = ToInt32(vectors, "vectors", 2);
  const py::ssize_t n = set.vectors.shape(0), d = set.vectors.shape(1);
  if (freqs.is_none()) {
    set.freqs = IntArray(std::vector<py::ssize_t>{n});
    std::fill_n(set.freqs.mutable_data(), n, 1);
  } else {
    set.freqs = ToInt32(freqs, "freqs", 1);
  }
  set.names = ToNames(names, n);
  set.version_string = VersionFor(kind);
  if (y < 1) throw py::value_error("vector_size_y must be at least 1");
  set.vector_size_y = y;
  set.vector_size_x = x ? *x : static_cast<int>(d / y);
  set.bytes_per_element = bytes;
  set.reserved_value = reserved;
  set.error_scaling = scaling;
  set.inherit_level = inherit;
  set.generation_method = ToField(method, "generation_method");
  Contents(set, "VectorSet");  // every shape checked now rather than at first use
  std::int64_t total = 0;
  for (py::ssize_t i = 0; i < n; ++i) total += set.freqs.data()[i];
  set.total_freq = static_cast<int>(total);
  return set;
}

VectorSet ReadVectorSet(const std::filesystem::path& path) {
  const std::string name = path.string();
  return ToVectorSet(Guarded([&] {
    Codebook cb;
    ReadCodebook(name.c_str(), &cb);
    return CopyOut(cb);
  }));
}

void WriteVectorSet(const std::filesystem::path& path, VectorSet& set, bool overwrite) {
  const SetContents contents = Contents(set, "vector set");
  if (KindName(set.version_string) == nullptr) {
    throw py::value_error("version_string must begin with 'VQ TRAINING SET' or 'VQ CODEBOOK'");
  }
  const std::string name = path.string();
  set.total_freq = Guarded([&] {
    Codebook cb;
    Fill(contents, &cb);
    WriteCodebook(name.c_str(), &cb, overwrite ? 1 : 0);
    return cb.TotalFreq;
  });
}

// ---- Partitionings ---------------------------------------------------------------

struct PartitioningData {
  IntArray indices{std::vector<py::ssize_t>{0}};
  int count = 1;
  std::string generation_method;
};

// Checks 0-based indices against a training set and a partition count.
void CheckIndices(const IntArray& indices, const SetContents& ts, int count) {
  if (count < 1) throw py::value_error("the partition count must be at least 1");
  if (indices.shape(0) != ts.n) {
    throw py::value_error("indices hold " + std::to_string(indices.shape(0)) + " entries for a training set of " +
                          std::to_string(ts.n) + " vectors");
  }
  for (int i = 0; i < ts.n; ++i) {
    const int p = indices.data()[i];
    if (p < 0 || p >= count) {
      throw py::value_error("index " + std::to_string(p) + " of vector " + std::to_string(i) +
                            " is outside 0.." + std::to_string(count - 1));
    }
  }
}

// The record for the given assignment, as ReadPartitioning builds it from a
// file: every vector taken out of partition 0 and put at the head of its own.
void Assign(const Codebook* ts, Partitioning* p, const IntArray& indices, int count) {
  CreateNewPartitioning(p, ts, count);
  for (int i = 0; i < ts->BookSize; ++i) ChangePartition(ts, p, -1, i);
  for (int i = 0; i < ts->BookSize; ++i) AddToPartition(ts, p, indices.data()[i], i);
}

IntArray IndicesOf(const std::vector<std::int32_t>& indices) {
  return ArrayOf(indices, {static_cast<py::ssize_t>(indices.size())});
}

PartitioningData ReadPartitioningFile(const std::filesystem::path& path, VectorSet& trainingSet) {
  const SetContents ts = Contents(trainingSet, "training set");
  const std::string name = path.string();
  struct Result {
    std::vector<std::int32_t> indices;
    int count;
    std::string method;
  };
  const Result r = Guarded([&] {
    Codebook set;
    Fill(ts, &set);
    Partitioning p;
    ReadPartitioning(name.c_str(), &p, &set);
    Result result{std::vector<std::int32_t>(p.PartitionOf, p.PartitionOf + p.TrainingSetSize), p.PartitionCount,
                  p.GenerationMethod};
    FreePartitioning(&p);
    return result;
  });
  return PartitioningData{IndicesOf(r.indices), r.count, r.method};
}

void WritePartitioningFile(const std::filesystem::path& path, const PartitioningData& data, VectorSet& trainingSet,
                           bool overwrite) {
  const SetContents ts = Contents(trainingSet, "training set");
  CheckIndices(data.indices, ts, data.count);
  const std::string name = path.string();
  Guarded([&] {
    Codebook set;
    Fill(ts, &set);
    Partitioning p;
    Assign(&set, &p, data.indices, data.count);
    CopyField(p.GenerationMethod, data.generation_method);
    WritePartitioning(name.c_str(), &p, &set, overwrite ? 1 : 0);
    FreePartitioning(&p);
  });
}

// ---- Conversions ------------------------------------------------------------------

IntArray Partition(VectorSet& trainingSet, VectorSet& codebook) {
  const SetContents ts = Contents(trainingSet, "training set");
  const SetContents cb = Contents(codebook, "codebook");
  if (cb.n < 1) throw py::value_error("the codebook holds no vectors");
  if (trainingSet.vectors.shape(1) != codebook.vectors.shape(1)) {
    throw py::value_error("training set and codebook dimensions differ (" +
                          std::to_string(trainingSet.vectors.shape(1)) +
                          " != " + std::to_string(codebook.vectors.shape(1)) + ")");
  }
  return IndicesOf(Guarded([&] {
    Codebook set, book;
    Fill(ts, &set);
    Fill(cb, &book);
    Partitioning p;
    CreateNewPartitioning(&p, &set, book.BookSize);
    GenerateOptimalPartitioningGeneral(&set, &book, &p, ErrorMSE);
    std::vector<std::int32_t> indices(p.PartitionOf, p.PartitionOf + p.TrainingSetSize);
    FreePartitioning(&p);
    return indices;
  }));
}

VectorSet Centroids(VectorSet& trainingSet, py::handle indicesArgument, int count) {
  const SetContents ts = Contents(trainingSet, "training set");
  const IntArray indices = ToInt32(indicesArgument, "indices", 1);
  CheckIndices(indices, ts, count);
  return ToVectorSet(Guarded([&] {
    Codebook set, book;
    Fill(ts, &set);
    Partitioning p;
    Assign(&set, &p, indices, count);
    CreateNewCodebook(&book, count, &set);
    GenerateOptimalCodebookGeneral(&set, &book, &p, ErrorMSE);
    FreePartitioning(&p);
    return CopyOut(book);
  }));
}

std::string Repr(const VectorSet& set) {
  const char* kind = KindName(set.version_string);
  return std::string("<mirvo.VectorSet ") + (kind != nullptr ? kind : "of unknown kind") + ": " +
         std::to_string(set.size()) + " vectors of " + std::to_string(set.vector_size_x) + "x" +
         std::to_string(set.vector_size_y) + ">";
}

}  // namespace

PYBIND11_MODULE(mirvo, m) {
  m.doc() =
      "MIRVO's vector-quantisation files and conversions.\n\n"
      "Training sets and codebooks are VectorSet objects (vectors as an int32\n"
      "array N x D, freqs, names); partitionings are Partitioning objects\n"
      "(0-based int32 indices, partition count). Files are read and written by\n"
      "the MIRVO library itself, so they are byte for byte the command line's.\n"
      "Failures raise mirvo.Error with the library's ERROR text.";
  py::register_exception<LibraryError>(m, "Error", PyExc_RuntimeError);
  m.attr("PROGRAM_IDENTITY") = kIdentity;

  py::class_<VectorSet>(m, "VectorSet",
                        "A training set or a codebook: vectors, frequencies, names and the header fields.")
      .def(py::init(&MakeVectorSet), py::arg("vectors"), py::arg("freqs") = py::none(),
           py::arg("names") = py::none(), py::kw_only(), py::arg("kind") = "training set",
           py::arg("vector_size_x") = py::none(), py::arg("vector_size_y") = 1, py::arg("bytes_per_element") = 1,
           py::arg("reserved_value") = 0, py::arg("error_scaling") = 0, py::arg("inherit_level") = 0,
           py::arg("generation_method") = "",
           "Makes a set from an integer array N x D; freqs default to 1, names to None.\n"
           "vector_size_x defaults to D / vector_size_y.")
      .def_property(
          "vectors", [](const VectorSet& s) { return s.vectors; },
          [](VectorSet& s, py::handle v) { s.vectors = ToInt32(v, "vectors", 2); }, "int32 array N x D")
      .def_property(
          "freqs", [](const VectorSet& s) { return s.freqs; },
          [](VectorSet& s, py::handle v) { s.freqs = ToInt32(v, "freqs", 1); }, "int32 array of N frequencies")
      .def_property(
          "names", [](const VectorSet& s) { return s.names; },
          [](VectorSet& s, py::handle v) { s.names = ToNames(v, s.size()); }, "list of N names, None for no name")
      .def_property(
          "kind", [](const VectorSet& s) { return KindName(s.version_string); },
          [](VectorSet& s, const std::string& kind) { s.version_string = VersionFor(kind); },
          "'training set' or 'codebook', from version_string")
      .def_property(
          "version_string", [](const VectorSet& s) { return s.version_string; },
          [](VectorSet& s, const std::string& v) { s.version_string = ToField(v, "version_string"); })
      .def_property(
          "generation_method", [](const VectorSet& s) { return s.generation_method; },
          [](VectorSet& s, const std::string& v) { s.generation_method = ToField(v, "generation_method"); })
      .def_readwrite("vector_size_x", &VectorSet::vector_size_x)
      .def_readwrite("vector_size_y", &VectorSet::vector_size_y)
      .def_readwrite("bytes_per_element", &VectorSet::bytes_per_element)
      .def_readwrite("reserved_value", &VectorSet::reserved_value)
      .def_readwrite("error_scaling", &VectorSet::error_scaling)
      .def_readwrite("inherit_level", &VectorSet::inherit_level)
      .def_readwrite("total_freq", &VectorSet::total_freq, "sum of freqs as last read or written")
      .def("__len__", &VectorSet::size)
      .def("__repr__", &Repr);

  py::class_<PartitioningData>(m, "Partitioning", "The partition of every training vector, counted from 0.")
      .def(py::init([](py::handle indices, int count, const std::string& method) {
             if (count < 1) throw py::value_error("the partition count must be at least 1");
             return PartitioningData{ToInt32(indices, "indices", 1), count, ToField(method, "generation_method")};
           }),
           py::arg("indices"), py::arg("count"), py::arg("generation_method") = "")
      .def_property(
          "indices", [](const PartitioningData& p) { return p.indices; },
          [](PartitioningData& p, py::handle v) { p.indices = ToInt32(v, "indices", 1); }, "int32 array, 0-based")
      .def_readwrite("count", &PartitioningData::count)
      .def_property(
          "generation_method", [](const PartitioningData& p) { return p.generation_method; },
          [](PartitioningData& p, const std::string& v) { p.generation_method = ToField(v, "generation_method"); })
      .def("__len__", [](const PartitioningData& p) { return p.indices.shape(0); })
      .def("__repr__", [](const PartitioningData& p) {
        return "<mirvo.Partitioning: " + std::to_string(p.indices.shape(0)) + " vectors in " +
               std::to_string(p.count) + " partitions>";
      });

  m.def("read_vector_set", &ReadVectorSet, py::arg("path"),
        "Reads a training-set or codebook file (versions 0, 1 and 2).");
  m.def("write_vector_set", &WriteVectorSet, py::arg("path"), py::arg("vector_set"), py::arg("overwrite") = false,
        "Writes a training-set or codebook file; an existing file is replaced only with overwrite=True.");
  m.def("read_partitioning", &ReadPartitioningFile, py::arg("path"), py::arg("training_set"),
        "Reads a partitioning file made for the given training set.");
  m.def("write_partitioning", &WritePartitioningFile, py::arg("path"), py::arg("partitioning"),
        py::arg("training_set"), py::arg("overwrite") = false,
        "Writes a partitioning file; the training set gives the names on its lines.");
  m.def("partition", &Partition, py::arg("training_set"), py::arg("codebook"),
        "The 0-based index of every training vector's nearest code vector (squared Euclidean distance,\n"
        "ties to the lowest index): the command line's codebook-to-partitioning conversion.");
  m.def("centroids", &Centroids, py::arg("training_set"), py::arg("indices"), py::arg("count"),
        "The codebook of the partition centroids (frequency-weighted, rounded); an empty partition gives\n"
        "zeros with frequency 0. The command line also appends PROGRAM_IDENTITY to generation_method.");
}
