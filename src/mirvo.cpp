// MIRVO: converts a training set and a codebook into the optimal
// partitioning, or a training set and a partitioning into the centroid
// codebook.
#include "mirvo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/file.h"
#include "mirvo/interfc.h"
#include "mirvo/mirvo.h"
#include "mirvo/version.h"

namespace mirvo {

namespace {

constexpr char kOptionChar = '-';
constexpr int kFirstLive = 1;
constexpr int kLastLive = 2;
constexpr int kQuietLevel = 1;
constexpr int kOverwrite = 2;
constexpr int kMaxValues = 19;

// Option and argument errors end like every other fatal path, so that an
// installed exit handler sees them too.
[[noreturn]] void Quit() { ExitProcessing(-1); }

void PrintIdentity() { std::printf("\n%s\n", MIRVO_IDENTITY_LINE); }

std::string Rendered(int entry, int value) {
  const ParameterEntry& e = Parameter[entry];
  switch (e.Type) {
    case 1:
      return value == -1 ? "NOT DEFINED" : std::to_string(value);
    case 2:
      // A value without a name is shown as its number.
      if (value >= 0 && value < 10 && e.NameOfValue[value] != nullptr) return e.NameOfValue[value];
      return std::to_string(value);
    case 0:
      return value != 0 ? "YES" : "NO";
    default:
      return std::string();
  }
}

// The first live entry with this letter and value position, or -1.
int FindEntry(int letter, int number) {
  for (int i = kFirstLive; i <= kLastLive; ++i) {
    if (Key_(i) == letter && Parameter[i].Number == number) return i;
  }
  return -1;
}

void SetFromOption(int entry, int letter, int position, int value) {
  ParameterEntry& e = Parameter[entry];
  if (e.Type == 0) {
    e.Value = 1;
  } else if (e.Type == 1 || e.Type == 2) {
    if (value < e.Min || value > e.Max) {
      std::printf("ERROR: Parameter %c(%i) = %i is out of range [%i,%i].\n", letter, position, value, e.Min, e.Max);
      Quit();
    }
    e.Value = value;
  }
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

[[noreturn]] void KindError(const char* message) {
  ErrorMessage("%s", message);
  PrintInfo();
  ExitProcessing(-1);
}

}  // namespace

ParameterEntry Parameter[4] = {
    {" ", ' ', 0, 0, 0, 0, 0, 0, 0, {}, 0},
    {"Quiet level", 'Q', 1, 1, 0, 0, 99, 2, 0, {}, 0},
    {"Overwrite existing file", 'O', 0, 0, 0, 0, 1, 0, 0, {}, 0},
    {" ", ' ', 0, 0, 0, 0, 0, 0, 0, {}, 0},
};

const char* Document_(int i) { return Parameter[i].Document; }
int Key_(int i) { return static_cast<unsigned char>(Parameter[i].Key); }
int Number_(int i) { return Parameter[i].Number; }
int Type_(int i) { return Parameter[i].Type; }
int Value_(int i) { return Parameter[i].Value; }
void SetValue_(int i, int value) { Parameter[i].Value = value; }
int Min_(int i) { return Parameter[i].Min; }
int Max_(int i) { return Parameter[i].Max; }
int Default_(int i) { return Parameter[i].Default; }
int SaveToFile_(int i) { return Parameter[i].SaveToFile; }
const char* NameOfValue_(int i, int value) { return Parameter[i].NameOfValue[value]; }
int ShallWePrint_(int i) { return Parameter[i].ShallWePrint; }

void SetDefaultValuesForParameters() {
  for (int i = kFirstLive; i <= kLastLive; ++i) Parameter[i].Value = Parameter[i].Default;
}

void InitializePrintingConditions() {
  for (int i = kFirstLive; i <= kLastLive; ++i) Parameter[i].ShallWePrint = 0;
}

void ParseOption(const char* argument) {
  const int letter = std::toupper(static_cast<unsigned char>(argument[1]));
  const char* s = argument[1] != '\0' ? argument + 2 : argument + 1;
  std::vector<int> values;
  while (*s != '\0' && static_cast<int>(values.size()) < kMaxValues) {
    if (*s == ',') {
      values.push_back(-1);
      ++s;
    } else if (std::isdigit(static_cast<unsigned char>(*s)) != 0) {
      long long number = 0;
      for (; std::isdigit(static_cast<unsigned char>(*s)) != 0; ++s) {
        number = std::min<long long>(number * 10 + (*s - '0'), INT_MAX);
      }
      values.push_back(static_cast<int>(number));
      s = std::strchr(s, ',');
      if (s == nullptr) break;
      ++s;
    } else {
      ++s;
    }
  }
  bool recognised = false;
  const int bare = FindEntry(letter, 0);
  if (bare != -1) {
    SetFromOption(bare, letter, 0, 1);
    recognised = true;
  }
  for (std::size_t j = 0; j < values.size(); ++j) {
    const int entry = FindEntry(letter, static_cast<int>(j) + 1);
    if (entry == -1) continue;
    SetFromOption(entry, letter, static_cast<int>(j) + 1, values[j]);
    recognised = true;
  }
  if (!recognised) {
    std::printf("ERROR: Unknown option %c%c found.\n", kOptionChar, letter);
    Quit();
  }
}

int ParseOptions(int argc, char** argv) {
  int names = 0;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == kOptionChar) {
      ParseOption(argv[i]);
    } else {
      ++names;
    }
  }
  return names;
}

namespace {

// The usage text after an error, when the count of names does not fit the
// slots; else the names beyond those the slots require.
int SpareNames(int slotCount, int nameCount, const NameSlot* slots) {
  if (nameCount > slotCount) {
    std::printf("ERROR: Too many parameters\n");
    std::printf("\n");
    PrintInfo();
    Quit();
  }
  int required = 0;
  for (int s = 0; s < slotCount; ++s) {
    if (slots[s].OptionalLevel == 0) ++required;
  }
  if (nameCount < required) {
    if (nameCount >= 1) {
      std::printf("ERROR: Too few parameters\n");
      std::printf("\n");
    }
    PrintInfo();
    Quit();
  }
  return nameCount - required;
}

// Two names of slots that may not be the same file: an error.
void CheckClashes(int slotCount, const NameSlot* slots) {
  for (int i = 0; i < slotCount; ++i) {
    for (int k = 0; k < i; ++k) {
      if (slots[i].Role == 3 || slots[k].Role == 3 || (slots[i].Role == 1 && slots[k].Role == 1)) continue;
      if (!slots[i].FileName->empty() && !slots[k].FileName->empty() &&
          EqualFileNames(*slots[k].FileName, *slots[i].FileName) != 0) {
        std::printf("ERROR: Input and output filenames should be different. (%s)\n", slots[i].FileName->c_str());
        Quit();
      }
    }
  }
}

}  // namespace

void ParseNames(int argc, char** argv, int slotCount, int nameCount, NameSlot* slots) {
  const int spare = SpareNames(slotCount, nameCount, slots);
  int slot = 0;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == kOptionChar) continue;
    while (slot < slotCount && slots[slot].OptionalLevel > spare) slots[slot++].FileName->clear();
    // Names beyond the slots their levels admit are not used.
    if (slot == slotCount) break;
    NameSlot& target = slots[slot++];
    *target.FileName = argv[i];
    if (target.DefaultExtension != nullptr && target.DefaultExtension[0] != '\0') {
      CheckFileName(*target.FileName, target.DefaultExtension);
    }
  }
  for (; slot < slotCount; ++slot) slots[slot].FileName->clear();
  InitializePrintingConditions();
  CheckClashes(slotCount, slots);
}

int ParseParameters(int argc, char** argv, int slotCount, NameSlot* slots) {
  SetDefaultValuesForParameters();
  const int names = ParseOptions(argc, argv);
  ParseNames(argc, argv, slotCount, names, slots);
  return names;
}

void PrintInfo() {
  PrintIdentity();
  std::printf("This program converts given codebook and trainingset to partition\n");
  std::printf("or, alternatively, it converts given partition and trainingset to codebook.\n");
  std::printf("Usage (cb->pa): %s [%coption] <training-set> <codebook>\n", MIRVO_PROGRAM_NAME, kOptionChar);
  std::printf("or (pa->cb):    %s [%coption] <training-set> <partitioning>\n", MIRVO_PROGRAM_NAME, kOptionChar);
  std::printf("For example: %s bridge bridge-km\n", MIRVO_PROGRAM_NAME);
  std::printf("\n  Options:\n");
  PrintOptions();
  PrintIdentity();
}

void PrintOptions() {
  for (int letter = 'A'; letter <= 'Z'; ++letter) {
    int numbered = 0;
    for (int i = kFirstLive; i <= kLastLive; ++i) {
      if (Key_(i) == letter && Parameter[i].Number > 0) ++numbered;
    }
    PrintSyntax(letter, numbered);
    for (int j = 1; j <= 10; ++j) {
      const int entry = FindEntry(letter, j);
      if (entry != -1) PrintDocumentation(letter, entry, j, numbered);
    }
  }
}

void PrintSyntax(int letter, int numbered) {
  bool known = false;
  for (int i = kFirstLive; i <= kLastLive; ++i) known = known || Key_(i) == letter;
  if (!known) return;
  switch (numbered) {
    case 0:
      std::printf("  %c%c               = ", kOptionChar, letter);
      break;
    case 1:
      std::printf("  %c%cn              = ", kOptionChar, letter);
      break;
    case 2:
      std::printf("  %c%cn1,n2          = ", kOptionChar, letter);
      break;
    case 3:
      std::printf("  %c%cn1,n2,n3       = ", kOptionChar, letter);
      break;
    default:
      std::printf("  %c%c[n1,n2,..n%i]   = ", kOptionChar, letter, numbered);
      break;
  }
  const int bare = FindEntry(letter, 0);
  if (bare != -1) {
    PrintDocumentation(letter, bare, 0, 0);
  } else if (numbered > 1) {
    std::printf("\n");
  }
}

void PrintDocumentation(int letter, int entry, int position, int numbered) {
  if (numbered == 1 && FindEntry(letter, 0) != -1) {
    std::printf("                      n: ");
  } else if (numbered > 1) {
    std::printf("                      n%1i: ", position);
  }
  const ParameterEntry& e = Parameter[entry];
  std::printf("%s", e.Document);
  switch (e.Type) {
    case 1:
      std::printf(" (%s..%s, default=%s)\n", Rendered(entry, e.Min).c_str(), Rendered(entry, e.Max).c_str(),
                  Rendered(entry, e.Default).c_str());
      break;
    case 0:
      std::printf(" (default=%s)\n", Rendered(entry, e.Default).c_str());
      break;
    case 2:
      std::printf("\n");
      for (int v = e.Min; v <= e.Max; ++v) {
        std::printf("                            %1i = %s%s\n", v, Rendered(entry, v).c_str(),
                    v == e.Default ? " (default)" : "");
      }
      break;
    default:
      break;
  }
}

void PrintSelectedOptions() {
  for (int i = kFirstLive; i <= kLastLive; ++i) {
    if (Parameter[i].ShallWePrint != 0) {
      std::printf("%-25s = %s\n", Parameter[i].Document, Rendered(i, Parameter[i].Value).c_str());
    }
  }
}

void PrintOperatingInfo(const char* trainingSet, const char* codebook, const char* partitioning) {
  const int quiet = Value_(kQuietLevel);
  if (quiet > 1) {
    PrintIdentity();
    std::printf("Training Set: %s\n", trainingSet);
    std::printf("Codebook:     %s\n", codebook);
    std::printf("Partitioning: %s\n", partitioning);
    PrintSelectedOptions();
    std::printf("\n");
  } else if (quiet == 1) {
    std::printf("%-12s ", trainingSet);
    std::printf("%-12s ", codebook);
  }
}

void WriteOptions(std::FILE* stream) {
  for (int i = kFirstLive; i <= kLastLive; ++i) {
    if (Parameter[i].SaveToFile != 0) WriteIntegerToFile(stream, Parameter[i].Value, 2);
  }
}

void ReadOptions(std::FILE* stream) {
  for (int i = kFirstLive; i <= kLastLive; ++i) {
    if (Parameter[i].SaveToFile != 0) ReadIntegerFromFile(stream, &Parameter[i].Value, 2);
  }
}

std::string InfoLine() { return MIRVO_IDENTITY; }

std::string OutputFileName(const std::string& second, const char* extension) {
  const auto folder = second.find_last_of("/\\");
  const std::size_t component = folder == std::string::npos ? 0 : folder + 1;
  std::string name = second.substr(0, std::min(second.size(), second.find('.', component)));
  CheckFileName(name, extension);
  return name;
}

int MirvoMain(int argc, char** argv, int progressDelayMilliseconds) {
  // A file-size limit makes a write fail with an error the writer reports,
  // instead of killing the process half-way through a file. A signal
  // clears the progress line and removes a half-written output; once the
  // output is in place, the run ends with its own status.
  std::signal(SIGXFSZ, SIG_IGN);
  CatchInterrupts();

  std::string names[2];
  NameSlot slots[2] = {{&names[0], "", 0, 1}, {&names[1], "", 0, 1}};
  ParseParameters(argc, argv, 2, slots);
  // On a terminal, a conversion that takes more than about a second shows
  // its progress on standard error; pipes and files never see it.
  SetTimedProgress(isatty(STDERR_FILENO) != 0 && Value_(kQuietLevel) >= 2, progressDelayMilliseconds);

  const int first = DetermineCBFileTypeConsideringOrder(names[0], 12);
  const int second = DetermineCBFileTypeConsideringOrder(names[1], 231);
  if (first == KindNone || second == KindNone) {
    KindError("\nERROR: You must give two valid files: one ts file and one cb or pa file.\n\n");
  }
  if (first != KindTrainingSet) KindError("\nERROR: The first given file must be a ts file.\n\n");
  if (second != KindCodebook && second != KindPartitioning) {
    KindError("\nERROR: You must give a cb or pa file as input file.\n\n");
  }

  const int overwrite = Value_(kOverwrite);
  const std::string output = OutputFileName(names[1], second == KindCodebook ? "pa" : "cb");
  // Replacing an input by the output would destroy it before it is read.
  if (overwrite == 1 && (SameFile(output, names[0]) || SameFile(output, names[1]))) {
    std::printf("ERROR: Input and output filenames should be different. (%s)\n", output.c_str());
    Quit();
  }

  if (second == KindCodebook) {
    PrintOperatingInfo(names[0].c_str(), names[1].c_str(), output.c_str());
  } else {
    PrintOperatingInfo(names[0].c_str(), output.c_str(), names[1].c_str());
  }
  // The report goes out before anything is written: a closed standard
  // output ends the run now, not after its output has been put in place.
  std::fflush(stdout);
  if (second == KindCodebook) {
    ConvertToPartitioning(names[0].c_str(), names[1].c_str(), output.c_str(), overwrite);
  } else {
    ConvertToCodebook(names[0].c_str(), names[1].c_str(), output.c_str(), InfoLine().c_str(), overwrite);
  }
  // The writer has said why it could not write; an existing file kept
  // without -O is no failure.
  if (LastWriteFailed() < 0) ExitProcessing(-1);
  TimedProgressFinish();
  return 0;
}

}  // namespace mirvo
