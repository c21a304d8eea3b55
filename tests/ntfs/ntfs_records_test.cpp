// SPDX-License-Identifier: GPL-3.0-or-later
// MFT records: fix-ups, the attribute cursor, and records that lie about their own layout.
#include <gtest/gtest.h>

#include "ntfs/ntfs_internal.h"
#include "tests/ntfs/ntfs_test_records.h"

namespace pyralis::test {
namespace {

using namespace pyralis::ntfs;

std::vector<uint8_t> bytes_of(const std::string& s) {
  return {s.begin(), s.end()};
}

TEST(NtfsFixups, RestoreTheBytesUnderEveryStretchEnd) {
  TestRecord r(1024);
  // A resident value that crosses the end of the first 512-byte stretch.
  std::vector<uint8_t> value(600);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i * 13 + 1);
  const size_t at = r.AddResident(kData, value);
  std::vector<uint8_t> record = r.Finish();
  const size_t value_at = at + 0x18;
  ASSERT_NE(record[510], value[510 - value_at]);  // the stored copy carries the USN there

  ASSERT_TRUE(apply_fixups(record));
  const auto attribute = lookup_attribute(kData, record);
  ASSERT_TRUE(attribute);
  const auto stored = resident_value(*attribute);
  ASSERT_TRUE(stored);
  EXPECT_EQ(std::vector<uint8_t>(stored->begin(), stored->end()), value);
}

TEST(NtfsFixups, RefuseTornAndMalformedRecords) {
  TestRecord r(1024);
  const std::vector<uint8_t> good = r.Finish();
  {
    auto torn = good;
    torn[1022] ^= 0xFF;  // second stretch written by an interrupted write
    EXPECT_FALSE(apply_fixups(torn));
  }
  {
    auto bad = good;
    put16(bad, 0x06, 9);  // 8 stretches of 512 bytes do not fit 1024 bytes
    EXPECT_FALSE(apply_fixups(bad));
  }
  {
    auto bad = good;
    put16(bad, 0x04, 1020);  // array runs past the record
    EXPECT_FALSE(apply_fixups(bad));
  }
  {
    auto bad = good;
    put16(bad, 0x06, 1);  // no stretch at all
    EXPECT_FALSE(apply_fixups(bad));
  }
  auto fine = good;
  EXPECT_TRUE(apply_fixups(fine));
}

TEST(NtfsAttributeSearch, VisitsSuccessiveAttributesOfOneTypeAndStopsAtLargerTypes) {
  TestRecord r;
  r.AddResident(kStandardInformation, standard_information(1, 2, 3));
  r.AddResident(kFileName, file_name_value(5, u"A~1.TXT", 2));
  r.AddResident(kFileName, file_name_value(5, u"a long name.txt", 1));
  r.AddResident(kIndexRoot, std::vector<uint8_t>(16));
  r.AddResident(kBitmap, std::vector<uint8_t>(8));
  std::vector<uint8_t> record = r.Finish(false);

  SearchContext context = new_search_context(Bytes(record));
  EXPECT_EQ(find_attribute(kFileName, context), 0);
  const uint32_t first = context.attribute;
  EXPECT_EQ(find_attribute(kFileName, context), 0);
  EXPECT_GT(context.attribute, first);
  EXPECT_EQ(find_attribute(kFileName, context), -1);

  // $DATA (0x80) is not there: the walk stops at the index root (0x90).
  SearchContext data = new_search_context(Bytes(record));
  EXPECT_EQ(find_attribute(kData, data), -1);
  EXPECT_EQ(le32(record, data.attribute), kIndexRoot);

  SearchContext any = new_search_context(Bytes(record));
  int count = 0;
  while (find_attribute(0, any) == 0) ++count;
  EXPECT_EQ(count, 5);
}

TEST(NtfsAttributeSearch, DamagedWalksReportNotFound) {
  TestRecord r;
  const size_t si = r.AddResident(kStandardInformation, standard_information(1, 2, 3));
  r.AddResident(kData, bytes_of("content"));
  const std::vector<uint8_t> good = r.Finish(false);
  ASSERT_TRUE(lookup_attribute(kData, good));
  ASSERT_TRUE(record_is_sound(good));

  auto zero_length = good;
  put32(zero_length, si + 4, 0);
  EXPECT_FALSE(lookup_attribute(kData, zero_length));
  EXPECT_FALSE(record_is_sound(zero_length));

  auto odd_length = good;
  put32(odd_length, si + 4, 0x5C);  // not a multiple of 8
  EXPECT_FALSE(lookup_attribute(kData, odd_length));
  EXPECT_FALSE(record_is_sound(odd_length));

  auto huge_length = good;
  put32(huge_length, si + 4, 0xFFFFFFF8);  // would wrap the offset
  EXPECT_FALSE(lookup_attribute(kData, huge_length));
  EXPECT_FALSE(record_is_sound(huge_length));

  auto past_allocated = good;
  put16(past_allocated, 0x14, 1024);  // first attribute past the allocated bytes
  EXPECT_FALSE(lookup_attribute(kStandardInformation, past_allocated));

  auto short_allocated = good;
  put32(short_allocated, 0x1C, 0x60);  // allocated size ends inside the first attribute
  EXPECT_FALSE(lookup_attribute(kStandardInformation, short_allocated));

  auto value_outside = good;
  put32(value_outside, si + 0x10, 4000);  // standard information value leaves the attribute
  EXPECT_FALSE(record_is_sound(value_outside));

  auto name_outside = good;
  name_outside[si + 9] = 200;  // 200 UTF-16 units from offset 0x18 leave the attribute
  EXPECT_FALSE(record_is_sound(name_outside));
}

TEST(NtfsAttributeSearch, ResidentDataOutsideItsAttributeKeepsTheRecord) {
  TestRecord r;
  r.AddResident(kStandardInformation, standard_information(1, 2, 3));
  const size_t data = r.AddResident(kData, bytes_of("content"));
  std::vector<uint8_t> record = r.Finish(false);
  put32(record, data + 0x10, 5000);
  EXPECT_TRUE(record_is_sound(record));  // reported by the stream reader instead
  const auto attribute = lookup_attribute(kData, record);
  ASSERT_TRUE(attribute);
  EXPECT_FALSE(resident_value(*attribute));
}

TEST(NtfsAttributeSearch, NonResidentMappingPairsMustStartInsideTheAttribute) {
  TestRecord r;
  r.AddResident(kStandardInformation, standard_information(1, 2, 3));
  const size_t data = r.AddNonResident(kData, {0x11, 0x04, 0x20}, 4096);
  const std::vector<uint8_t> good = r.Finish(false);
  EXPECT_TRUE(record_is_sound(good));
  auto bad = good;
  put16(bad, data + 0x20, 0x400);
  EXPECT_FALSE(record_is_sound(bad));
}

TEST(NtfsAttributeSearch, AttributeNamesAreRead) {
  TestRecord r;
  r.AddResident(kData, bytes_of("main"));
  r.AddResident(kData, bytes_of("zone"), u"Zone.Identifier");
  const std::vector<uint8_t> record = r.Finish(false);
  SearchContext context = new_search_context(Bytes(record));
  auto first = next_attribute(kData, context);
  auto second = next_attribute(kData, context);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(attribute_name(*first), u"");
  EXPECT_EQ(attribute_name(*second), u"Zone.Identifier");
}

// Random damage to a sound record: every reader stays inside the record and ends.
TEST(NtfsDamagedRecords, RandomByteFlipsNeverLeadOutsideTheRecord) {
  TestRecord r;
  r.AddResident(kStandardInformation, standard_information(1, 2, 3));
  r.AddResident(kFileName, file_name_value(5, u"name.txt"));
  r.AddNonResident(kData, {0x21, 0x18, 0x34, 0x56, 0x01, 0x04, 0x11, 0x02, 0xF0}, 0x20000);
  r.AddResident(kData, bytes_of("stream"), u"s");
  const std::vector<uint8_t> sound = r.Finish();
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> record = sound;
    for (int flips = 1 + next() % 4; flips > 0; --flips) {
      record[(next() >> 8) % 0x180] = static_cast<uint8_t>(next() >> 16);
    }
    if (!apply_fixups(record) || !record_is_sound(record)) continue;
    SearchContext context = new_search_context(Bytes(record));
    int attributes = 0;
    while (const auto a = next_attribute(0, context)) {
      ASSERT_GE(a->data(), record.data());
      ASSERT_LE(a->data() + a->size(), record.data() + record.size());
      if (attribute_non_resident(*a)) {
        if (const auto rl = decode_runlist(*a)) EXPECT_EQ(rl->back().length, 0);
      } else {
        resident_value(*a);
      }
      attribute_name(*a);
      ASSERT_LT(++attributes, 64);
    }
  }
}

}  // namespace
}  // namespace pyralis::test
