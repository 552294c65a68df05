// The compiled part of the Python package `mirvo` (imported as mirvo._mirvo):
// training sets, codebooks and partitionings as numpy arrays, read and
// written by the library's own file functions (so the files are byte for
// byte those of the command line), and the two conversions run on the
// library's search and centroid kernels over the arrays as they are stored.
//
// Vectors stay in the width of their array (uint8, uint16 or int32), never
// widened as a whole. Every computation and file access runs with the GIL
// released; the calling thread, when it is the main thread, looks for
// signals between chunks so that Ctrl-C interrupts a long call.
//
// The library reports a failure with ErrorMessage and ends with
// ExitProcessing. The module takes the message text (per thread) and turns
// the exit into a C++ exception, which unwinds through the library (records
// free what they own) and reaches Python as mirvo.Error.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "mirvo/mirvo.h"

namespace py = pybind11;

namespace mirvo {
namespace {

using IntArray = py::array_t<std::int32_t, py::array::c_style>;
using Int64Array = py::array_t<std::int64_t, py::array::c_style>;

// ---- Library failures -------------------------------------------------------

// Reaches Python as mirvo.Error; the message is the library's ERROR text.
class LibraryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reaches Python as the OSError subclass of the error number that is also a
// mirvo.Error, with errno, strerror and filename set.
struct FileFailure {
  int number;
  std::string message;
  std::string path;
};

// Thrown by the exit handler to leave the library instead of the process.
struct LibraryExit {
  int status;
};

// Messages of the library calls of this thread (calls run in several threads
// at once, each with the GIL released).
std::string& CapturedText() {
  thread_local std::string text;
  return text;
}

void CaptureMessage(const char* text) { CapturedText() += text; }

void LeaveLibrary(int status) { throw LibraryExit{status}; }

std::string Trimmed(const std::string& text, const std::string& fallback) {
  const auto first = text.find_first_not_of(" \t\n");
  if (first == std::string::npos) return fallback;
  return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

// Runs library code with its error messages captured and its fatal exit
// turned into LibraryError. A message without an exit (an existing output
// file without overwrite, for one) is an error too. No Python object may be
// touched inside `body`. The handlers are the module's for the whole process
// (installed at import).
template <typename Body>
auto Guarded(Body&& body) {
  CapturedText().clear();
  auto complain = [] {
    if (!CapturedText().empty()) throw LibraryError(Trimmed(CapturedText(), ""));
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
    throw LibraryError(
        Trimmed(CapturedText(), "ERROR: the library stopped with status " + std::to_string(exit.status)));
  }
}

// ---- Interrupts ---------------------------------------------------------------

// Test hook: while the gate is closed, every computation waits at its start
// (GIL released, signals still seen), counted in gateWaiting.
std::atomic<bool> gateClosed{false};
std::atomic<int> gateWaiting{0};
unsigned long mainThread = 0;

// Stops a long computation when the main thread has a signal pending, and
// reports its progress to a callback. Made with the GIL held; Poll is called
// between chunks by any thread of the computation, and only the calling
// thread takes the GIL for a moment (at most every 20 ms): to run the signal
// handlers when it is the main thread, and every 100 ms to call
// progress(rows done since the last call). An exception of the callback
// stops the work as a signal does.
class Watch : public WorkWatch {
 public:
  explicit Watch(py::object progress = py::none())
      : caller_(std::this_thread::get_id()),
        main_(PyThread_get_thread_ident() == mainThread),
        progress_(std::move(progress)) {}
  ~Watch() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(trace_);
  }
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

  // Counts rows done, from any thread.
  void Done(std::int64_t rows) override { done_.fetch_add(rows, std::memory_order_relaxed); }
  bool Stop() override { return Poll(); }

  // True once the work should stop.
  bool Poll() {
    if (stop_.load(std::memory_order_relaxed)) return true;
    if ((!main_ && progress_.is_none()) || std::this_thread::get_id() != caller_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(20)) return false;
    last_ = now;
    const py::gil_scoped_acquire gil;
    if (main_ && PyErr_CheckSignals() != 0) {
      Halt();
    } else if (!progress_.is_none() && now - reported_ >= std::chrono::milliseconds(100)) {
      reported_ = now;
      Report();
    }
    return stop_.load();
  }
  void Gate() {
    if (!gateClosed.load()) return;
    ++gateWaiting;
    // At most 30 s: a test that cannot open it (its thread held up) fails instead of hanging.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (gateClosed.load() && !Poll() && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    --gateWaiting;
  }
  bool Stopped() const { return stop_.load(); }
  // With the GIL held after the work: raises what stopped it, if anything,
  // else reports the rows not yet reported.
  void Raise() {
    if (type_ == nullptr && !progress_.is_none()) Report();
    if (type_ == nullptr) return;
    PyErr_Restore(type_, value_, trace_);
    type_ = value_ = trace_ = nullptr;
    throw py::error_already_set();
  }

 private:
  // With the GIL held.
  void Halt() {
    PyErr_Fetch(&type_, &value_, &trace_);
    stop_.store(true);
  }
  void Report() {
    const std::int64_t done = done_.load();
    if (done == told_) return;
    PyObject* result = PyObject_CallFunction(progress_.ptr(), "L", static_cast<long long>(done - told_));
    told_ = done;
    if (result == nullptr) {
      Halt();
    } else {
      Py_DECREF(result);
    }
  }

  std::thread::id caller_;
  bool main_;
  py::object progress_;
  std::chrono::steady_clock::time_point last_{};
  std::chrono::steady_clock::time_point reported_{};
  std::atomic<std::int64_t> done_{0};
  std::int64_t told_ = 0;
  std::atomic<bool> stop_{false};
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* trace_ = nullptr;
};

// Leaves a computation stopped by Watch; caught where the GIL is back.
struct Interrupted {};

// ---- Files --------------------------------------------------------------------

// The first line of a file (at most 79 bytes), without its line break; a
// file that cannot be opened or read raises the OSError of its error number.
std::string FirstLine(const std::string& path) {
  errno = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  std::string line;
  for (int c = 0; file && line.size() < 79 && (c = std::fgetc(file.get())) != EOF && c != '\n';) {
    line += static_cast<char>(c);
  }
  if (file && std::ferror(file.get())) file.reset();
  if (!file) {
    const int number = errno != 0 ? errno : EIO;
    throw FileFailure{number, "ERROR: Cannot read " + path + ": " + std::strerror(number) + ".", path};
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// A line as a quoted text: printable ASCII as it is, every other byte as
// \xNN, quotes and backslashes escaped.
std::string Quoted(const std::string& line) {
  std::string text = "\"";
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (byte >= 0x20 && byte < 0x7f) {
      text += c;
    } else {
      static const char digits[] = "0123456789abcdef";
      text += "\\x";
      text += digits[byte >> 4];
      text += digits[byte & 15];
    }
  }
  return text + "\"";
}

const char* KindText(int kind) {
  switch (kind) {
    case KindTrainingSet:
      return "a training set";
    case KindCodebook:
      return "a codebook";
    case KindPartitioning:
      return "a partitioning";
    default:
      return "not a training set, codebook or partitioning";
  }
}

// Refuses a file whose first line names another kind than those expected,
// or no kind at all, in words that name the file and quote the line.
void CheckKind(const std::string& path, std::initializer_list<int> expected, const char* expectedText) {
  const std::string line = FirstLine(path);
  const int kind = RecognizeVersionstr(line.c_str());
  if (std::find(expected.begin(), expected.end(), kind) != expected.end()) return;
  const std::string what = kind == KindNone ? KindText(kind) : std::string(KindText(kind)) + ", not " + expectedText;
  throw LibraryError(path + ": " + what + " (first line: " + Quoted(line) + ")");
}

// A library refusal of a write, as the OSError it is when the folder cannot
// take the file or the file exists.
[[noreturn]] void RaiseWriteFailure(const LibraryError& error, const std::string& path) {
  const std::string message = error.what();
  if (message.rfind("ERROR: File already exists", 0) == 0) throw FileFailure{EEXIST, message, path};
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  const std::string where = folder.empty() ? "." : folder.string();
  if (::access(where.c_str(), W_OK | X_OK) != 0) throw FileFailure{errno, message, path};
  throw error;
}

// ---- Arrays ---------------------------------------------------------------------

py::module_ Numpy() { return py::module_::import("numpy"); }

bool IsNarrow(const py::dtype& dtype) {
  return dtype.equal(py::dtype::of<std::uint8_t>()) || dtype.equal(py::dtype::of<std::uint16_t>()) ||
         dtype.equal(py::dtype::of<std::int32_t>());
}

// How an argument's array is named in messages: "an array of int64 with
// shape (3, 2)".
std::string Described(const py::array& array) {
  return "an array of " + py::str(array.dtype()).cast<std::string>() + " with shape " +
         py::str(array.attr("shape")).cast<std::string>();
}

// Refuses an array whose values are not integers, or not all within int32.
// Returns the smallest and the largest value of an array of another dtype
// than uint8, uint16 and int32 (None when empty or of such a dtype).
py::object CheckIntegers(const py::array& array, const char* what, bool floatHint) {
  const char kind = array.dtype().kind();
  if (kind != 'i' && kind != 'u') {
    throw py::type_error(std::string(what) + " must hold integers, not " + Described(array) +
                         (floatHint && (kind == 'f' || kind == 'c')
                              ? ": round them first, e.g. numpy.rint(x).astype(numpy.int32)"
                              : ""));
  }
  if (IsNarrow(array.dtype()) || array.size() == 0) return py::none();
  const py::object low = array.attr("min")(), high = array.attr("max")();
  if (low < py::int_(std::numeric_limits<std::int32_t>::min()) ||
      high > py::int_(std::numeric_limits<std::int32_t>::max())) {
    throw py::value_error(std::string(what) + " holds values beyond 32-bit integers (" + Described(array) + ", from " +
                          py::str(low).cast<std::string>() + " to " + py::str(high).cast<std::string>() + ")");
  }
  return py::make_tuple(low, high);
}

void CheckDimensions(const py::array& array, const char* what, int wanted, const char* shape) {
  if (array.ndim() == wanted) return;
  throw py::value_error(std::string(what) + " must have " + std::to_string(wanted) +
                        (wanted == 1 ? " dimension" : " dimensions") + shape + ", not " + std::to_string(array.ndim()) +
                        " (" + Described(array) + ")");
}

// An integer array as the module keeps vectors: uint8, uint16 and int32
// arrays as they are; any other integers converted to the narrowest of those
// that holds every value exactly. Element order within a row must be
// contiguous; an array whose rows are not is copied, in its own width.
py::array ToVectors(py::handle value, const char* what) {
  py::array array = Numpy().attr("asarray")(value);
  const py::object range = CheckIntegers(array, what, true);
  CheckDimensions(array, what, 2, " (N x D)");
  if (!IsNarrow(array.dtype())) {
    const char* target = "uint8";
    if (!range.is_none()) {
      const py::object low = range[py::int_(0)], high = range[py::int_(1)];
      if (low < py::int_(0) || high > py::int_(65535)) {
        target = "int32";
      } else if (high > py::int_(255)) {
        target = "uint16";
      }
    }
    array = array.attr("astype")(target, py::arg("order") = "C");
  }
  const py::ssize_t item = array.itemsize();
  const bool rowsOk =
      (array.shape(1) <= 1 || array.strides(1) == item) && array.strides(0) >= 0 && array.strides(0) % item == 0;
  if (!rowsOk) array = Numpy().attr("ascontiguousarray")(array);
  return array;
}

// The rows of an array of vectors (ToVectors) as the engine takes them.
RowBlock RowsOf(const py::array& vectors) {
  return RowBlock{vectors.data(), static_cast<int>(vectors.shape(0)), static_cast<int>(vectors.shape(1)),
                  static_cast<int>(vectors.itemsize()),
                  vectors.shape(0) > 1 ? static_cast<std::size_t>(vectors.strides(0))
                                       : static_cast<std::size_t>(vectors.shape(1) * vectors.itemsize())};
}

// A C-contiguous int32 array of one dimension; other integers converted
// when every value fits.
IntArray ToInt32(py::handle value, const char* what) {
  py::array array = Numpy().attr("asarray")(value);
  CheckIntegers(array, what, false);
  CheckDimensions(array, what, 1, "");
  return Numpy().attr("ascontiguousarray")(array, py::arg("dtype") = "int32").cast<IntArray>();
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

// Names as the files hold them: bytes, read back through surrogateescape.
py::object NameObject(const char* text, std::size_t length) {
  return py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), "surrogateescape"));
}

// ---- Training sets and codebooks ----------------------------------------------

struct VectorSet {
  py::array vectors = py::array_t<std::uint8_t>(std::vector<py::ssize_t>{0, 1});
  IntArray freqs{std::vector<py::ssize_t>{0}};
  py::object names = py::none();  // None: no vector has a name
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
  py::ssize_t dimension() const { return vectors.shape(1); }
  int Kind() const { return RecognizeVersionstr(version_string.c_str()); }
};

const char* KindName(const VectorSet& set) {
  switch (set.Kind()) {
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

py::object ToNames(py::handle names, py::ssize_t n) {
  if (names.is_none()) return py::none();
  py::list list(py::reinterpret_borrow<py::object>(names));
  if (static_cast<py::ssize_t>(list.size()) != n) {
    throw py::value_error("names must hold " + std::to_string(n) + " entries, not " + std::to_string(list.size()));
  }
  for (const auto name : list) {
    if (!name.is_none() && !py::isinstance<py::str>(name)) throw py::type_error("names must be str or None");
  }
  return list;
}

// Checks a set's shapes before the library sees it.
void CheckSet(const VectorSet& set, const char* what) {
  const std::string role(what);
  const py::ssize_t n = set.size();
  ToCount(n, what);
  if (set.vector_size_x < 1 || set.vector_size_y < 1 ||
      static_cast<std::int64_t>(set.vector_size_x) * set.vector_size_y != set.dimension()) {
    throw py::value_error(role + ": vector_size_x * vector_size_y (" + std::to_string(set.vector_size_x) + " * " +
                          std::to_string(set.vector_size_y) + ") must equal the " + std::to_string(set.dimension()) +
                          " columns of vectors");
  }
  if (set.freqs.shape(0) != n) throw py::value_error(role + ": freqs must hold N values");
  if (!set.names.is_none() && static_cast<py::ssize_t>(py::len(set.names)) != n) {
    throw py::value_error(role + ": names must hold N entries");
  }
}

// Names of a set as zero-terminated texts in one block (encoded back through
// surrogateescape); pointers[i] is null for no name. Empty when no names.
struct NameTexts {
  std::string block;
  std::vector<const char*> pointers;
  const char* const* Data() const { return pointers.empty() ? nullptr : pointers.data(); }
};

NameTexts NameTextsOf(const VectorSet& set) {
  NameTexts texts;
  if (set.names.is_none()) return texts;
  std::vector<std::size_t> offsets;
  const py::list list = set.names;
  offsets.reserve(list.size());
  for (const auto name : list) {
    if (name.is_none()) {
      offsets.push_back(std::string::npos);
      continue;
    }
    const py::bytes encoded =
        py::reinterpret_steal<py::bytes>(PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogateescape"));
    if (!encoded) throw py::error_already_set();
    const std::string text = encoded;
    if (text.find('\0') != std::string::npos) throw py::value_error("a name holds a zero byte");
    offsets.push_back(texts.block.size());
    texts.block += text;
    texts.block += '\0';
  }
  texts.pointers.reserve(offsets.size());
  for (const std::size_t offset : offsets) {
    texts.pointers.push_back(offset == std::string::npos ? nullptr : texts.block.data() + offset);
  }
  return texts;
}

// A record with the set's header and no entries.
void FillHeader(const VectorSet& set, int bookSize, Codebook* cb) {
  CopyField(cb->VersionString, set.version_string);
  cb->VectorSizeX = set.vector_size_x;
  cb->VectorSizeY = set.vector_size_y;
  cb->BookSize = bookSize;
  cb->BytesPerElement = set.bytes_per_element;
  cb->ReservedValue = set.reserved_value;
  cb->ErrorScaling = set.error_scaling;
  cb->InheritLevel = set.inherit_level;
  CopyField(cb->GenerationMethod, set.generation_method);
  cb->TotalFreq = set.total_freq;
}

// Where the records of a set file go: N rows of D elements `width` bytes
// wide, and N frequencies.
struct SetDestination {
  void* rows;
  int width;
  std::int32_t* freqs;
};

// Names read from a file, in one block.
struct ReadNames {
  std::vector<int> index;
  std::vector<std::size_t> offset;
  std::string block;
};

// The one place files of vector sets are read. Reads the header of the file
// into *header, asks prepare(*header) where the N records go, decodes them
// there chunk by chunk and keeps every name, when the file has any. Returns
// the sum of the frequencies. Messages and refusals are ReadCodebook's, the
// TotalFreq mismatch left to the caller. Runs inside Guarded with the GIL
// released; prepare takes it as it needs.
std::int64_t ReadSetFile(const std::string& path, Codebook* header,
                         const std::function<SetDestination(const Codebook&)>& prepare, ReadNames& names,
                         Watch& watch) {
  VectorSetReader reader(path.c_str(), header);
  const SetDestination to = prepare(*header);
  const int n = header->BookSize;
  const std::size_t rowBytes = reader.Dimension() * static_cast<std::size_t>(to.width);
  const int chunk = static_cast<int>(
      std::clamp<std::size_t>((std::size_t{1} << 20) / std::max<std::size_t>(rowBytes, 1), 1, 1 << 16));
  std::vector<std::string> chunkNames;
  std::int64_t total = 0;
  auto* out = static_cast<std::uint8_t*>(to.rows);
  for (int first = 0; first < n; first += chunk) {
    if (watch.Poll()) throw Interrupted{};
    const int count = std::min(chunk, n - first);
    reader.Read(count, out + static_cast<std::size_t>(first) * rowBytes, to.freqs + first, &chunkNames);
    for (int r = 0; r < count; ++r) {
      total += to.freqs[first + r];
      if (!chunkNames.empty() && !chunkNames[static_cast<std::size_t>(r)].empty()) {
        names.index.push_back(first + r);
        names.offset.push_back(names.block.size());
        names.block += chunkNames[static_cast<std::size_t>(r)];
        names.block += '\0';
      }
    }
  }
  return total;
}

int WidthOfFile(int bytesPerElement) { return bytesPerElement == 1 ? 1 : bytesPerElement == 2 ? 2 : 4; }

py::array NewRows(py::ssize_t n, py::ssize_t d, int width) {
  std::vector<py::ssize_t> shape{n, d};
  switch (width) {
    case 1:
      return py::array_t<std::uint8_t>(shape);
    case 2:
      return py::array_t<std::uint16_t>(shape);
    default:
      return py::array_t<std::int32_t>(shape);
  }
}

void SetHeaderFields(VectorSet& set, const Codebook& cb) {
  set.version_string = cb.VersionString;
  set.generation_method = cb.GenerationMethod;
  set.vector_size_x = cb.VectorSizeX;
  set.vector_size_y = cb.VectorSizeY;
  set.bytes_per_element = cb.BytesPerElement;
  set.reserved_value = cb.ReservedValue;
  set.error_scaling = cb.ErrorScaling;
  set.inherit_level = cb.InheritLevel;
}

VectorSet ReadVectorSet(const std::filesystem::path& file) {
  const std::string path = file.string();
  CheckKind(path, {KindTrainingSet, KindCodebook}, "a training set or codebook");
  VectorSet set;
  Codebook header;
  ReadNames names;
  std::int64_t total = 0;
  Watch watch;
  try {
    const py::gil_scoped_release free;
    total = Guarded([&] {
      return ReadSetFile(
          path, &header,
          [&](const Codebook& h) {
            const py::gil_scoped_acquire gil;
            set.vectors = NewRows(h.BookSize, VectorSize(&h), WidthOfFile(h.BytesPerElement));
            set.freqs = IntArray(std::vector<py::ssize_t>{h.BookSize});
            return SetDestination{set.vectors.mutable_data(), static_cast<int>(set.vectors.itemsize()),
                                  set.freqs.mutable_data()};
          },
          names, watch);
    });
  } catch (const Interrupted&) {
  }
  watch.Raise();
  SetHeaderFields(set, header);
  const char* digit = std::strpbrk(header.VersionString, "0123456789");
  if (digit != nullptr && *digit == '2' && header.TotalFreq != total) {
    const std::string text = "WARNING: TotalFreq header field = " + std::to_string(header.TotalFreq) +
                             " but calculated totalfreq = " + std::to_string(static_cast<int>(total)) + ".";
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) throw py::error_already_set();
  }
  set.total_freq = static_cast<int>(total);
  if (!names.index.empty()) {
    py::list list(set.size());
    for (py::ssize_t i = 0; i < set.size(); ++i) PyList_SET_ITEM(list.ptr(), i, py::none().release().ptr());
    for (std::size_t k = 0; k < names.index.size(); ++k) {
      const char* text = names.block.data() + names.offset[k];
      list[static_cast<std::size_t>(names.index[k])] = NameObject(text, std::strlen(text));
    }
    set.names = std::move(list);
  }
  return set;
}

void WriteVectorSet(const std::filesystem::path& file, VectorSet& set, bool overwrite) {
  CheckSet(set, "vector set");
  if (KindName(set) == nullptr) {
    throw py::value_error("version_string must begin with 'VQ TRAINING SET' or 'VQ CODEBOOK'");
  }
  const std::string path = file.string();
  const NameTexts names = NameTextsOf(set);
  const py::array vectors = set.vectors;
  const IntArray freqs = set.freqs;
  const RowBlock rows = RowsOf(vectors);
  try {
    const py::gil_scoped_release free;
    set.total_freq = Guarded([&] {
      // Written a row at a time: only one row is ever widened.
      const py::ssize_t n = vectors.shape(0);
      Codebook cb;
      FillHeader(set, static_cast<int>(n), &cb);
      std::int64_t total = 0;
      for (py::ssize_t i = 0; i < n; ++i) total += freqs.data()[i];
      cb.TotalFreq = CodebookTotal(total, path.c_str());
      VectorSetWriter writer;
      if (!writer.Open(path.c_str(), &cb, overwrite ? 1 : 0)) return cb.TotalFreq;
      writer.Rows(rows, freqs.data(), names.Data());
      writer.Commit();
      return cb.TotalFreq;
    });
  } catch (const LibraryError& error) {
    RaiseWriteFailure(error, path);
  }
}

VectorSet MakeVectorSet(py::handle vectors, py::handle freqs, py::handle names, const std::string& kind,
                        std::optional<int> x, int y, std::optional<int> bytes, int reserved, int scaling, int inherit,
                        const std::string& method) {
  VectorSet set;
  set.vectors = ToVectors(vectors, "vectors");
  const py::ssize_t n = set.size(), d = set.dimension();
  if (freqs.is_none()) {
    set.freqs = IntArray(std::vector<py::ssize_t>{n});
    std::fill_n(set.freqs.mutable_data(), n, 1);
  } else {
    set.freqs = ToInt32(freqs, "freqs");
  }
  set.names = ToNames(names, n);
  set.version_string = VersionFor(kind);
  if (y < 1) throw py::value_error("vector_size_y must be at least 1");
  set.vector_size_y = y;
  set.vector_size_x = x ? *x : static_cast<int>(d / y);
  set.bytes_per_element = bytes ? *bytes : static_cast<int>(set.vectors.itemsize());
  set.reserved_value = reserved;
  set.error_scaling = scaling;
  set.inherit_level = inherit;
  set.generation_method = ToField(method, "generation_method");
  CheckSet(set, "VectorSet");  // every shape checked now rather than at first use
  std::int64_t total = 0;
  for (py::ssize_t i = 0; i < n; ++i) total += set.freqs.data()[i];
  set.total_freq = static_cast<int>(total);
  return set;
}

// ---- Partitionings ---------------------------------------------------------------

struct PartitioningData {
  IntArray indices{std::vector<py::ssize_t>{0}};
  int count = 1;
  std::string generation_method;
};

// Checks 0-based indices against a number of vectors and a partition count
// (GIL released: the loop is long for big sets).
void CheckIndices(const IntArray& indices, py::ssize_t n, int count) {
  if (count < 1) throw py::value_error("the partition count must be at least 1");
  if (indices.shape(0) != n) {
    throw py::value_error("indices hold " + std::to_string(indices.shape(0)) + " entries for a training set of " +
                          std::to_string(n) + " vectors");
  }
  const std::int32_t* p = indices.data();
  py::ssize_t bad = -1;
  {
    const py::gil_scoped_release free;
    for (py::ssize_t i = 0; i < n; ++i) {
      if (p[i] < 0 || p[i] >= count) {
        bad = i;
        break;
      }
    }
  }
  if (bad >= 0) {
    throw py::value_error("indices[" + std::to_string(bad) + "] is " + std::to_string(p[bad]) + ", outside 0.." +
                          std::to_string(count - 1));
  }
}

PartitioningData ReadPartitioningFile(const std::filesystem::path& file, VectorSet& trainingSet) {
  CheckSet(trainingSet, "training set");
  const std::string path = file.string();
  CheckKind(path, {KindPartitioning}, "a partitioning");
  PartitioningData data;
  data.indices = IntArray(std::vector<py::ssize_t>{trainingSet.size()});
  char method[80] = {};
  {
    const py::gil_scoped_release free;
    Codebook ts;
    FillHeader(trainingSet, static_cast<int>(trainingSet.size()), &ts);
    Guarded([&] {
      PartitioningReader reader(path.c_str(), &ts);
      data.count = reader.PartitionCount();
      std::strncpy(method, reader.GenerationMethod(), sizeof method - 1);
      reader.Read(data.indices.mutable_data(), ts.BookSize);
    });
  }
  data.generation_method = method;
  return data;
}

void WritePartitioningFile(const std::filesystem::path& file, const PartitioningData& data, VectorSet& trainingSet,
                           bool overwrite) {
  CheckSet(trainingSet, "training set");
  CheckIndices(data.indices, trainingSet.size(), data.count);
  const std::string path = file.string();
  const NameTexts names = NameTextsOf(trainingSet);
  const IntArray indices = data.indices;
  try {
    const py::gil_scoped_release free;
    Guarded([&] {
      char method[80] = {};
      CopyField(method, data.generation_method);
      const int n = static_cast<int>(indices.shape(0));
      PartitioningWriter writer;
      if (!writer.Open(path.c_str(), data.count, n, method, overwrite ? 1 : 0)) return;
      const char* const* texts = names.Data();
      for (int i = 0; i < n; ++i) writer.Line(indices.data()[i], texts != nullptr ? texts[i] : nullptr);
      writer.Commit();
    });
  } catch (const LibraryError& error) {
    RaiseWriteFailure(error, path);
  }
}

// ---- Conversions ------------------------------------------------------------------

void CheckTrainingSet(const VectorSet& ts) {
  CheckSet(ts, "training set");
  if (ts.Kind() != KindTrainingSet) throw LibraryError("ERROR: The first given file must be a ts file.");
}

py::object Partition(VectorSet& trainingSet, VectorSet& codebook, bool returnDistances, py::object progress) {
  CheckTrainingSet(trainingSet);
  CheckSet(codebook, "codebook");
  if (codebook.Kind() != KindCodebook) throw LibraryError("ERROR: You must give a cb or pa file as input file.");
  if (codebook.size() < 1) throw py::value_error("the codebook holds no vectors");
  if (trainingSet.dimension() != codebook.dimension()) {
    throw py::value_error("training set and codebook dimensions differ (" + std::to_string(trainingSet.dimension()) +
                          " != " + std::to_string(codebook.dimension()) + ")");
  }
  const py::array vectors = trainingSet.vectors, codes = codebook.vectors;
  const RowBlock rows = RowsOf(vectors), codeRows = RowsOf(codes);
  const py::ssize_t n = vectors.shape(0);
  IntArray indices(std::vector<py::ssize_t>{n});
  Int64Array distances(std::vector<py::ssize_t>{returnDistances ? n : 0});
  std::int32_t* targets = indices.mutable_data();
  std::int64_t* found = returnDistances ? distances.mutable_data() : nullptr;
  Watch watch(std::move(progress));
  {
    const py::gil_scoped_release free;
    Guarded([&] {
      const NearestSearch search(codeRows);
      watch.Gate();
      search.FindRowsInParallel(rows, targets, found, &watch);
    });
  }
  watch.Raise();
  if (returnDistances) return py::make_tuple(indices, distances);
  return indices;
}

// The sums of the rows (times their frequencies) and of the frequencies per
// partition, on the engine's threads.
CentroidSums SumsOf(const RowBlock& rows, const std::int32_t* freqs, const std::int32_t* partitionOf, int count,
                    Watch& watch) {
  CentroidSums sums(count, rows.dimension);
  watch.Gate();
  sums.AddInParallel(rows, freqs, partitionOf, &watch);
  return sums;
}

// The codebook of the centroids of the sums, as the command line makes it
// from a training set with the given header: the rounded mean of every
// partition with a positive frequency, zeros with frequency 0 elsewhere.
VectorSet CodebookOfSums(const CentroidSums& sums, const VectorSet& header, int narrowWidth) {
  const int count = sums.Partitions();
  const auto d = static_cast<py::ssize_t>(sums.Dimension());
  struct Made {
    std::vector<int> vectors;
    std::vector<int> freqs;
    Codebook header;
  } made;
  Guarded([&] {
    Codebook ts;
    FillHeader(header, 0, &ts);
    CreateNewCodebook(&made.header, 0, &ts);
    made.vectors.assign(static_cast<std::size_t>(count) * d, 0);
    made.freqs.assign(static_cast<std::size_t>(count), 0);
    for (const int k : sums.Positive()) {
      sums.Centroid(k, made.vectors.data() + static_cast<std::size_t>(k) * d);
      made.freqs[static_cast<std::size_t>(k)] = sums.Freq(k);
    }
  });
  // Centroids keep the width of the training vectors when they fit in it.
  const auto [low, high] = std::minmax_element(made.vectors.begin(), made.vectors.end());
  int width = narrowWidth;
  if (low != made.vectors.end() && (*low < 0 || *high > (width == 1 ? 255 : width == 2 ? 65535 : INT32_MAX))) {
    width = 4;
  }
  VectorSet cb;
  cb.vectors = NewRows(count, d, width);
  auto* out = static_cast<std::uint8_t*>(cb.vectors.mutable_data());
  for (std::size_t i = 0; i < made.vectors.size(); ++i) {
    const int v = made.vectors[i];
    if (width == 1) out[i] = static_cast<std::uint8_t>(v);
    if (width == 2) reinterpret_cast<std::uint16_t*>(out)[i] = static_cast<std::uint16_t>(v);
    if (width == 4) reinterpret_cast<std::int32_t*>(out)[i] = v;
  }
  cb.freqs = IntArray(std::vector<py::ssize_t>{count});
  std::copy(made.freqs.begin(), made.freqs.end(), cb.freqs.mutable_data());
  SetHeaderFields(cb, made.header);
  std::int64_t total = 0;
  for (const int f : made.freqs) total += f;
  cb.total_freq = static_cast<int>(total);
  return cb;
}

VectorSet Centroids(VectorSet& trainingSet, py::handle indicesArgument, int count, py::object progress) {
  CheckTrainingSet(trainingSet);
  const IntArray indices = ToInt32(indicesArgument, "indices");
  CheckIndices(indices, trainingSet.size(), count);
  const py::array vectors = trainingSet.vectors;
  const IntArray freqs = trainingSet.freqs;
  const RowBlock rows = RowsOf(vectors);
  Watch watch(std::move(progress));
  std::optional<CentroidSums> sums;
  {
    const py::gil_scoped_release free;
    Guarded([&] { sums.emplace(SumsOf(rows, freqs.data(), indices.data(), count, watch)); });
  }
  watch.Raise();
  return CodebookOfSums(*sums, trainingSet, rows.width);
}

// For sums made piecewise (mirvo.dask): the sums of one piece.
py::tuple PartitionSums(py::handle vectorsArgument, py::handle freqsArgument, py::handle indicesArgument, int count) {
  const py::array vectors = ToVectors(vectorsArgument, "vectors");
  const IntArray freqs = ToInt32(freqsArgument, "freqs");
  const IntArray indices = ToInt32(indicesArgument, "indices");
  if (freqs.shape(0) != vectors.shape(0)) throw py::value_error("freqs must hold N values");
  CheckIndices(indices, vectors.shape(0), count);
  const RowBlock rows = RowsOf(vectors);
  const auto d = static_cast<std::size_t>(vectors.shape(1));
  Int64Array sumsOut(std::vector<py::ssize_t>{count, static_cast<py::ssize_t>(d)});
  Int64Array freqsOut(std::vector<py::ssize_t>{count});
  Watch watch;
  {
    const py::gil_scoped_release free;
    Guarded([&] {
      const CentroidSums sums = SumsOf(rows, freqs.data(), indices.data(), count, watch);
      std::fill_n(sumsOut.mutable_data(), static_cast<std::size_t>(count) * d, 0);
      for (int k = 0; k < count; ++k) {
        if (sums.Sum(k) != nullptr)
          std::copy_n(sums.Sum(k), d, sumsOut.mutable_data() + static_cast<std::size_t>(k) * d);
        freqsOut.mutable_data()[k] = sums.Freq(k);
      }
    });
  }
  watch.Raise();
  return py::make_tuple(sumsOut, freqsOut);
}

// The codebook of sums added up piecewise (wrapping in 64 bits, frequencies
// wrapping in 32 as the library's do).
VectorSet CodebookFromSums(py::handle sumsArgument, py::handle freqsArgument, VectorSet& header) {
  const auto sumsIn = Numpy().attr("ascontiguousarray")(sumsArgument, py::arg("dtype") = "int64").cast<Int64Array>();
  const auto freqsIn = Numpy().attr("ascontiguousarray")(freqsArgument, py::arg("dtype") = "int64").cast<Int64Array>();
  if (sumsIn.ndim() != 2 || freqsIn.ndim() != 1 || sumsIn.shape(0) != freqsIn.shape(0)) {
    throw py::value_error("sums must be count x D and freqs must hold count values");
  }
  if (sumsIn.shape(1) != header.dimension()) throw py::value_error("sums and the header's vectors differ in D");
  const int count = ToCount(sumsIn.shape(0), "count");
  CentroidSums sums = Guarded([&] { return CentroidSums(count, static_cast<int>(sumsIn.shape(1))); });
  for (int k = 0; k < count; ++k) {
    sums.Set(k, sumsIn.data() + static_cast<std::size_t>(k) * sumsIn.shape(1),
             static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(freqsIn.data()[k]))));
  }
  return CodebookOfSums(sums, header, static_cast<int>(header.vectors.itemsize()));
}

std::string Repr(const VectorSet& set) {
  const char* kind = KindName(set);
  return std::string("<mirvo.VectorSet ") + (kind != nullptr ? kind : "of unknown kind") + ": " +
         std::to_string(set.size()) + " vectors of " + std::to_string(set.vector_size_x) + "x" +
         std::to_string(set.vector_size_y) + ", " + py::str(set.vectors.dtype()).cast<std::string>() + ">";
}

// The module's classes and functions.
void Bind(py::module_& m) {
  m.doc() = "The compiled part of mirvo; use the package mirvo.";
  // Every docstring starts with its own signature line ("name(arguments)",
  // then "--"), which Python's inspect.signature and help() read.
  py::options options;
  options.disable_function_signatures();
  SetErrorMessageHandler(&CaptureMessage);
  SetExitProcessingHandler(&LeaveLibrary);
  mainThread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

  // mirvo.Error, and for failing files the OSError subclasses that are
  // mirvo.Error as well.
  static py::exception<LibraryError> error(m, "Error", PyExc_Exception);
  error.doc() =
      "A refusal of the MIRVO library; str(error) is its ERROR text, e.g.\n"
      "'ERROR: Unknown file version number (3).'. Files that cannot be opened raise\n"
      "subclasses that are also the matching OSError (FileNotFoundError, PermissionError,\n"
      "IsADirectoryError, FileExistsError, ...) with errno set.";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const LibraryError& e) {
      error(e.what());
    }
  });
  // Kept for the life of the process (a handle, never released at exit).
  static const py::handle osErrors = py::dict().release();
  for (const char* name : {"FileNotFoundError", "PermissionError", "IsADirectoryError", "NotADirectoryError",
                           "FileExistsError", "OSError"}) {
    const py::object base = py::module_::import("builtins").attr(name);
    const std::string qualified = std::string("mirvo.") + name;
    py::object made = py::reinterpret_steal<py::object>(
        PyErr_NewException(qualified.c_str(), py::make_tuple(error, base).ptr(), nullptr));
    py::reinterpret_borrow<py::dict>(osErrors)[name] = made;
  }
  m.attr("_os_errors") = osErrors;
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const FileFailure& failure) {
      const char* name = "OSError";
      switch (failure.number) {
        case ENOENT:
          name = "FileNotFoundError";
          break;
        case EACCES:
        case EPERM:
          name = "PermissionError";
          break;
        case EISDIR:
          name = "IsADirectoryError";
          break;
        case ENOTDIR:
          name = "NotADirectoryError";
          break;
        case EEXIST:
          name = "FileExistsError";
          break;
        default:
          break;
      }
      const py::object type = py::reinterpret_borrow<py::dict>(osErrors)[name];
      py::object instance = type(failure.message);
      // errno only: with strerror or filename set, str() would no longer be
      // the ERROR text (which names the file and the reason).
      instance.attr("errno") = failure.number;
      PyErr_SetObject(type.ptr(), instance.ptr());
    }
  });

  m.attr("PROGRAM_IDENTITY") = MIRVO_IDENTITY;
  m.attr("__version__") = MIRVO_VERSION_NUMBER;

  py::class_<VectorSet>(m, "VectorSet",
                        "VectorSet(vectors, freqs=None, names=None, *, kind='training set', vector_size_x=None, "
                        "vector_size_y=1, bytes_per_element=None, reserved_value=0, error_scaling=0, "
                        "inherit_level=0, generation_method='')\n--\n\n"
                        "A training set or a codebook: N vectors of D elements, their frequencies and names,\n"
                        "and the header fields of the file.\n\n"
                        "vectors: numpy array N x D of uint8, uint16 or int32, kept as given (not copied,\n"
                        "  not widened; rows may lie apart, elements of a row must be adjacent or the\n"
                        "  array is copied in its own dtype). Other integer arrays and nested lists are\n"
                        "  converted, exactly, to the narrowest of uint8, uint16 and int32 holding every\n"
                        "  value; values beyond int32 raise ValueError, floats TypeError (round them\n"
                        "  first: numpy.rint(x).astype(numpy.int32)).\n"
                        "freqs: int32 array of N frequencies (default all 1).\n"
                        "names: None when no vector has a name, else a list of N str or None.\n"
                        "kind: 'training set' or 'codebook' (from version_string).\n"
                        "bytes_per_element: the width in the file; by default the dtype's (uint8 1,\n"
                        "  uint16 2, int32 4).")
      .def(py::init(&MakeVectorSet), py::arg("vectors"), py::arg("freqs") = py::none(), py::arg("names") = py::none(),
           py::kw_only(), py::arg("kind") = "training set", py::arg("vector_size_x") = py::none(),
           py::arg("vector_size_y") = 1, py::arg("bytes_per_element") = py::none(), py::arg("reserved_value") = 0,
           py::arg("error_scaling") = 0, py::arg("inherit_level") = 0, py::arg("generation_method") = "",
           "__init__(self, vectors, freqs=None, names=None, *, kind='training set', vector_size_x=None, "
           "vector_size_y=1, bytes_per_element=None, reserved_value=0, error_scaling=0, inherit_level=0, "
           "generation_method='')\n--\n\n"
           "Makes a set of an integer array N x D; vector_size_x defaults to D / vector_size_y.\n"
           "Raises TypeError for non-integer data, ValueError for wrong shapes or values beyond int32.")
      .def_property(
          "vectors", [](const VectorSet& s) { return s.vectors; },
          [](VectorSet& s, py::handle v) { s.vectors = ToVectors(v, "vectors"); },
          "numpy array N x D of uint8, uint16 or int32 (the stored data itself, not a copy)")
      .def_property(
          "freqs", [](const VectorSet& s) { return s.freqs; },
          [](VectorSet& s, py::handle v) { s.freqs = ToInt32(v, "freqs"); }, "int32 array of N frequencies")
      .def_property(
          "names", [](const VectorSet& s) { return s.names; },
          [](VectorSet& s, py::handle v) { s.names = ToNames(v, s.size()); },
          "None when no vector has a name, else a list of N names (str, or None for no name)")
      .def_property(
          "kind", [](const VectorSet& s) { return KindName(s); },
          [](VectorSet& s, const std::string& kind) { s.version_string = VersionFor(kind); },
          "'training set' or 'codebook', from version_string")
      .def_property(
          "version_string", [](const VectorSet& s) { return s.version_string; },
          [](VectorSet& s, const std::string& v) { s.version_string = ToField(v, "version_string"); },
          "the first line of the file, e.g. 'VQ TRAINING SET 2.0'")
      .def_property(
          "generation_method", [](const VectorSet& s) { return s.generation_method; },
          [](VectorSet& s, const std::string& v) { s.generation_method = ToField(v, "generation_method"); },
          "header text of at most 79 characters")
      .def_readwrite("vector_size_x", &VectorSet::vector_size_x, "vector width; x * y = D")
      .def_readwrite("vector_size_y", &VectorSet::vector_size_y, "vector height")
      .def_readwrite("bytes_per_element", &VectorSet::bytes_per_element, "bytes of an element in the file, 1 to 4")
      .def_readwrite("reserved_value", &VectorSet::reserved_value, "header field")
      .def_readwrite("error_scaling", &VectorSet::error_scaling, "header field")
      .def_readwrite("inherit_level", &VectorSet::inherit_level,
                     "header field; above 1 a codebook made from the set inherits its generation method")
      .def_readwrite("total_freq", &VectorSet::total_freq, "sum of freqs as last made, read or written")
      .def("__len__", &VectorSet::size, "__len__(self)\n--\n\nN, the number of vectors")
      .def("__repr__", &Repr, "__repr__(self)\n--\n\n");

  py::class_<PartitioningData>(m, "Partitioning",
                               "Partitioning(indices, count, generation_method='')\n--\n\n"
                               "The partition of every training vector, counted from 0.\n\n"
                               "indices: int32 array of N values in 0..count-1; count: the number of partitions.")
      .def(py::init([](py::handle indices, int count, const std::string& method) {
             if (count < 1) throw py::value_error("the partition count must be at least 1");
             return PartitioningData{ToInt32(indices, "indices"), count, ToField(method, "generation_method")};
           }),
           py::arg("indices"), py::arg("count"), py::arg("generation_method") = "",
           "__init__(self, indices, count, generation_method='')\n--\n\n"
           "Makes a partitioning of 0-based indices (integers that fit int32) into count partitions.")
      .def_property(
          "indices", [](const PartitioningData& p) { return p.indices; },
          [](PartitioningData& p, py::handle v) { p.indices = ToInt32(v, "indices"); }, "int32 array, 0-based")
      .def_readwrite("count", &PartitioningData::count, "number of partitions")
      .def_property(
          "generation_method", [](const PartitioningData& p) { return p.generation_method; },
          [](PartitioningData& p, const std::string& v) { p.generation_method = ToField(v, "generation_method"); },
          "header text of at most 79 characters")
      .def(
          "__len__", [](const PartitioningData& p) { return p.indices.shape(0); },
          "__len__(self)\n--\n\nN, the number of vectors")
      .def(
          "__repr__",
          [](const PartitioningData& p) {
            return "<mirvo.Partitioning: " + std::to_string(p.indices.shape(0)) + " vectors in " +
                   std::to_string(p.count) + " partitions>";
          },
          "__repr__(self)\n--\n\n");

  // The file functions as mirvo's own wrap them (which name the file in
  // the messages that do not).
  m.def("read_vector_set", &ReadVectorSet, py::arg("path"), "read_vector_set(path)\n--\n\nmirvo.read_vector_set.");
  m.def("write_vector_set", &WriteVectorSet, py::arg("path"), py::arg("vector_set"), py::arg("overwrite") = false,
        "write_vector_set(path, vector_set, overwrite=False)\n--\n\nmirvo.write_vector_set.");
  m.def("read_partitioning", &ReadPartitioningFile, py::arg("path"), py::arg("training_set"),
        "read_partitioning(path, training_set)\n--\n\nmirvo.read_partitioning.");
  m.def("write_partitioning", &WritePartitioningFile, py::arg("path"), py::arg("partitioning"), py::arg("training_set"),
        py::arg("overwrite") = false,
        "write_partitioning(path, partitioning, training_set, overwrite=False)\n--\n\nmirvo.write_partitioning.");
  m.def("partition", &Partition, py::arg("training_set"), py::arg("codebook"), py::arg("return_distances") = false,
        py::arg("progress") = py::none(),
        "partition(training_set, codebook, return_distances=False, progress=None)\n--\n\n"
        "mirvo.partition on a training set and a codebook given as VectorSets of their kinds\n"
        "(mirvo.Error otherwise); progress(rows) is called with the rows done since its last call.");
  m.def("centroids", &Centroids, py::arg("training_set"), py::arg("indices"), py::arg("count"),
        py::arg("progress") = py::none(),
        "centroids(training_set, indices, count, progress=None)\n--\n\n"
        "mirvo.centroids on a training set given as a VectorSet of its kind (mirvo.Error\n"
        "otherwise); progress(rows) is called with the rows done since its last call.");
  m.def("_partition_sums", &PartitionSums, py::arg("vectors"), py::arg("freqs"), py::arg("indices"), py::arg("count"),
        "_partition_sums(vectors, freqs, indices, count)\n--\n\n"
        "Per partition, the sums of freq * vector and of freq (for mirvo.dask).");
  m.def("_codebook_from_sums", &CodebookFromSums, py::arg("sums"), py::arg("freqs"), py::arg("training_set"),
        "_codebook_from_sums(sums, freqs, training_set)\n--\n\n"
        "The centroid codebook of summed pieces, with the header a codebook of training_set gets.");
  m.def(
      "_gate", [](bool closed) { gateClosed.store(closed); }, py::arg("closed"),
      "_gate(closed)\n--\n\nTest hook: while closed, computations wait at their start with the GIL released.");
  m.def(
      "_gate_waiting", [] { return gateWaiting.load(); },
      "_gate_waiting()\n--\n\nTest hook: computations waiting at the gate.");
  m.def("_as_vectors", &ToVectors, py::arg("value"), py::arg("what"),
        "_as_vectors(value, what)\n--\n\n"
        "value as VectorSet keeps vectors (uint8, uint16 or int32, rows of adjacent elements); TypeError or\n"
        "ValueError naming it as `what` otherwise.");
  m.def(
      "_indices",
      [](py::handle value, py::ssize_t n, int count) {
        IntArray indices = ToInt32(value, "indices");
        CheckIndices(indices, n, count);
        return indices;
      },
      py::arg("indices"), py::arg("n"), py::arg("count"),
      "_indices(indices, n, count)\n--\n\n"
      "indices as an int32 array of n partitions in 0..count-1; TypeError or ValueError otherwise.");
  m.def("_set_num_threads", &SetThreadCount, py::arg("count"),
        "_set_num_threads(count)\n--\n\n"
        "The process-wide thread count of the computations (0: one per core); returns the previous setting.");
  m.def("_set_num_threads_here", &SetThreadCountHere, py::arg("count"),
        "_set_num_threads_here(count)\n--\n\n"
        "The thread count of the computations the calling thread starts (0: the process-wide count);\n"
        "returns the previous setting.");
  m.def("_get_num_threads", &ThreadCount, "_get_num_threads()\n--\n\nThe threads a computation started now uses.");
}

}  // namespace
}  // namespace mirvo

PYBIND11_MODULE(_mirvo, m) { mirvo::Bind(m); }
