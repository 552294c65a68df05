// Vector sets (training sets and codebooks), partitionings, distances and
// optimisation, and the neighbour graph.
//
// Records are plain values owned by their user; everything they point to
// belongs to the record and is released by its free operation. Errors are
// reported with ErrorMessage and end the process with ExitProcessing(-1).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// ===========================================================================
// File kinds and header lines
// ===========================================================================

enum FileKind { KindNone = 0, KindTrainingSet = 1, KindCodebook = 2, KindPartitioning = 3 };

// Writes the header line of a kind ("VQ TRAINING SET 2.0", "VQ CODEBOOK 2.0",
// "VQ PARTITIONING 2.0") into an 80-byte buffer.
void SetVerString(char* buffer, int kind);
// The kind named by the text's prefix, 0 if none.
int RecognizeVersionstr(const char* text);
// The kind of the named file from its first line, 0 if it cannot be read.
int AnalyzeFileType(const char* name);
// The kind of the named file, trying the name unchanged and then with the
// extensions named by the decimal digits of `order` (1 "ts", 2 "cb",
// 3 "pa"). When found under an added extension, the name is completed.
int DetermineCBFileTypeConsideringOrder(std::string& name, int order);
// Removes one trailing line feed. Empty or missing text is fatal.
char* RemoveLineBreak(char* text);
char* ClearString(char* text);

// ===========================================================================
// Codebook record
// ===========================================================================

struct BookNode {
  int* Vector;      // dimension elements
  int VectorMean;   // mean of the elements, rounded
  int Freq;         // how many times the vector occurs
  char* Name;       // owned text, or null for no name
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
  BookNode* Book = nullptr;
  int AllocatedSize = 0;

  Codebook() = default;
  Codebook(const Codebook&) = delete;
  Codebook& operator=(const Codebook&) = delete;
  // Releases what the record still owns, so that a record left behind by an
  // unwinding error handler does not leak.
  ~Codebook();

  // The array behind Book, released by FreeCodebook, and the dimension its
  // vectors were made with. The vectors a record makes for its entries lie
  // in one block, but each entry owns its vector as a separate one would be
  // owned (see FreeVector).
  std::unique_ptr<BookNode[]> BookStore;
  std::size_t StoredDimension = 0;
};

// Dimension of a record: VectorSizeX * VectorSizeY.
inline int VectorSize(const Codebook* cb) { return cb->VectorSizeX * cb->VectorSizeY; }

// Standalone vectors and nodes. The entries of a Codebook hold vectors inside
// the record's block: they are released with the record, never with
// FreeVector or FreeNode.
int* CreateEmptyVector(int count);
void CopyVector(const int* source, int* destination, int count);
void FreeVector(int* vector);
BookNode CreateEmptyNode(int count);
void CopyNode(const BookNode* source, BookNode* destination, int count);
void FreeNode(BookNode* node);
void ChangeVectorName(BookNode* node, const char* name);

Codebook* AllocateMemoryForBook(Codebook* cb);
void CreateNewCodebook(Codebook* cb, int bookSize, const Codebook* templ);
void CreateNewTrainingSet(Codebook* cb, int bookSize, int vectorSizeX, int vectorSizeY, int bytesPerElement,
                          int reservedValue, int errorScaling, int inheritLevel, const char* generationMethod);
void CopyCodebookHeader(const Codebook* source, Codebook* destination);
void CopyCodebook(const Codebook* source, Codebook* destination);
void SetAllocatedCodebookSize(Codebook* cb, int newAllocatedSize);
void IncreaseCodebookSize(Codebook* cb, int newSize);
void DecreaseCodebookSize(Codebook* cb, int newSize);
void ChangeCodebookSize(Codebook* cb, int newSize);
void FreeCodebook(Codebook* cb);
// Appends text to a zero-terminated field of `size` bytes, keeping at most
// size-1 characters.
void AddString(char* field, const char* text, int size);

// ===========================================================================
// Codebook and training-set files
// ===========================================================================

void WriteCodebook(const char* name, Codebook* cb, int overwrite);
void ReadCodebook(const char* name, Codebook* cb);

// ===========================================================================
// Codebook utilities
// ===========================================================================

int CompareVectors(const int* a, const int* b, int count);
int DuplicatesInCodebook(const Codebook* cb);
void CalculateVectorMeans(Codebook* cb);
void AddCodebook(Codebook* destination, const Codebook* source);
void UnrollTrainingSet(Codebook* cb);
void PrintVector(const int* vector, int rows, int columns);
void PrintCodebook(const Codebook* cb);

// ===========================================================================
// Partitioning record
// ===========================================================================

struct PartitionSum {
  std::int64_t* VectorSum;  // per element: sum of Freq * element over members
  int CCFreq;               // sum of Freq over members
};

struct Partitioning {
  char VersionString[80] = {};
  int PartitionCount = 0;
  int TrainingSetSize = 0;
  int* PartitionOf = nullptr;   // per training vector; -1 = unassigned
  int* FirstVector = nullptr;   // per partition slot; -1 = empty
  int* NextVector = nullptr;    // per training vector; -1 ends a list
  PartitionSum* Sums = nullptr;  // per partition slot
  int* MemberCount = nullptr;   // per partition slot
  int Dimension = 0;
  char GenerationMethod[80] = {};
  int AllocatedPartitions = 0;

  // Storage behind the arrays, released by FreePartitioning. The VectorSum
  // buffers of all slots lie in one block of AllocatedPartitions * Dimension.
  std::unique_ptr<int[]> PartitionOfStore;
  std::unique_ptr<int[]> NextVectorStore;
  std::unique_ptr<int[]> FirstVectorStore;
  std::unique_ptr<int[]> MemberCountStore;
  std::unique_ptr<PartitionSum[]> SumsStore;
  std::unique_ptr<std::int64_t[]> VectorSumStore;
};

void CreateNewPartitioning(Partitioning* p, const Codebook* ts, int partitionCount);
void AddToPartition(const Codebook* ts, Partitioning* p, int partition, int vector);
void ChangePartition(const Codebook* ts, Partitioning* p, int newPartition, int vector);
void ChangePartitionFast(const Codebook* ts, Partitioning* p, int newPartition, int vector, int predecessor);
void FreePartitioning(Partitioning* p);

void WritePartitioning(const char* name, const Partitioning* p, const Codebook* ts, int overwrite);
void ReadPartitioning(const char* name, Partitioning* p, const Codebook* ts);

void JoinPartitions(const Codebook* ts, Partitioning* p, int keep, int gone);
void PutAllInOwnPartition(const Codebook* ts, Partitioning* p);
void ChangeNumberOfPartitions(Partitioning* p, int newCount);
void IncreaseNumberOfPartitions(Partitioning* p, int newCount);
void DecreaseNumberOfPartitions(Partitioning* p, int newCount);
void SetNumberOfAllocatedPartitions(Partitioning* p, int newSlots);
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
// metrics 0 and 1 a result at or above the bound may be partial.
std::int64_t VectorDistance(const int* a, const int* b, int count, std::int64_t bound, int metric);
int DistType(int errorFunction);
double AverageErrorForSolution(const Codebook* ts, const Codebook* cb, const Partitioning* p, int errorFunction);
double AverageErrorForSolutionMeanError(const Codebook* ts, const Codebook* cb, const Partitioning* p, int metric);
double PrintableError(double error, const Codebook* cb);

// ===========================================================================
// Optimal partitioning
// ===========================================================================

// Index of the code vector nearest to the training entry: the start index
// when it is among the nearest, else the lowest index at the smallest
// distance. The complete distance is stored in *distance.
int FindNearestVector(const BookNode* trainingEntry, const Codebook* cb, std::int64_t* distance, int start,
                      int metric);
double GenerateOptimalPartitioningGeneral(const Codebook* ts, const Codebook* cb, Partitioning* p,
                                          int errorFunction);
// The optimal partitioning of a training-set file for a codebook file,
// written to a partitioning file, without the records of the training set
// and the partitioning: the same file, messages and exits as ReadCodebook of
// both files, the refusal of a codebook without vectors ("ERROR: The
// codebook %s holds no vectors.\n") or of another dimension,
// CreateNewPartitioning, GenerateOptimalPartitioningGeneral with ErrorMSE and
// WritePartitioning. The training-set record receives the header fields (and
// TotalFreq) only, no entries; the codebook record is read whole.
void GenerateOptimalPartitioningFromFiles(const char* trainingSetName, const char* codebookName,
                                          const char* partitioningName, int overwrite, Codebook* ts, Codebook* cb);
double GenerateOptimalPartitioningMeanError(const Codebook* ts, const Codebook* cb, Partitioning* p, int metric);
void RepartitionDueToNewVectorsGeneral(const Codebook* ts, const Codebook* cb, Partitioning* p,
                                       const int* newVectors, int count, int metric);
void RepartitionDueToNewVectorGeneral(const Codebook* ts, const Codebook* cb, Partitioning* p, int newVector,
                                      int metric);
void LocalRepartitioningGeneral(const Codebook* ts, const Codebook* cb, Partitioning* p, int partition, int metric);
// The partitioning may be null.
double AverageErrorCBFast(const Codebook* ts, const Codebook* cb, const Partitioning* p, int errorFunction);
double AverageErrorCBFastMeanError(const Codebook* ts, const Codebook* cb, const Partitioning* p, int metric);

// ===========================================================================
// Optimal codebook
// ===========================================================================

void PartitionCentroid(const Partitioning* p, int partition, BookNode* target);
void GenerateOptimalCodebookGeneral(const Codebook* ts, Codebook* cb, const Partitioning* p, int errorFunction);
void GenerateOptimalCodebookMSE(const Codebook* ts, Codebook* cb, const Partitioning* p);
void CodebookCentroid(const Codebook* cb, int* centroid);
// The codebook of the centroids of a training set's partitions, read from
// the training-set and partitioning files in one pass without keeping their
// records: the same codebook, messages and exits as ReadCodebook of the
// training set, ReadPartitioning, CreateNewCodebook and
// GenerateOptimalCodebookGeneral with ErrorMSE. The training-set record
// receives the header fields (and TotalFreq) only, no entries.
void GenerateOptimalCodebookFromFiles(const char* trainingSetName, const char* partitioningName, Codebook* ts,
                                      Codebook* cb);
void FillEmptyPartitions(const Codebook* ts, Codebook* cb, Partitioning* p);
double AverageErrorForPartitioning(const Codebook* ts, const Partitioning* p, int errorFunction);

// ===========================================================================
// Neighbour graph
// ===========================================================================

struct GraphVector {
  int Index;
  int* Coord;  // Dim coordinates
  int* NN;     // K neighbour indices, 0-based
};

struct Graph {
  int NumberVectors = 0;
  int K = 0;
  int Dim = 0;
  int MaxCoord = 0;
  int MinCoord = 2147483647;
  GraphVector** Vectors = nullptr;  // NumberVectors slots; null = empty

  std::unique_ptr<GraphVector*[]> VectorsStore;
};

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
Graph* AllocateMemoryForGraph(int n, int k, int dim);
GraphVector* AllocateMemoryForGraphVector(const Graph* g, int index);
int FreeGraphVector(Graph* g, int i);
int FreeGraph(Graph* g);
int readline(std::FILE* file, char* buffer);
GraphVector* ReadGraphVectorFromFile(std::FILE* file, Graph* g, int index);
int WriteGraphVectorToFile(std::FILE* file, const Graph* g, const GraphVector* v);
int WriteGraphkFileHeader(std::FILE* file, const Graph* g);
Graph* ReadGraphFileHeader(std::FILE* file);
Graph* GraphRead(const char* name);
void GraphWrite(const char* name, const Graph* g, int overwrite);
int GraphPrint(const Graph* g);
int IsGraphFile(const char* name);
