// Bytes of the data files and folder listings, shared by the tests and the
// fuzz targets (no test framework needed).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace mirvo::test {

// Big-endian bytes of a value of the given width.
std::string BigEndian(std::uint32_t value, int width);

// One vector of a training set or codebook: elements, frequency and name
// (empty: no name).
struct VectorSpec {
  std::vector<int> elements;
  int freq = 1;
  std::string name;
};

// The bytes of a version 2 file for the vectors, as the format lays it out.
std::string SetFileBytes(const std::vector<VectorSpec>& vectors, int vectorSizeX, int vectorSizeY, int bytesPerElement,
                         bool codebook = false, const std::string& generationMethod = "");

// The bytes of a version 2 codebook of bookSize entries: the given ones (in
// ascending order of their indices) where they stand, every other one
// without a name, of zero elements and frequency 0, as the centroids of
// empty partitions are written.
std::string SparseCodebookBytes(const std::vector<std::pair<int, VectorSpec>>& entries, int bookSize, int vectorSizeX,
                                int vectorSizeY, int bytesPerElement, const std::string& generationMethod);

// Names of the entries of a folder, sorted.
std::vector<std::string> ListFolder(const std::string& path);

}  // namespace mirvo::test
