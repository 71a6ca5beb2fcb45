#include "quarn/core/image_read.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <new>

#include "support/decode_files.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

namespace {

using OIIO::TypeDesc;

// Every channel of the first subimage, also when a later one is larger.
TEST(OiioReadFloat, ReadsEveryChannelOfTheFirstSubimage) {
  qn_test::TempDir dir;
  const auto path = dir.file("two.exr");
  const auto first = qn_test::pattern(4, 2, 3, 1.f);
  auto later = qn_test::named_spec(6, 5, TypeDesc::HALF);
  later.full_width = 4;  // the parts of one EXR share their display window
  later.full_height = 2;
  std::string err;
  ASSERT_TRUE(qn_test::write_subimages(
      path, {qn_test::named_spec(4, 2, TypeDesc::FLOAT, {"R", "G", "B"}), later},
      {first, qn_test::pattern(6, 5, 4, 2.f)}, &err))
      << err;
  const auto image = qn::oiio_read_float(path);
  EXPECT_EQ(image.error, "");
  EXPECT_EQ(image.width, 4);
  EXPECT_EQ(image.height, 2);
  EXPECT_EQ(image.channels, 3);
  EXPECT_EQ(image.data, first);
}

TEST(OiioReadFloat, FailuresKeepWhatIsKnown) {
  qn_test::TempDir dir;
  const auto missing = qn::oiio_read_float(dir.file("missing.png"));
  EXPECT_NE(missing.error.find("missing.png"), std::string::npos) << missing.error;
  EXPECT_EQ(missing.width + missing.height + missing.channels, 0);
  EXPECT_TRUE(missing.data.empty());

  // The header opens, the pixels do not read: the size stays, the data is zero-filled.
  const auto hollow =
      qn::oiio_read_float(qn_test::write_exr_header_only(dir.file("h.exr"), 300, 300));
  EXPECT_NE(hollow.error, "");
  EXPECT_EQ(hollow.width, 300);
  EXPECT_EQ(hollow.height, 300);
  EXPECT_EQ(hollow.channels, 4);
  EXPECT_EQ(hollow.data, std::vector<float>(300u * 300 * 4));
}

TEST(OiioReadFloat, AllocationFailures) {
  if (qn_test::allocation_failure_aborts())
    GTEST_SKIP() << "the sanitizer runtime aborts on failed allocations instead of throwing";
  // Our own buffer of a declared 4 TiB: the allocation exception reaches the caller.
  qn_test::TempDir dir;
  const auto huge = qn_test::write_exr_header_only(dir.file("huge.exr"), 1 << 22, 1 << 16);
  EXPECT_THROW(qn::oiio_read_float(huge), std::bad_alloc);
  // OpenImageIO itself throws std::bad_alloc on this fuzzed file (a scanline of 100663297
  // pixels): the exception becomes the error text.
  const auto root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  const auto image = qn::oiio_read_float((root / "Damaged" / "memory_DOS_2.1").string());
  EXPECT_EQ(image.error, "OpenImageIO raised an exception: std::bad_alloc");
  EXPECT_EQ(image.width, 100663297);
}

}  // namespace
