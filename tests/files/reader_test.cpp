// The buffered reader and the coding header against plain references: the
// block decoder and the encoder against byte-by-byte shifting, the integer
// scanner against the C library's "%i".
#include "files/reader.h"
#include "mirvo/mirvo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "mirvo/file.h"

namespace mirvo::test {
namespace {

// The next field of `width` bytes, most significant first, assembled byte
// by byte; false when the stream ends inside it.
bool PlainBigEndian(std::FILE* f, int width, int* value) {
  std::uint32_t v = 0;
  for (int k = 0; k < width; ++k) {
    const int c = std::getc(f);
    if (c == EOF) return false;
    v = (v << 8) | static_cast<std::uint32_t>(c);
  }
  *value = static_cast<int>(v);
  return true;
}

std::FILE* StreamOf(const std::string& bytes) {
  std::FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

TEST(FileReader, BlockDecodingMatchesByteWiseReading) {
  std::mt19937 random(5);
  std::string bytes(3'500'000, '\0');  // several of the reader's 1 MiB blocks
  for (char& b : bytes) b = static_cast<char>(random());
  std::FILE* plain = StreamOf(bytes);
  std::FILE* blocks = StreamOf(bytes);
  std::fseek(plain, 3, SEEK_SET);  // the reader starts where its stream stands
  std::fseek(blocks, 3, SEEK_SET);
  FileReader reader(blocks);
  for (bool end = false; !end;) {
    ASSERT_EQ(*reader.Remaining(), bytes.size() - static_cast<std::size_t>(std::ftell(plain)));
    if (random() % 4 == 0) {
      ASSERT_EQ(reader.Get(), std::getc(plain));
      continue;
    }
    const int width = static_cast<int>(random() % 4) + 1;
    const std::size_t count = random() % 3 == 0 ? random() % 400'000 : random() % 50;
    std::vector<int> decoded(count), expected;
    const auto start = static_cast<std::size_t>(std::ftell(plain));
    decoded.resize(ReadBigEndianBlock(reader, decoded.data(), count, width));
    for (std::size_t i = 0; i < count && !end; ++i) {
      int value = 0;
      end = !PlainBigEndian(plain, width, &value);
      if (!end) expected.push_back(value);
    }
    ASSERT_EQ(decoded, expected);
    // Encoding the values again gives the bytes they came from.
    std::vector<unsigned char> encoded(decoded.size() * static_cast<std::size_t>(width));
    EncodeBigEndian(decoded.data(), decoded.size(), width, encoded.data());
    ASSERT_EQ(std::string(encoded.begin(), encoded.end()), bytes.substr(start, encoded.size()));
  }
  EXPECT_LT(*reader.Remaining(), 4u);  // a part of a field is left unread
  std::fclose(plain);
  std::fclose(blocks);

  int ends[2], value = 0;  // a pipe is read as it comes: its size is not known
  ASSERT_TRUE(::pipe(ends) == 0 && ::write(ends[1], "\x01\x02\x03", 3) == 3 && ::close(ends[1]) == 0);
  std::FILE* pipe = ::fdopen(ends[0], "rb");
  FileReader piped(pipe);
  EXPECT_FALSE(piped.Remaining().has_value());
  EXPECT_EQ(ReadBigEndianBlock(piped, &value, 1, 3) == 1 ? value : -1, 0x010203);
  std::fclose(pipe);
}

// Scans the text with fscanf("%i") and with ScanInt side by side, skipping a
// character after each failed conversion; results and positions must agree.
void ExpectScansLikeFscanf(const std::string& text) {
  SCOPED_TRACE("text: [" + text + "]");
  std::FILE* plain = StreamOf(text);
  std::FILE* buffered = StreamOf(text);
  FileReader reader(buffered);
  for (int got = 0; got != EOF;) {
    int expected = 0;
    std::int64_t value = -99;
    got = std::fscanf(plain, "%i", &expected);
    ASSERT_EQ(reader.ScanInt(value) == FileReader::Scan::Ok, got == 1);
    ASSERT_EQ(got == 1 ? value : expected, expected);
    ASSERT_EQ(text.size() - *reader.Remaining(), static_cast<std::size_t>(std::ftell(plain)));
    ASSERT_EQ(got == 0 ? reader.Get() : 0, got == 0 ? std::fgetc(plain) : 0);
  }
  std::fclose(plain);
  std::fclose(buffered);
}

TEST(FileReader, ScanIntFollowsTheCLibrary) {
  for (const char* text :
       {"  \t\n 42",  "+7",          "-13",           "0x1F", "0X1f", "-0x10", "010", "08", "019", "0x",
        "0xg",        " 0x 5",       "0xx1",          "-",    "+",    "- 5",   "-x",  "",   "   ", "-0",
        "2147483647", "-2147483648", "1\n\n\n2\r\n3", "abc"}) {
    ExpectScansLikeFscanf(text);
  }
  std::mt19937 random(3);
  const std::string junk = " \n\t,.gz+-", digits = "0123456789abcdefABCDEFgx";
  const char* const prefixes[] = {"", "", "0", "0x", "0X"};
  for (int round = 0; round < 300; ++round) {
    std::string text;
    for (int token = 0; token < 8; ++token) {
      text.append(random() % 3, " \t\n\v\f\r"[random() % 6]);
      if (random() % 3 == 0) text += "+-"[random() % 2];
      text += prefixes[random() % 5];
      for (int n = static_cast<int>(random() % 8); n > 0; --n) text += digits[random() % digits.size()];
      text += junk[random() % junk.size()];  // ends the token: short enough for 32 bits
    }
    ExpectScansLikeFscanf(text);
  }
  for (const char* text : {"2147483648", "-2147483649", "0x80000000", "040000000000", "99999999999999999999999"}) {
    std::FILE* f = StreamOf(text);
    FileReader reader(f);
    std::int64_t value = 0;
    EXPECT_EQ(reader.ScanInt(value), FileReader::Scan::Overflow) << text;
    EXPECT_EQ(reader.Remaining(), 0u) << text;  // the whole number is consumed
    std::fclose(f);
  }
}

}  // namespace
}  // namespace mirvo::test
