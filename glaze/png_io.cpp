// libpng's low-level interface, for exact control of the transforms (no
// gamma) and a size check between the header and the image data. libpng
// reports errors by longjmp: each function that calls into it sets its own
// jump point and owns no C++ object, so nothing is skipped on the way out.
#include <png.h>
#include <zlib.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <vector>

#include "png_io.h"

namespace glaze {

namespace {

struct ReadContext {
  const uint8_t* data;
  size_t size;
  size_t at;
  char message[160];
};

struct WriteContext {
  FILE* file;
  int error;
};

void onError(png_structp png, png_const_charp message) {
  if (auto* context = static_cast<ReadContext*>(png_get_error_ptr(png))) {
    std::snprintf(context->message, sizeof context->message, "%s", message);
  }
  png_longjmp(png, 1);
}

void onWriteError(png_structp png, png_const_charp) { png_longjmp(png, 1); }

void onWarning(png_structp, png_const_charp) {}

void readFromMemory(png_structp png, png_bytep out, size_t n) {
  auto* context = static_cast<ReadContext*>(png_get_io_ptr(png));
  if (n > context->size - context->at) png_error(png, "the file ends early");
  std::memcpy(out, context->data + context->at, n);
  context->at += n;
}

void writeToFile(png_structp png, png_bytep data, size_t n) {
  auto* context = static_cast<WriteContext*>(png_get_io_ptr(png));
  if (std::fwrite(data, 1, n, context->file) != n) {
    context->error = errno != 0 ? errno : EIO;
    png_error(png, "write failed");
  }
}

void flushFile(png_structp png) {
  auto* context = static_cast<WriteContext*>(png_get_io_ptr(png));
  if (std::fflush(context->file) != 0 && context->error == 0) context->error = errno;
}

// Reads the header: the size, before anything is allocated for the rows.
bool readHeader(png_structp png, png_infop info, png_uint_32& width, png_uint_32& height) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  width = png_get_image_width(png, info);
  height = png_get_image_height(png, info);
  return true;
}

// Sets the transforms to 8-bit RGBA.
bool setTransforms(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png))) return false;
  const int type = png_get_color_type(png, info);
  const int depth = png_get_bit_depth(png, info);
  png_set_expand(png);
  if (depth == 16) png_set_scale_16(png);
  if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  if (!(type & PNG_COLOR_MASK_ALPHA) && !png_get_valid(png, info, PNG_INFO_tRNS))
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return true;
}

bool readRows(png_structp png, png_bytep* rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  return true;
}

bool writeRows(png_structp png, png_infop info, const Image& image, bool grey, png_bytep greyRow) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, png_uint_32(image.width), png_uint_32(image.height), 8,
               grey ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 1);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
  png_set_compression_buffer_size(png, 1 << 18);
  png_write_info(png, info);
  for (int y = 0; y < image.height; ++y) {
    const uint8_t* row = image.at(0, y);
    if (grey) {
      for (int x = 0; x < image.width; ++x) {
        greyRow[2 * x] = row[4 * x];
        greyRow[2 * x + 1] = row[4 * x + 3];
      }
      png_write_row(png, greyRow);
    } else {
      png_write_row(png, row);
    }
  }
  png_write_end(png, info);
  return true;
}

}  // namespace

bool readPng(const uint8_t* data, size_t size, int maxSide, Image& image, std::string& error,
             bool checkCrc) {
  if (size < 8 || png_sig_cmp(data, 0, 8) != 0) {
    error = "it is not a PNG file";
    return false;
  }
  ReadContext context{data, size, 0, {}};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &context, onError, onWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    error = "not enough memory";
    return false;
  }
  png_set_read_fn(png, &context, readFromMemory);
  // libpng's own size limit stays far above ours, so that ours is the one
  // that speaks; ancillary chunks are limited to a few MiB of memory.
  png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_set_chunk_malloc_max(png, 8u << 20);
  if (!checkCrc) png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);

  png_uint_32 width = 0, height = 0;
  bool ok = readHeader(png, info, width, height);
  if (!ok) {
    error = std::string("it is damaged: ") + context.message;
  } else if (width == 0 || height == 0 || width > png_uint_32(maxSide) ||
             height > png_uint_32(maxSide)) {
    error = "it is " + std::to_string(width) + " x " + std::to_string(height) +
            " texels; the console takes at most " + std::to_string(maxSide) + " x " +
            std::to_string(maxSide);
    ok = false;
  } else if (!setTransforms(png, info)) {
    error = std::string("it is damaged: ") + context.message;
    ok = false;
  } else if (png_get_rowbytes(png, info) != size_t(width) * 4) {
    error = "it is damaged: unexpected row size";
    ok = false;
  }
  if (ok) {
    image = Image(int(width), int(height));
    std::vector<png_bytep> rows(height);
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = image.at(0, int(y));
    if (!readRows(png, rows.data())) {
      error = std::string("it is damaged: ") + context.message;
      ok = false;
      image = Image();
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return ok;
}

bool writePng(FILE* file, const Image& image, bool grey) {
  WriteContext context{file, 0};
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onWriteError, onWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    errno = ENOMEM;
    return false;
  }
  png_set_write_fn(png, &context, writeToFile, flushFile);
  std::vector<uint8_t> greyRow(grey ? size_t(image.width) * 2 : 0);
  const bool ok = writeRows(png, info, image, grey, greyRow.data());
  png_destroy_write_struct(&png, &info);
  if (!ok || context.error != 0) {
    errno = context.error != 0 ? context.error : EIO;
    return false;
  }
  return true;
}

}  // namespace glaze
