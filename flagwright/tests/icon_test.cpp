// The window icon that ships with the calculators is the one that the icon
// program draws.
#include "test_support.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

namespace {

struct Pixels {
  int width = 0, height = 0, channels = 0;
  std::vector<unsigned char> rgba;
};

Pixels load(const std::string& path) {
  Pixels p;
  GError* error = nullptr;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path.c_str(), &error);
  if (!pixbuf) {
    ADD_FAILURE() << path << ": " << error->message;
    g_error_free(error);
    return p;
  }
  p.width = gdk_pixbuf_get_width(pixbuf);
  p.height = gdk_pixbuf_get_height(pixbuf);
  p.channels = gdk_pixbuf_get_n_channels(pixbuf);
  const guchar* data = gdk_pixbuf_get_pixels(pixbuf);
  int stride = gdk_pixbuf_get_rowstride(pixbuf);
  for (int y = 0; y < p.height; ++y)
    p.rgba.insert(p.rgba.end(), data + y * stride, data + y * stride + p.width * p.channels);
  g_object_unref(pixbuf);
  return p;
}

TEST(Icon, ShippedIconIsTheDrawnOne) {
  testkit::TempDir dir;
  ASSERT_EQ(testkit::RunProgram({FLAGWRIGHT_MAKE_ICON_PROGRAM, dir / "icon.png"}).status, 0);
  Pixels drawn = load(dir / "icon.png");
  Pixels shipped = load(FLAGWRIGHT_ICON);
  EXPECT_EQ(drawn.width, 64);
  EXPECT_EQ(drawn.height, 64);
  EXPECT_EQ(drawn.channels, 4);
  EXPECT_EQ(shipped.width, drawn.width);
  EXPECT_EQ(shipped.height, drawn.height);
  EXPECT_TRUE(shipped.rgba == drawn.rgba) << "icon/icon.png is not what icon/make_icon.cpp draws";
  // Transparent corners, an opaque tile.
  ASSERT_EQ(drawn.rgba.size(), 64u * 64u * 4u);
  EXPECT_EQ(drawn.rgba[3], 0);
  EXPECT_EQ(drawn.rgba[(32 * 64 + 4) * 4 + 3], 255);
}

}  // namespace
