#include "support/file_bytes.h"

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>

namespace mirvotest {

std::string BigEndian(std::uint32_t value, int width) {
  std::string bytes;
  for (int k = width - 1; k >= 0; --k) bytes.push_back(static_cast<char>((value >> (8 * k)) & 0xFFu));
  return bytes;
}

std::string SetFileBytes(const std::vector<VectorSpec>& vectors, int vectorSizeX, int vectorSizeY, int bytesPerElement,
                         bool codebook, const std::string& generationMethod) {
  std::int64_t total = 0;
  for (const auto& v : vectors) total += v.freq;
  std::ostringstream text;
  text << (codebook ? "VQ CODEBOOK 2.0" : "VQ TRAINING SET 2.0") << "\n"
       << vectorSizeX << "\n"
       << vectorSizeY << "\n"
       << vectors.size() << "\n"
       << total << "\n"
       << bytesPerElement << "\n0\n0\n0\n";
  if (!generationMethod.empty()) text << generationMethod << "\n";
  text << "-------------------------------------\n";
  std::string bytes = text.str();
  for (const auto& v : vectors) {
    bytes += v.name;
    bytes.push_back('\0');
    for (const int e : v.elements) bytes += BigEndian(static_cast<std::uint32_t>(e), bytesPerElement);
    bytes += BigEndian(static_cast<std::uint32_t>(v.freq), 4);
  }
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

}  // namespace mirvotest
