// The MIRVO front end: option table, command line, usage text, option values
// in files and the conversion dispatch.
#pragma once

#include <cstdio>
#include <string>

namespace mirvo {

struct ParameterEntry {
  const char* Document;
  char Key;
  int Number;  // 0: the option without a value; j: the j-th value of its list
  int Type;    // 0 yes/no, 1 integer, 2 named value
  int Value;
  int Min;
  int Max;
  int Default;
  int SaveToFile;
  const char* NameOfValue[10];
  int ShallWePrint;
};

// Entries 0 and 3 frame the two live entries: 1 (Q, quiet level) and 2 (O,
// overwrite existing file).
extern ParameterEntry Parameter[4];

const char* Document_(int i);
int Key_(int i);
int Number_(int i);
int Type_(int i);
int Value_(int i);
void SetValue_(int i, int value);
int Min_(int i);
int Max_(int i);
int Default_(int i);
int SaveToFile_(int i);
const char* NameOfValue_(int i, int value);
int ShallWePrint_(int i);

struct NameSlot {
  std::string* FileName;         // receives the name; emptied when unfilled
  const char* DefaultExtension;  // added by CheckFileName when not empty
  int OptionalLevel;             // 0 required; n: filled when n spare names
  int Role;                      // 1 input, 3 exempt from the clash test
};

void SetDefaultValuesForParameters();
void InitializePrintingConditions();
void ParseOption(const char* argument);
int ParseOptions(int argc, char** argv);
void ParseNames(int argc, char** argv, int slotCount, int nameCount, NameSlot* slots);
int ParseParameters(int argc, char** argv, int slotCount, NameSlot* slots);

void PrintInfo();
void PrintOptions();
void PrintSyntax(int letter, int numbered);
void PrintDocumentation(int letter, int entry, int position, int numbered);
void PrintSelectedOptions();
void PrintOperatingInfo(const char* trainingSet, const char* codebook, const char* partitioning);

void WriteOptions(std::FILE* stream);
void ReadOptions(std::FILE* stream);

// MIRVO_IDENTITY (mirvo/version.h), the identity stored in the codebooks
// written.
std::string InfoLine();

// The name of a conversion's output: the second input's name cut at the
// first '.' of its last path component, with the extension added.
std::string OutputFileName(const std::string& second, const char* extension);

// The program: parses the command line and runs one conversion. On a
// terminal, a conversion that goes on for more than progressDelayMilliseconds
// shows its progress (the program waits a second; the tests need not).
int MirvoMain(int argc, char** argv, int progressDelayMilliseconds = 1000);

}  // namespace mirvo
