#include "quarn/core/image_read.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <new>

#include "support/decode_files.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

namespace {

using OIIO::TypeDesc;

TEST(OiioReadFloat, ReadsEveryChannelOfTheDataWindow) {
  qn_test::TempDir dir;
  const auto path = dir.file("rgb.exr");
  const auto pixels = qn_test::pattern(2, 3, 3);
  ASSERT_TRUE(qn_test::write_image(
      path, qn_test::named_spec(2, 3, TypeDesc::FLOAT, {"R", "G", "B"}), pixels));
  const auto image = qn::oiio_read_float(path);
  EXPECT_EQ(image.error, "");
  EXPECT_EQ(image.width, 2);
  EXPECT_EQ(image.height, 3);
  EXPECT_EQ(image.channels, 3);
  EXPECT_EQ(image.data, pixels);
}

TEST(OiioReadFloat, SeveralSubimagesGiveTheFirst) {
  qn_test::TempDir dir;
  const auto path = dir.file("two.exr");
  const auto first = qn_test::pattern(4, 2, 4, 1.f), second = qn_test::pattern(6, 5, 4, 2.f);
  auto later = qn_test::named_spec(6, 5, TypeDesc::HALF);
  later.full_width = 4;  // the parts of one EXR share their display window
  later.full_height = 2;
  std::string err;
  ASSERT_TRUE(qn_test::write_subimages(path, {qn_test::named_spec(4, 2, TypeDesc::HALF), later},
                                       {first, second}, &err))
      << err;
  const auto image = qn::oiio_read_float(path);
  EXPECT_EQ(image.error, "");
  EXPECT_EQ(image.width, 4);
  EXPECT_EQ(image.height, 2);
  EXPECT_EQ(image.data, first);
}

TEST(OiioReadFloat, MissingFileLeavesEverythingEmptyButTheError) {
  qn_test::TempDir dir;
  const auto image = qn::oiio_read_float(dir.file("missing.png"));
  EXPECT_NE(image.error.find("missing.png"), std::string::npos) << image.error;
  EXPECT_EQ(image.width, 0);
  EXPECT_EQ(image.height, 0);
  EXPECT_EQ(image.channels, 0);
  EXPECT_TRUE(image.data.empty());
}

TEST(OiioReadFloat, FailedReadKeepsTheSizeAndZeroFilledData) {
  qn_test::TempDir dir;
  const auto image = qn::oiio_read_float(qn_test::write_exr_header_only(dir.file("h.exr"), 300));
  EXPECT_NE(image.error, "");
  EXPECT_EQ(image.width, 300);
  EXPECT_EQ(image.height, 300);
  EXPECT_EQ(image.channels, 4);
  EXPECT_EQ(image.data.size(), 300u * 300 * 4);
}

TEST(OiioReadFloat, DeclaredSizeBeyondMemoryThrowsTheAllocationFailure) {
  if (qn_test::allocation_failure_aborts())
    GTEST_SKIP() << "the sanitizer runtime aborts on failed allocations instead of throwing";
  qn_test::TempDir dir;
  const auto path = qn_test::write_exr_header_only(dir.file("huge.exr"), 100000);
  EXPECT_THROW(qn::oiio_read_float(path), std::bad_alloc);
}

// OpenImageIO itself throws std::bad_alloc on this fuzzed file (a scanline of 100663297 pixels):
// the exception becomes the error text.
TEST(OiioReadFloat, ExceptionInsideOpenImageIOBecomesTheError) {
  if (qn_test::allocation_failure_aborts())
    GTEST_SKIP() << "the sanitizer runtime aborts on failed allocations instead of throwing";
  const auto root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  const auto image = qn::oiio_read_float((root / "Damaged" / "memory_DOS_2.1").string());
  EXPECT_EQ(image.error, "OpenImageIO raised an exception: std::bad_alloc");
  EXPECT_EQ(image.width, 100663297);
}

}  // namespace
