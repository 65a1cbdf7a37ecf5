// Bitmap records and BMP files: creation sizes, the bytes written, round
// trips, every refusal of the reader, and the last-error code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "bitmap.h"
#include "bitmap_internal.h"
#include "test_image.h"

using korvtest::Bytes;
using korvtest::Image;
using korvtest::TempDir;

namespace {

struct BmpDeleter {
  void operator()(BMP *bmp) const { BMP_Free(bmp); }
};
using BmpPtr = std::unique_ptr<BMP, BmpDeleter>;

std::string error_text() {
  const char *text = BMP_GetErrorDescription();
  return text != nullptr ? text : "(null)";
}

// Reads `bytes` through a file; the result and the code it left.
struct ReadResult {
  BmpPtr bmp;
  BMP_ERROR_CODE code;
};
ReadResult read_bytes(const Bytes &bytes) {
  TempDir dir;
  korvtest::write_file(dir.path("in.bmp"), bytes);
  BMP *bmp = BMP_ReadFile(dir.path("in.bmp").c_str());
  return {BmpPtr(bmp), BMP_GetError()};
}

BMP_ERROR_CODE read_code(const Bytes &bytes) {
  ReadResult r = read_bytes(bytes);
  EXPECT_EQ(r.bmp == nullptr, r.code != BMP_ERR_NONE);
  return r.code;
}

Bytes write_bytes(BMP *bmp) {
  TempDir dir;
  BMP_WriteFile(bmp, dir.path("out.bmp").c_str());
  EXPECT_EQ(BMP_GetError(), BMP_ERR_NONE);
  return korvtest::read_file(dir.path("out.bmp"));
}

} // namespace

TEST(BitmapCreate, SizesOfNewRecords) {
  struct Case {
    uint64_t width, height;
    uint16_t depth;
    uint64_t imageSize, dataOffset, fileSize;
  } cases[] = {
      {1, 1, 24, 4, 54, 58},           {1, 1, 8, 4, 1078, 1082},     {3, 2, 24, 24, 54, 78},
      {576, 10, 24, 17280, 54, 17334}, {384, 3, 24, 3456, 54, 3510}, {5, 3, 32, 60, 54, 114},
      {5, 2, 8, 16, 1078, 1094},
  };
  for (const Case &c : cases) {
    BmpPtr bmp(BMP_Create(c.width, c.height, c.depth));
    ASSERT_NE(bmp, nullptr);
    EXPECT_EQ(BMP_GetError(), BMP_ERR_NONE);
    EXPECT_EQ(bmp->imageSize, c.imageSize) << c.width << "x" << c.height << "x" << c.depth;
    EXPECT_EQ(bmp->dataOffset, c.dataOffset);
    EXPECT_EQ(bmp->fileSize, c.fileSize);
    EXPECT_EQ(bmp->headerSize, 40u);
    EXPECT_EQ(bmp->magic, 0x4D42);
    EXPECT_EQ(bmp->planes, 1);
    EXPECT_EQ(bmp->palette != nullptr, c.depth == 8);
  }
}

TEST(BitmapCreate, WrittenFileIsTheBlackImage) {
  for (auto [w, h, depth] :
       {std::tuple{1u, 1u, 24}, {1u, 1u, 8}, {3u, 2u, 24}, {7u, 3u, 32}, {6u, 2u, 8}}) {
    BmpPtr bmp(BMP_Create(w, h, static_cast<uint16_t>(depth)));
    ASSERT_NE(bmp, nullptr);
    const Bytes written = write_bytes(bmp.get());
    EXPECT_EQ(written, korvtest::encode(korvtest::make_image(w, h, static_cast<uint16_t>(depth))))
        << w << "x" << h << "x" << depth;
  }
  BmpPtr one(BMP_Create(1, 1, 24));
  EXPECT_EQ(write_bytes(one.get()).size(), 58u);
}

TEST(BitmapCreate, RefusedSizesAndDepths) {
  // Sizes are tested before the depth.
  for (auto [w, h, depth, code] :
       {std::tuple{0ull, 1ull, 24, BMP_ERR_INVALID_ARGUMENT},
        {1ull, 0ull, 8, BMP_ERR_INVALID_ARGUMENT},
        {0ull, 0ull, 16, BMP_ERR_INVALID_ARGUMENT},
        {1ull, 1ull, 1, BMP_ERR_UNSUPPORTED},
        {1ull, 1ull, 4, BMP_ERR_UNSUPPORTED},
        {1ull, 1ull, 16, BMP_ERR_UNSUPPORTED},
        // Beyond the file format's fields: never a wrapped size in a header.
        {0x80000000ull, 1ull, 24, BMP_ERR_INVALID_ARGUMENT},
        {1ull, 0x80000000ull, 24, BMP_ERR_INVALID_ARGUMENT},
        {0xFFFFFFFFFFFFFFFFull, 1ull, 8, BMP_ERR_INVALID_ARGUMENT},
        {0x7FFFFFFFull, 1ull, 32, BMP_ERR_INVALID_ARGUMENT},
        {65536ull, 65536ull, 32, BMP_ERR_INVALID_ARGUMENT},
        {4ull, 1073741555ull, 8, BMP_ERR_INVALID_ARGUMENT},
        {1ull, 0x3FFFFFFFull, 24, BMP_ERR_INVALID_ARGUMENT}}) {
    EXPECT_EQ(BMP_Create(w, h, static_cast<uint16_t>(depth)), nullptr);
    EXPECT_EQ(BMP_GetError(), code) << w << "x" << h << "x" << depth;
  }
}

TEST(BitmapFile, RoundTripsKeepHeaderPaletteAndPixels) {
  std::mt19937 rng(7);
  for (auto [w, h, depth] : {std::tuple{5u, 3u, 8},
                             {3u, 4u, 24},
                             {7u, 2u, 32},
                             {1u, 1u, 8},
                             {13u, 5u, 24},
                             {4u, 4u, 8}}) {
    const Image image = korvtest::random_image(rng, w, h, static_cast<uint16_t>(depth));
    const Bytes file = korvtest::encode(image);
    ReadResult r = read_bytes(file);
    ASSERT_EQ(r.code, BMP_ERR_NONE) << w << "x" << h << "x" << depth;
    BMP *bmp = r.bmp.get();
    EXPECT_EQ(bmp->width, w);
    EXPECT_EQ(bmp->height, h);
    EXPECT_EQ(bmp->bitsPerPixel, depth);
    EXPECT_EQ(bmp->imageSize, korvtest::get32(file, 34));
    EXPECT_EQ(bmp->fileSize, file.size());
    EXPECT_EQ(write_bytes(bmp), file);
  }
}

TEST(BitmapFile, EveryStoredHeaderValueSurvives) {
  Bytes file = korvtest::encode(korvtest::make_image(2, 2, 24));
  korvtest::put32(file, 2, 0x01020304);  // fileSize
  korvtest::put16(file, 6, 0xBEEF);      // reserved1
  korvtest::put16(file, 8, 0x1234);      // reserved2
  korvtest::put32(file, 10, 0x7FFFFFFF); // dataOffset, never used
  korvtest::put16(file, 26, 3);          // planes
  korvtest::put32(file, 38, 2835);
  korvtest::put32(file, 42, 0x7FFF0000);
  korvtest::put32(file, 46, 17);
  korvtest::put32(file, 50, 0xFFFFFFFF); // unsigned: no sign to spread
  ReadResult r = read_bytes(file);
  ASSERT_EQ(r.code, BMP_ERR_NONE);
  EXPECT_EQ(r.bmp->fileSize, 0x01020304u);
  EXPECT_EQ(r.bmp->reserved1, 0xBEEF);
  EXPECT_EQ(r.bmp->colorsImportant, 0xFFFFFFFFu);
  EXPECT_EQ(write_bytes(r.bmp.get()), file);
}

TEST(BitmapRead, RefusedFiles) {
  const Bytes good8 = korvtest::encode(korvtest::make_image(3, 2, 8));
  const Bytes good24 = korvtest::encode(korvtest::make_image(3, 2, 24));
  auto with16 = [](Bytes b, size_t offset, uint16_t v) {
    korvtest::put16(b, offset, v);
    return b;
  };
  auto with32 = [](Bytes b, size_t offset, uint32_t v) {
    korvtest::put32(b, offset, v);
    return b;
  };
  auto cut = [](Bytes b, size_t size) {
    b.resize(size);
    return b;
  };

  // Short header or wrong signature: not a BMP at all.
  EXPECT_EQ(read_code(Bytes{}), BMP_ERR_INVALID_FILE);
  EXPECT_EQ(read_code(cut(good24, 10)), BMP_ERR_INVALID_FILE);
  EXPECT_EQ(read_code(cut(good24, 53)), BMP_ERR_INVALID_FILE);
  EXPECT_EQ(read_code(with16(good24, 0, 0x4142)), BMP_ERR_INVALID_FILE);
  EXPECT_EQ(read_code(with16(good24, 0, 0x424D)), BMP_ERR_INVALID_FILE);
  // Variants the module does not handle.
  for (uint16_t depth : {1, 4, 16, 0, 48}) {
    EXPECT_EQ(read_code(with16(good24, 28, depth)), BMP_ERR_UNSUPPORTED) << depth;
  }
  for (uint32_t compression : {1u, 2u, 3u}) {
    EXPECT_EQ(read_code(with32(good8, 30, compression)), BMP_ERR_UNSUPPORTED) << compression;
  }
  for (uint32_t headerSize : {12u, 108u, 124u}) {
    EXPECT_EQ(read_code(with32(good24, 14, headerSize)), BMP_ERR_UNSUPPORTED) << headerSize;
  }
  // Top-down (negative height) and widths of 2^31 and above; the signature
  // is still tested first.
  EXPECT_EQ(read_code(with32(good24, 22, static_cast<uint32_t>(-2))), BMP_ERR_UNSUPPORTED);
  EXPECT_EQ(read_code(with32(good24, 22, 0x80000000u)), BMP_ERR_UNSUPPORTED);
  EXPECT_EQ(read_code(with32(good24, 18, 0x80000000u)), BMP_ERR_UNSUPPORTED);
  EXPECT_EQ(read_code(with32(good24, 18, 0xFFFFFFFFu)), BMP_ERR_UNSUPPORTED);
  EXPECT_EQ(read_code(with16(with32(good24, 22, static_cast<uint32_t>(-2)), 0, 0)),
            BMP_ERR_INVALID_FILE);
  // Short palette, short pixel data, a size that does not cover the rows.
  EXPECT_EQ(read_code(cut(good8, 54 + 1000)), BMP_ERR_INVALID_FILE);
  EXPECT_EQ(read_code(cut(good8, good8.size() - 1)), BMP_ERR_INVALID_FILE);
  EXPECT_EQ(read_code(cut(good24, good24.size() - 1)), BMP_ERR_INVALID_FILE);
  EXPECT_EQ(read_code(with32(good24, 34, 23)), BMP_ERR_INVALID_FILE);
  EXPECT_EQ(read_code(with32(good24, 34, 1)), BMP_ERR_INVALID_FILE);
  EXPECT_EQ(read_code(with32(good24, 22, 50000)), BMP_ERR_INVALID_FILE);
  EXPECT_EQ(read_code(with32(with32(good24, 22, 0x7FFFFFFF), 34, 0)), BMP_ERR_INVALID_FILE);
  EXPECT_EQ(read_code(with32(with32(good24, 18, 0x7FFFFFFF), 34, 0)), BMP_ERR_INVALID_FILE);
}

TEST(BitmapRead, ShortPaletteTakesPixelsAsPalette) {
  // Two palette entries only: 1024 bytes are still taken as palette, so the
  // pixel data comes up short.
  Image image = korvtest::make_image(16, 16, 8);
  Bytes file = korvtest::encode(image);
  file.erase(file.begin() + 54 + 8, file.begin() + 54 + 1024);
  korvtest::put32(file, 46, 2);
  EXPECT_EQ(read_code(file), BMP_ERR_INVALID_FILE);
}

TEST(BitmapRead, ImageSizeZeroIsWorkedOut) {
  std::mt19937 rng(3);
  for (uint16_t depth : {8, 24, 32}) {
    const Image image = korvtest::random_image(rng, 5, 3, depth);
    Bytes file = korvtest::encode(image);
    korvtest::put32(file, 34, 0);
    ReadResult r = read_bytes(file);
    ASSERT_EQ(r.code, BMP_ERR_NONE) << depth;
    EXPECT_EQ(r.bmp->imageSize, korvtest::padded_row(5, depth) * 3);
    uint8_t red = 0, green = 0, blue = 0;
    BMP_GetPixelRGB(r.bmp.get(), 4, 2, &red, &green, &blue);
    const uint8_t *p = image.at(4, 2);
    if (depth == 8) {
      p = image.palette.data() + 4 * p[0];
    }
    EXPECT_EQ(std::tuple(blue, green, red), std::tuple(p[0], p[1], p[2]));
    // Without the data the zero is no excuse.
    file.resize(file.size() - 1);
    EXPECT_EQ(read_code(file), BMP_ERR_INVALID_FILE);
  }
}

TEST(BitmapRead, LargerImageSizeWidensTheRowStride) {
  // 3 x 2 at 24 bits, stored with 16-byte rows: imageSize 32.
  Bytes file(54, 0);
  Bytes plain = korvtest::encode(korvtest::make_image(3, 2, 24));
  std::copy(plain.begin(), plain.begin() + 54, file.begin());
  korvtest::put32(file, 34, 32);
  Bytes rows(32, 0);
  rows[0] = 1;      // bottom-left blue
  rows[16 + 8] = 9; // top-right red
  file.insert(file.end(), rows.begin(), rows.end());
  file.push_back(0xAA); // after the pixel block: ignored
  ReadResult r = read_bytes(file);
  ASSERT_EQ(r.code, BMP_ERR_NONE);
  uint8_t red = 0, blue = 0;
  BMP_GetPixelRGB(r.bmp.get(), 0, 1, nullptr, nullptr, &blue);
  BMP_GetPixelRGB(r.bmp.get(), 2, 0, &red, nullptr, nullptr);
  EXPECT_EQ(blue, 1);
  EXPECT_EQ(red, 9);
}

TEST(BitmapRead, PipeWithHugeClaimRunsShortWithoutTakingTheMemory) {
  // A stream whose length is unknown: a header claiming 1.6 GB of pixels,
  // then a few bytes.
  Bytes file = korvtest::encode(korvtest::make_image(1, 1, 32));
  korvtest::put32(file, 18, 20000);
  korvtest::put32(file, 22, 20000);
  korvtest::put32(file, 34, 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    ssize_t n = write(fds[1], file.data(), file.size());
    (void)n;
    close(fds[1]);
  });
  const std::string path = "/dev/fd/" + std::to_string(fds[0]);
  BMP *bmp = BMP_ReadFile(path.c_str());
  EXPECT_EQ(bmp, nullptr);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_FILE);
  writer.join();
  close(fds[0]);
}

TEST(BitmapRead, WholeImageFromAPipe) {
  std::mt19937 rng(11);
  const Image image = korvtest::random_image(rng, 700, 900, 24);
  const Bytes file = korvtest::encode(image); // more than one read step
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    size_t done = 0;
    while (done < file.size()) {
      ssize_t n = write(fds[1], file.data() + done, file.size() - done);
      if (n <= 0)
        break;
      done += static_cast<size_t>(n);
    }
    close(fds[1]);
  });
  const std::string path = "/dev/fd/" + std::to_string(fds[0]);
  BmpPtr bmp(BMP_ReadFile(path.c_str()));
  writer.join();
  close(fds[0]);
  ASSERT_NE(bmp, nullptr);
  EXPECT_EQ(write_bytes(bmp.get()), file);
}

TEST(BitmapFile, OpenFailuresAndNullArguments) {
  TempDir dir;
  EXPECT_EQ(BMP_ReadFile(dir.path("missing.bmp").c_str()), nullptr);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_NOT_FOUND);
  EXPECT_EQ(error_text(), "File not found");
  EXPECT_EQ(BMP_ReadFile(nullptr), nullptr);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_ARGUMENT);

  BmpPtr bmp(BMP_Create(2, 2, 24));
  BMP_WriteFile(bmp.get(), nullptr);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_ARGUMENT);
  BMP_WriteFile(bmp.get(), dir.path("no/such/folder.bmp").c_str());
  EXPECT_EQ(BMP_GetError(), BMP_ERR_NOT_FOUND);

  // A null record: the file is created (or emptied) and nothing written.
  korvtest::write_file(dir.path("old.bmp"), Bytes(100, 1));
  BMP_WriteFile(nullptr, dir.path("old.bmp").c_str());
  EXPECT_EQ(BMP_GetError(), BMP_ERR_IO);
  EXPECT_EQ(error_text(), "File input/output error");
  EXPECT_TRUE(korvtest::read_file(dir.path("old.bmp")).empty());
}

TEST(BitmapWrite, FailedWritesAreReportedEvenWhenBuffered) {
  signal(SIGPIPE, SIG_IGN);
  // Small enough to sit in the stream's buffer until the close.
  BmpPtr small(BMP_Create(1, 1, 24));
  BMP_WriteFile(small.get(), "/dev/full");
  EXPECT_EQ(BMP_GetError(), BMP_ERR_IO);
  BmpPtr large(BMP_Create(576, 200, 24));
  BMP_WriteFile(large.get(), "/dev/full");
  EXPECT_EQ(BMP_GetError(), BMP_ERR_IO);

  // A pipe whose reader went away.
  for (BMP *bmp : {small.get(), large.get()}) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    const std::string path = "/dev/fd/" + std::to_string(fds[1]);
    BMP_WriteFile(bmp, path.c_str());
    EXPECT_EQ(BMP_GetError(), BMP_ERR_IO);
    close(fds[1]);
  }
}

TEST(BitmapErrors, CodesTextsAndFree) {
  const char *texts[] = {
      nullptr,
      "General error",
      "Could not allocate enough memory to complete the operation",
      "File input/output error",
      "File not found",
      "File is not a supported BMP variant (must be uncompressed 8, 24 or 32 BPP)",
      "File is not a valid BMP image",
      "An argument is invalid or out of range",
      "The requested action is not compatible with the BMP's type",
  };
  // Reach each code that an operation can set and compare its text.
  BMP_ReadFile(nullptr);
  EXPECT_STREQ(BMP_GetErrorDescription(), texts[7]);
  EXPECT_EQ(BMP_Create(1, 1, 16), nullptr);
  EXPECT_STREQ(BMP_GetErrorDescription(), texts[5]);
  EXPECT_EQ(read_code(Bytes(10, 'B')), BMP_ERR_INVALID_FILE);
  EXPECT_STREQ(BMP_GetErrorDescription(), texts[6]);
  BmpPtr bmp(BMP_Create(1, 1, 24));
  EXPECT_EQ(BMP_GetErrorDescription(), nullptr);
  BMP_GetPixelIndex(bmp.get(), 0, 0, nullptr);
  EXPECT_STREQ(BMP_GetErrorDescription(), texts[8]);
  EXPECT_STREQ(BMP_GetErrorDescription(), texts[8]); // reading changes nothing
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INCOMPATIBLE_TYPE);

  BMP_Free(nullptr);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INCOMPATIBLE_TYPE);
  BMP_Free(bmp.release());
  EXPECT_EQ(BMP_GetError(), BMP_ERR_NONE);
  EXPECT_EQ(BMP_GetErrorDescription(), nullptr);
}

TEST(BitmapFields, LittleEndianUnsignedFields) {
  Bytes in(54, 0);
  const Bytes fileSize = {0x78, 0x56, 0x34, 0x12}, width = {0xFF, 0xFF, 0xFF, 0xFF};
  std::copy(fileSize.begin(), fileSize.end(), in.begin() + 2);
  std::copy(width.begin(), width.end(), in.begin() + 18);
  in[26] = 0xCD;
  in[27] = 0xAB;
  FILE *stream = fmemopen(in.data(), in.size(), "rb");
  ASSERT_NE(stream, nullptr);
  BMP record = {};
  EXPECT_EQ(ReadHeader(&record, stream), BMP_ERR_NONE);
  EXPECT_EQ(record.fileSize, 0x12345678u);
  EXPECT_EQ(record.width, 0xFFFFFFFFu); // unsigned: 2^31 and above stay below 2^32
  EXPECT_EQ(record.planes, 0xABCD);
  EXPECT_EQ(ReadHeader(&record, stream), BMP_ERR_IO); // nothing left: a short header
  fclose(stream);

  Bytes out(54, 0);
  stream = fmemopen(out.data(), out.size(), "wb");
  ASSERT_NE(stream, nullptr);
  setbuf(stream, nullptr);
  record.height = 0x1122334455667788ull; // low 32 bits only
  EXPECT_EQ(WriteHeader(&record, stream), BMP_ERR_NONE);
  fclose(stream);
  const Bytes height = {0x88, 0x77, 0x66, 0x55};
  std::copy(height.begin(), height.end(), in.begin() + 22);
  EXPECT_EQ(out, in);

  EXPECT_EQ(ReadHeader(nullptr, stdin), BMP_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(WriteHeader(&record, nullptr), BMP_ERR_INVALID_ARGUMENT);
}
