#include "support/file_bytes.h"

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>

namespace mirvo::test {

std::string BigEndian(std::uint32_t value, int width) {
  std::string bytes;
  for (int k = width - 1; k >= 0; --k) bytes.push_back(static_cast<char>((value >> (8 * k)) & 0xFFu));
  return bytes;
}

namespace {

std::string Header(bool codebook, int vectorSizeX, int vectorSizeY, std::int64_t count, std::int64_t total,
                   int bytesPerElement, const std::string& generationMethod) {
  std::ostringstream text;
  text << (codebook ? "VQ CODEBOOK 2.0" : "VQ TRAINING SET 2.0") << "\n"
       << vectorSizeX << "\n"
       << vectorSizeY << "\n"
       << count << "\n"
       << total << "\n"
       << bytesPerElement << "\n0\n0\n0\n";
  if (!generationMethod.empty()) text << generationMethod << "\n";
  text << "-------------------------------------\n";
  return text.str();
}

void AppendRecord(std::string& bytes, const VectorSpec& v, int bytesPerElement) {
  bytes += v.name;
  bytes.push_back('\0');
  for (const int e : v.elements) bytes += BigEndian(static_cast<std::uint32_t>(e), bytesPerElement);
  bytes += BigEndian(static_cast<std::uint32_t>(v.freq), 4);
}

}  // namespace

std::string SetFileBytes(const std::vector<VectorSpec>& vectors, int vectorSizeX, int vectorSizeY, int bytesPerElement,
                         bool codebook, const std::string& generationMethod) {
  std::int64_t total = 0;
  for (const auto& v : vectors) total += v.freq;
  std::string bytes = Header(codebook, vectorSizeX, vectorSizeY, static_cast<std::int64_t>(vectors.size()), total,
                             bytesPerElement, generationMethod);
  for (const auto& v : vectors) AppendRecord(bytes, v, bytesPerElement);
  return bytes;
}

std::string SparseCodebookBytes(const std::vector<std::pair<int, VectorSpec>>& entries, int bookSize, int vectorSizeX,
                                int vectorSizeY, int bytesPerElement, const std::string& generationMethod) {
  std::int64_t total = 0;
  for (const auto& e : entries) total += e.second.freq;
  std::string bytes = Header(true, vectorSizeX, vectorSizeY, bookSize, total, bytesPerElement, generationMethod);
  const std::size_t empty = 1 + static_cast<std::size_t>(vectorSizeX) * vectorSizeY * bytesPerElement + 4;
  int next = 0;
  for (const auto& [index, v] : entries) {
    bytes.append(static_cast<std::size_t>(index - next) * empty, '\0');
    AppendRecord(bytes, v, bytesPerElement);
    next = index + 1;
  }
  bytes.append(static_cast<std::size_t>(bookSize - next) * empty, '\0');
  return bytes;
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace mirvo::test
