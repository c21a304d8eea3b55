// SPDX-License-Identifier: GPL-3.0-or-later
// The memory stream that volume data travels in between the layers.
#include <gtest/gtest.h>

#include <string>

#include "core/memory_stream.h"

namespace pyralis {
namespace {

std::string text_of(const TMemoryStream& stream) {
  return std::string(reinterpret_cast<const char*>(stream.Memory()),
                     static_cast<size_t>(stream.Size()));
}

TEST(MemoryStream, ReadsStopAtTheEndAndWritesGrow) {
  TMemoryStream stream;
  EXPECT_EQ(stream.Write("abcdef", 6), 6);
  stream.SetPosition(4);
  char out[8] = {};
  EXPECT_EQ(stream.Read(out, 8), 2);
  EXPECT_STREQ(out, "ef");
  EXPECT_EQ(stream.Read(out, 8), 0);
  stream.SetPosition(-3);
  EXPECT_EQ(stream.Position(), 0);
  // Writing past the end fills the gap with zeros.
  stream.SetPosition(8);
  stream.Write("Z", 1);
  EXPECT_EQ(text_of(stream), std::string("abcdef\0\0Z", 9));
  // SetSize keeps the position, even past the new end.
  stream.SetSize(3);
  EXPECT_EQ(stream.Position(), 9);
  EXPECT_EQ(stream.Read(out, 1), 0);
  stream.SetSize(5);
  EXPECT_EQ(text_of(stream), std::string("abc\0\0", 5));
}

TEST(MemoryStream, CopyFromMovesBothPositions) {
  TMemoryStream from, to;
  from.Write("0123456789", 10);
  from.SetPosition(3);
  to.Write("xy", 2);
  EXPECT_EQ(to.CopyFrom(from, 4), 4);
  EXPECT_EQ(text_of(to), "xy3456");
  EXPECT_EQ(from.Position(), 7);
  EXPECT_EQ(to.Position(), 6);
  EXPECT_EQ(to.CopyFrom(from, 100), 3);  // only what is left
  EXPECT_EQ(to.CopyFrom(from, 100), 0);
}

}  // namespace
}  // namespace pyralis
