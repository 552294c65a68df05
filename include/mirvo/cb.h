// Vector sets (training sets and codebooks), partitionings, distances and
// optimisation, and the neighbour graph.
//
// Memory: one allocator for everything a record owns. Every array, vector
// and name that a record points to is allocated with malloc (or calloc,
// realloc, strdup) and released with free, by the library and by its
// callers alike: a Codebook's Book array and each entry's Vector and Name;
// a Partitioning's PartitionOf, NextVector, FirstVector, MemberCount and
// Sums arrays and the VectorSum buffer of each of its AllocatedPartitions
// slots; a Graph itself, its Vectors array, each GraphVector and its Coord
// and NN arrays. A record owns exactly what its fields point to at the
// moment, and nothing else: the free operations (FreeCodebook, FreeVector,
// FreeNode, FreePartitioning, FreeGraphVector, FreeGraph) release what the
// fields point to when they are called, whoever allocated it (a null
// pointer is released as nothing). So a caller may put in an array, vector
// or name of its own (from malloc or strdup), take one out (it is then the
// caller's to free), exchange arrays between records, or hand a whole Book
// or partitioning array to another record by assigning the fields together
// with their sizes (AllocatedSize, AllocatedPartitions) and emptying the old
// holder (null pointers, sizes 0), as long as every allocation has one
// owner. Growing a record builds a larger temporary one, copies into it and
// exchanges the arrays. The arrays of a record hold as many elements as its
// sizes say (Book: AllocatedSize entries, each Vector at least the
// dimension; PartitionOf and NextVector: TrainingSetSize; FirstVector,
// MemberCount and Sums: AllocatedPartitions; VectorSum: Dimension).
//
// Records are plain values owned by their user, with public fields that a
// caller may read, set and copy by hand. Codebook and Partitioning release
// what they still own when they go out of scope, so that a record left
// behind by a handler that unwinds out of the library (interfc.h) does not
// leak; for the same reason they cannot be copied as a whole (both copies
// would own the same arrays), and a move hands everything over and leaves
// the source owning nothing. The create and read operations release what
// a record still owns before they fill it.
//
// Failures: unless a comment says otherwise, a function that cannot do its
// work prints an "ERROR: ..." (or "CB::Function: ...") message with
// ErrorMessage and ends the process with ExitProcessing(-1) (status 255);
// it returns nothing to report. Preconditions named "requires" are the
// caller's to keep: indices in range and records of matching sizes; those
// that are cheap to check are refused with a message, the others are
// checked by assertions only (debug and sanitized builds).
//
// Threads and process-wide state: records are not locked. Different records
// may be used from different threads at once; one record (with the records
// it is read with) must not be changed while another thread uses it. The
// module keeps no process-wide state of its own beyond, through the console
// module, the message and exit handlers and the progress indicator.
// GenerateOptimalPartitioningGeneral and the two Convert* conversions start
// worker threads for the duration of the call (as many as the thread count
// of mirvo/engine.h says: one per processor core unless set) and join them
// before returning; the callbacks of the console module are called from the
// calling thread only. The kernels' instruction set (mirvo/engine.h, chosen
// once from the processor) is process-wide and gives the same results on
// every level.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace mirvo {

// ===========================================================================
// File kinds and header lines
// ===========================================================================

enum FileKind { KindNone = 0, KindTrainingSet = 1, KindCodebook = 2, KindPartitioning = 3 };

// Writes the header line of a kind ("VQ TRAINING SET 2.0", "VQ CODEBOOK 2.0",
// "VQ PARTITIONING 2.0") into the buffer, which requires room for 80 bytes.
// A kind other than 1 to 3 is fatal.
void SetVerString(char* buffer, int kind);
// The kind named by the text's prefix, 0 if none. Never fails.
int RecognizeVersionstr(const char* text);
// The kind of the named file from its first line; 0 when it cannot be
// opened or read. Prints nothing.
int AnalyzeFileType(const char* name);
// The kind of the named file, trying the name unchanged and then with the
// extensions named by the decimal digits of `order` (1 "ts", 2 "cb",
// 3 "pa"); 0 when none is found. When found under an added extension, the
// name is completed in the caller's buffer, which then requires room for
// the name, '.', the two letters and the terminating zero (an 80-byte
// buffer holds any name of up to 76 characters). A digit other than 1 to 3
// in `order` is fatal.
int DetermineCBFileTypeConsideringOrder(char* name, int order);
int DetermineCBFileTypeConsideringOrder(std::string& name, int order);
// Removes one trailing line feed in place and returns the text. A null or
// empty text is fatal ("ERROR: empty header (NULL)" / "(0x00)").
char* RemoveLineBreak(char* text);
// Makes the text empty; returns it.
char* ClearString(char* text);

// ===========================================================================
// Codebook record
// ===========================================================================

struct BookNode {
  int* Vector;     // dimension elements (malloc)
  int VectorMean;  // mean of the elements, rounded
  int Freq;        // how many times the vector occurs
  char* Name;      // zero-terminated text (malloc), or null for no name
};

struct Codebook {
  char VersionString[80] = {};
  int VectorSizeX = 0;
  int VectorSizeY = 0;
  int BookSize = 0;
  int TotalFreq = 0;
  int BytesPerElement = 0;
  int ReservedValue = 0;
  int ErrorScaling = 0;
  int InheritLevel = 0;
  char GenerationMethod[80] = {};
  BookNode* Book = nullptr;  // AllocatedSize entries (malloc), each owning its Vector and Name
  int AllocatedSize = 0;

  Codebook() = default;
  Codebook(const Codebook&) = delete;
  Codebook& operator=(const Codebook&) = delete;
  // Takes over the other record's fields and entries; the other is left
  // with its header and no entries (Book null, AllocatedSize 0).
  Codebook(Codebook&& other) noexcept;
  Codebook& operator=(Codebook&& other) noexcept;
  // FreeCodebook.
  ~Codebook();
};

// Dimension of a record: VectorSizeX * VectorSizeY.
inline int VectorSize(const Codebook* cb) { return cb->VectorSizeX * cb->VectorSizeY; }

// Vectors and entries. Every entry owns its vector and name, allocated as
// the top of this header says: an entry's vector or name may be released
// (FreeVector, FreeNode, free) and replaced by one from CreateEmptyVector,
// CreateEmptyNode, malloc or strdup, entries may be exchanged within and
// between records, and FreeCodebook releases whatever the entries hold at
// that time.

// A new vector of count elements (malloc; at least one allocated element,
// so never null), contents unset; owned by the caller until given to an
// entry. Out of memory is fatal.
int* CreateEmptyVector(int count);
// Copies count elements (none for count <= 0); the ranges may overlap. A
// null source or destination is fatal.
void CopyVector(const int* source, int* destination, int count);
// Releases a vector (free); null is allowed.
void FreeVector(int* vector);
// An entry by value with a new vector of count elements (unset), VectorMean
// and Freq 0 and no name; the caller owns what it holds.
BookNode CreateEmptyNode(int count);
// Makes the destination an independent copy of the source: count elements
// into the destination's existing vector (which requires room for them),
// Freq, VectorMean and an own copy of the name. Onto itself: nothing.
void CopyNode(const BookNode* source, BookNode* destination, int count);
// Releases the node's vector and name (free) and sets both to null; the
// node itself is not freed.
void FreeNode(BookNode* node);
// Replaces the node's name by an own copy of the text (null: no name).
void ChangeVectorName(BookNode* node, const char* name);

// Records. Out of memory is fatal in all of them.

// Releases what the record's Book holds, then gives it BookSize fresh
// entries (vector of the record's dimension, contents unset; no name;
// VectorMean 0) and AllocatedSize = BookSize. Negative sizes are fatal.
// Returns cb.
Codebook* AllocateMemoryForBook(Codebook* cb);
// A codebook ("VQ CODEBOOK 2.0") of bookSize entries shaped like the
// template: dimension, BytesPerElement, ReservedValue, ErrorScaling,
// InheritLevel and TotalFreq copied; the template's GenerationMethod when
// its InheritLevel is above 1, else empty. Elements, Freq and VectorMean
// start at 0. The template may be cb itself.
void CreateNewCodebook(Codebook* cb, int bookSize, const Codebook* templ);
// A training set ("VQ TRAINING SET 2.0") of bookSize zeroed entries with the
// given header values; generationMethod may be null and is cut at 79
// characters. TotalFreq 0.
void CreateNewTrainingSet(Codebook* cb, int bookSize, int vectorSizeX, int vectorSizeY, int bytesPerElement,
                          int reservedValue, int errorScaling, int inheritLevel, const char* generationMethod);
// Copies every header field but Book and AllocatedSize.
void CopyCodebookHeader(const Codebook* source, Codebook* destination);
// The header and the entries in use of the source into the destination,
// with own copies of the names; entries beyond keep their content. Requires
// the destination's vectors to have room for the source's dimension (as
// those of a record made from the source by CreateNewCodebook have, or
// longer ones a caller put in). Fatal when the destination has fewer than
// BookSize entries allocated.
void CopyCodebook(const Codebook* source, Codebook* destination);
// Grows the allocation to exactly newAllocatedSize entries, keeping the
// entries in use: a new Book of fresh entries (zeroed vectors of the
// record's dimension) takes copies of them, and the old Book with all its
// entries is released, so pointers into the old entries do not survive.
// Never shrinks. Fatal when newAllocatedSize <= BookSize.
void SetAllocatedCodebookSize(Codebook* cb, int newAllocatedSize);
// BookSize = newSize, growing the allocation when needed; entries coming
// into use keep what their slots hold. newSize <= BookSize ends the process
// without a message.
void IncreaseCodebookSize(Codebook* cb, int newSize);
// BookSize = newSize; nothing is released. newSize < 0 or >= BookSize ends
// the process without a message.
void DecreaseCodebookSize(Codebook* cb, int newSize);
// Increase or Decrease as needed; the same size does nothing.
void ChangeCodebookSize(Codebook* cb, int newSize);
// Releases the vector and name of each of the AllocatedSize entries and the
// Book array, as the fields point to them now; Book becomes null and
// AllocatedSize 0, the other fields stay. A record with nothing allocated
// is fine.
void FreeCodebook(Codebook* cb);
// Appends text to a zero-terminated field of `size` bytes, keeping at most
// size-1 characters. A text longer than size is fatal.
void AddString(char* field, const char* text, int size);

// ===========================================================================
// Codebook and training-set files
// ===========================================================================

// Writes the record in the current layout (mirvo/coding.h gives the byte
// order) after setting TotalFreq to the sum of Freq over the entries in use.
// A header line naming version 2 is written as the record holds it; the
// line of a record read from version 0 or 1 gives way to the current line of
// its kind. All or nothing: the file is written under a temporary name and
// put in place at the end. A file that exists without overwrite == 1 ("ERROR:
// File already exists: %s", nothing written), or that cannot be created,
// written or put in place, is reported and the call returns:
// LastWriteFailed (mirvo/file.h) then tells which. The same holds for
// WritePartitioning and GraphWrite. Anything the reader could not read back
// (sizes, widths, element values, names, generation method, header line) is
// fatal before writing.
void WriteCodebook(const char* name, Codebook* cb, int overwrite);
// Fills the record from a file of version 0, 1 or 2 (what it owned before
// is released first): Book gets BookSize entries (AllocatedSize =
// BookSize), allocated as the records arrive, never ahead of them for the
// count the header announces. A header TotalFreq that differs from the
// frequencies prints a warning with PrintMessage; every other fault
// (missing file, unknown version, cut or oversized data) is fatal.
void ReadCodebook(const char* name, Codebook* cb);

// ===========================================================================
// Codebook utilities
// ===========================================================================

// These print nothing but through PrintMessage and have no failures of their
// own beyond those of the record operations they use.

// 1, 0 or -1: the lexicographic order of the first count elements.
int CompareVectors(const int* a, const int* b, int count);
// BookSize less the number of distinct vectors in use.
int DuplicatesInCodebook(const Codebook* cb);
// Sets VectorMean of every entry in use (rounded mean of the elements).
void CalculateVectorMeans(Codebook* cb);
// Appends copies of the source's entries in use, adds its TotalFreq and
// marks GenerationMethod with "++" (once, when it fits). Requires the same
// dimension; a source without entries ends the process without a message.
void AddCodebook(Codebook* destination, const Codebook* source);
// Replaces the entries by one entry of Freq 1 per occurrence. Requires
// TotalFreq to be the sum of the frequencies in use.
void UnrollTrainingSet(Codebook* cb);
// "%3i " per element, then "\n", on the module information stream.
void PrintVector(const int* vector, int rows, int columns);
// The record's listing on the module information stream.
void PrintCodebook(const Codebook* cb);

// ===========================================================================
// Partitioning record
// ===========================================================================

struct PartitionSum {
  std::int64_t* VectorSum;  // Dimension entries (malloc): per element, sum of Freq * element over members
  int CCFreq;               // sum of Freq over members
};

struct Partitioning {
  char VersionString[80] = {};
  int PartitionCount = 0;
  int TrainingSetSize = 0;
  int* PartitionOf = nullptr;    // per training vector; -1 = unassigned
  int* FirstVector = nullptr;    // per partition slot; -1 = empty
  int* NextVector = nullptr;     // per training vector; -1 ends a list
  PartitionSum* Sums = nullptr;  // per partition slot, each owning its VectorSum
  int* MemberCount = nullptr;    // per partition slot
  int Dimension = 0;
  char GenerationMethod[80] = {};
  int AllocatedPartitions = 0;

  Partitioning() = default;
  Partitioning(const Partitioning&) = delete;
  Partitioning& operator=(const Partitioning&) = delete;
  // Takes over the other record's fields and arrays; the other is left with
  // its scalar fields and no arrays (null pointers).
  Partitioning(Partitioning&& other) noexcept;
  Partitioning& operator=(Partitioning&& other) noexcept;
  // FreePartitioning.
  ~Partitioning();
};

// The operations taking ts require the training set the partitioning was
// made for (TrainingSetSize == BookSize, the same dimension) and indices in
// range; these are asserted.

// A partitioning of the training set into partitionCount (at least 1,
// else fatal) partitions with every vector in partition 0; what the record
// owned before is released first.
void CreateNewPartitioning(Partitioning* p, const Codebook* ts, int partitionCount);
// Puts an unassigned vector into the partition, updating lists and sums.
void AddToPartition(const Codebook* ts, Partitioning* p, int partition, int vector);
// Moves the vector to newPartition (-1: unassigned), updating lists and sums.
void ChangePartition(const Codebook* ts, Partitioning* p, int newPartition, int vector);
// ChangePartition for a vector whose list predecessor is known (-1 when it
// heads its list).
void ChangePartitionFast(const Codebook* ts, Partitioning* p, int newPartition, int vector, int predecessor);
// Releases PartitionOf, FirstVector, NextVector, MemberCount, the VectorSum
// buffer of each of the AllocatedPartitions slots of Sums, and Sums, as the
// fields point to them now, and sets the pointers to null; the other fields
// stay.
void FreePartitioning(Partitioning* p);

// Writes the partitioning file (1-based partitions), all or nothing like
// WriteCodebook, including its refusal of an existing file.
void WritePartitioning(const char* name, const Partitioning* p, const Codebook* ts, int overwrite);
// Fills the record from a partitioning file for the training set (what it
// owned before is released first); any fault of the file is fatal.
void ReadPartitioning(const char* name, Partitioning* p, const Codebook* ts);

// Moves every vector of partition `gone` into `keep` (different, in range).
void JoinPartitions(const Codebook* ts, Partitioning* p, int keep, int gone);
// One partition per training vector, vector i in partition i.
void PutAllInOwnPartition(const Codebook* ts, Partitioning* p);
// Increase or Decrease as needed; the same count does nothing.
void ChangeNumberOfPartitions(Partitioning* p, int newCount);
// Adds empty partitions; fatal when newCount is not above the count.
void IncreaseNumberOfPartitions(Partitioning* p, int newCount);
// Drops the partitions from newCount on, which must be empty; fatal when
// newCount is not in 1 .. count-1 or one of them holds a vector.
void DecreaseNumberOfPartitions(Partitioning* p, int newCount);
// Grows the partition slots to newSlots: new FirstVector, MemberCount and
// Sums arrays, into which the slots in use carry their values and their
// VectorSum buffers themselves (the pointers move, so a VectorSum kept by
// the caller stays valid); the new slots get zeroed buffers, and the old
// arrays and the buffers of the old unused slots are released. Never
// shrinks; fatal below the partition count.
void SetNumberOfAllocatedPartitions(Partitioning* p, int newSlots);
// Copies the assignment, lists and sums; fatal when the destination has
// too few slots or another training-set size.
void CopyPartitioning(const Partitioning* source, Partitioning* destination);

// ===========================================================================
// Distances and errors
// ===========================================================================

enum DistanceMetric { MetricSquaredEuclidean = 0, MetricCodeLength = 1, MetricJaccard = 11, MetricDice = 12 };
enum ErrorFunction { ErrorMSE = 0, ErrorCodeLength = 1, ErrorJaccard = 11, ErrorDice = 12 };

// The bound that means no bound.
constexpr std::int64_t kNoBound = INT64_MAX;

// Distance from code vector a to training vector b. Metric 0 is exact; a
// squared distance beyond the 64-bit range is returned as kNoBound. Under
// metrics 0 and 1 a result at or above the bound may be partial. An
// unknown metric, or under metric 1 a training element other than 0 or
// 1000000, is fatal.
std::int64_t VectorDistance(const int* a, const int* b, int count, std::int64_t bound, int metric);
// The metric of an error function; an unknown code is fatal.
int DistType(int errorFunction);
// The error of the training set under the codebook and partitioning; an
// unknown error function is fatal. Fatal too: a partitioning of another
// training set (TrainingSetSize != BookSize); for the mean errors (0, 11,
// 12) a codebook of another dimension or a training vector whose partition
// is not a code vector; for the code length (1) fewer partitions than code
// vectors.
double AverageErrorForSolution(const Codebook* ts, const Codebook* cb, const Partitioning* p, int errorFunction);
double AverageErrorForSolutionMeanError(const Codebook* ts, const Codebook* cb, const Partitioning* p, int metric);
// The error per vector (ErrorScaling 1) or per element.
double PrintableError(double error, const Codebook* cb);

// ===========================================================================
// Optimal partitioning
// ===========================================================================

// Index of the code vector nearest to the training entry: the start index
// when it is among the nearest, else the lowest index at the smallest
// distance. The complete distance is stored in *distance. A start that is
// not a code vector is fatal.
int FindNearestVector(const BookNode* trainingEntry, const Codebook* cb, std::int64_t* distance, int start, int metric);
// Moves every training vector into the partition of its nearest code
// vector and returns the error. Fatal: dimensions that differ, a
// partitioning of another training set or with fewer partitions than code
// vectors, an unknown error function. Runs worker threads during the call.
double GenerateOptimalPartitioningGeneral(const Codebook* ts, const Codebook* cb, Partitioning* p, int errorFunction);
double GenerateOptimalPartitioningMeanError(const Codebook* ts, const Codebook* cb, Partitioning* p, int metric);
// Incremental repartitioning after code vectors changed: the training
// vectors move to the listed (or the one) new code vectors when nearer, or
// those of one partition are searched anew. Same requirements as above.
void RepartitionDueToNewVectorsGeneral(const Codebook* ts, const Codebook* cb, Partitioning* p, const int* newVectors,
                                       int count, int metric);
void RepartitionDueToNewVectorGeneral(const Codebook* ts, const Codebook* cb, Partitioning* p, int newVector,
                                      int metric);
void LocalRepartitioningGeneral(const Codebook* ts, const Codebook* cb, Partitioning* p, int partition, int metric);
// The error of the training set coded with its nearest code vectors (the
// partitioning, which may be null, gives the start of each search); an
// unknown error function is fatal.
double AverageErrorCBFast(const Codebook* ts, const Codebook* cb, const Partitioning* p, int errorFunction);
double AverageErrorCBFastMeanError(const Codebook* ts, const Codebook* cb, const Partitioning* p, int metric);

// ===========================================================================
// Optimal codebook
// ===========================================================================

// The centroid of the partition into the target's vector (room for the
// dimension required), Freq and VectorMean; its name stays. Fatal: an empty
// partition; an element beyond the int range, which frequencies of mixed
// sign can give and no element width holds ("ERROR: Vector element value
// %.0f does not fit in 4 bytes per element.\n" with the exact value).
void PartitionCentroid(const Partitioning* p, int partition, BookNode* target);
// Entry k becomes the centroid of partition k (an empty one: Freq 0, the
// rest kept). Fatal: a codebook with more entries than partitions or of
// another dimension, an error function other than 0, 1, 2, 11, 12, a
// centroid that PartitionCentroid refuses (the entries before it are set).
void GenerateOptimalCodebookGeneral(const Codebook* ts, Codebook* cb, const Partitioning* p, int errorFunction);
void GenerateOptimalCodebookMSE(const Codebook* ts, Codebook* cb, const Partitioning* p);
// The frequency-weighted mean of the entries in use, divided by TotalFreq,
// into centroid (room for the dimension required); nothing when TotalFreq
// is 0. An element beyond the int range is fatal, as in PartitionCentroid.
void CodebookCentroid(const Codebook* cb, int* centroid);
// Moves the worst-served training vectors into the empty partitions, in
// partition order, and makes their code vectors copies of them; the
// partitions they left get new centroids. The codebook may have fewer
// entries than the partitioning has partitions as long as the walk never
// reaches an empty partition without a code vector. Fatal: that case,
// dimensions that differ, a training vector in a partition without a code
// vector.
void FillEmptyPartitions(const Codebook* ts, Codebook* cb, Partitioning* p);
// The error of the partitioning with its own centroid codebook (made and
// released inside); an unknown error function is fatal.
double AverageErrorForPartitioning(const Codebook* ts, const Partitioning* p, int errorFunction);

// ===========================================================================
// Conversions between files
// ===========================================================================

// The program's two conversions, from files to a file, streaming: the
// training set is read a chunk at a time and never held whole, so memory
// holds the codebook (or the partitions' sums) and one chunk, whatever the
// number of training vectors; either input may be a pipe or a FIFO. The
// output file, the messages on both streams, their order (as if the
// training set were read whole before the second file) and the exits are
// those of the record functions called in turn, as listed below. A refused
// input ends the process (no output file and no temporary file is left);
// an existing output without overwrite 1, or an output that cannot be
// written, is reported as the writers report it and the call returns:
// LastWriteFailed (mirvo/file.h) tells which. The searches and sums run on
// worker threads for the duration of the call.

// ReadCodebook of both files; "ERROR: The codebook %s holds no vectors.\n"
// for an empty codebook; "ERROR: Training set and codebook dimensions differ
// (%d != %d).\n"; CreateNewPartitioning; GenerateOptimalPartitioningGeneral
// with ErrorMSE; WritePartitioning to partitioningName.
void ConvertToPartitioning(const char* trainingSetName, const char* codebookName, const char* partitioningName,
                           int overwrite);
// ReadCodebook of the training set; ReadPartitioning; CreateNewCodebook;
// GenerateOptimalCodebookGeneral with ErrorMSE; AddString of identity to the
// generation method (80); WriteCodebook to codebookName.
void ConvertToCodebook(const char* trainingSetName, const char* partitioningName, const char* codebookName,
                       const char* identity, int overwrite);

// ===========================================================================
// Neighbour graph
// ===========================================================================

struct GraphVector {  // malloc, as its arrays
  int Index;
  int* Coord;  // Dim coordinates
  int* NN;     // K neighbour indices, 0-based
};

struct Graph {  // malloc (AllocateMemoryForGraph), released by FreeGraph
  int NumberVectors = 0;
  int K = 0;
  int Dim = 0;
  int MaxCoord = 0;
  int MinCoord = 2147483647;
  GraphVector** Vectors = nullptr;  // NumberVectors slots (none when negative); null = empty
};

// Accessors and stores: indices are not range-checked except j against K;
// stores return 0 when done, 1 when not done (j >= K, or no memory). The
// three sizes take any value (GraphPutNumberVectors, GraphPutK, GraphPutDim
// set it and return 0), and the arrays follow, so that every index below a
// size stays in bounds: the slots follow the count (new ones empty, the
// vectors of dropped ones released), the neighbour and coordinate arrays of
// the vectors held follow K and the dimension (first entries kept, new ones
// 0). A negative size counts as 0 for the arrays: no index is valid, and
// GraphPutVector under a negative K or dimension gives 1. The three give 1,
// with nothing changed, only when memory is short. Allocation failures
// return null (or 1) after an "ERROR: Allocate error" message. No graph
// function ends the process: GraphWrite reports a file it cannot create or
// write and returns (LastWriteFailed, mirvo/file.h).
int GraphGetNumberVectors(const Graph* g);
int GraphPutNumberVectors(Graph* g, int n);
int GraphGetK(const Graph* g);
int GraphPutK(Graph* g, int k);
int GraphGetDim(const Graph* g);
int GraphPutDim(Graph* g, int dim);
int GraphGetMaxCoord(const Graph* g);
int GraphGetMinCoord(const Graph* g);
GraphVector* GraphGetVector(const Graph* g, int i);
int GraphGetVectorIndex(const GraphVector* v);
int* GraphGetVectorCoord(const GraphVector* v);
int GraphPutVectorElement(GraphVector* v, int i, int value);
GraphVector* GraphGetNNVector(const Graph* g, const GraphVector* v, int j);
int GraphPutNN(const Graph* g, GraphVector* v, int value, int j);
int IsGraphEdge(const Graph* g, const GraphVector* v, const GraphVector* w);
int GraphPutVector(Graph* g, int i, const int* coordinates);
// A new graph of n empty slots, owned by the caller until FreeGraph; null
// for a negative n, k or dim, or without memory.
Graph* AllocateMemoryForGraph(int n, int k, int dim);
GraphVector* AllocateMemoryForGraphVector(const Graph* g, int index);
int FreeGraphVector(Graph* g, int i);
// Releases every vector, the slots and the graph itself; 0.
int FreeGraph(Graph* g);
// A line of at most 1023 characters into a 1024-byte buffer; 0 when read
// and the file has not ended.
int readline(std::FILE* file, char* buffer);
GraphVector* ReadGraphVectorFromFile(std::FILE* file, Graph* g, int index);
int WriteGraphVectorToFile(std::FILE* file, const Graph* g, const GraphVector* v);
int WriteGraphkFileHeader(std::FILE* file, const Graph* g);
// A new graph sized from the header (AllocateMemoryForGraph, its slots
// empty), whatever the rest of the file holds; null when it is not a graph
// header (not "Graph v.", a number that cannot be read, or a negative one).
Graph* ReadGraphFileHeader(std::FILE* file);
// The whole graph file, or null after a message (missing file, a line that
// is missing or holds the wrong count of numbers). A header that announces
// more vectors than the rest of the file has bytes for (one line break
// each at least) gives null at once, with nothing allocated for them.
Graph* GraphRead(const char* name);
// Writes the graph file, all or nothing; an existing file without
// overwrite == 1 is reported and left, an empty slot refused with a message.
void GraphWrite(const char* name, const Graph* g, int overwrite);
// Every vector line on standard output; 0.
int GraphPrint(const Graph* g);
// 1 when the file begins with a header that ReadGraphFileHeader takes,
// else 0; the graph it announces is not made.
int IsGraphFile(const char* name);

}  // namespace mirvo
