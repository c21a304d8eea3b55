// SPDX-License-Identifier: GPL-3.0-or-later
// SHA-256 against the FIPS 180-4 example vectors, fed whole and in odd pieces, and the
// digest and outcome a RecoveredFile gives for what it wrote.
#include <gtest/gtest.h>

#include <string>

#include "core/recovered_file.h"
#include "core/recovery_command.h"
#include "core/sha256.h"
#include "tests/support/test_files.h"

namespace pyralis {
namespace {

std::string digest_in_pieces(const std::string& text, size_t piece) {
  Sha256 h;
  for (size_t at = 0; at < text.size(); at += piece)
    h.Update(text.data() + at, std::min(piece, text.size() - at));
  return h.HexDigest();
}

TEST(Sha256, KnownVectorsWholeAndInPieces) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}};
  for (const auto& [text, digest] : vectors) {
    EXPECT_EQ(digest_in_pieces(text, text.size() + 1), digest);
    EXPECT_EQ(digest_in_pieces(text, 63), digest);
    EXPECT_EQ(digest_in_pieces(text, 7), digest);
  }
  Sha256 zeros;
  zeros.UpdateZeros(100000);
  EXPECT_EQ(zeros.HexDigest(), digest_in_pieces(std::string(100000, '\0'), 4096));
}

TEST(RecoveredFileOutcome, DigestRangesAndLines) {
  test::TempDir dir;
  RecoveryCommand command;
  command.ComputeDigests(true);
  RecoveredFile file;
  ASSERT_TRUE(file.Open(dir.path() + "/", "a.bin", nullptr));
  ASSERT_TRUE(file.Write("abc", 3, nullptr));
  file.NoteUnreadable(3, 4096);
  ASSERT_TRUE(file.WriteZeros(4096, nullptr));
  ASSERT_TRUE(file.Commit(nullptr, nullptr));
  const RecoveryOutcome outcome = file.Outcome(1000000);
  EXPECT_EQ(outcome.result, RecoveryResult::kPartial);
  EXPECT_EQ(outcome.bytes_written, 4099u);
  EXPECT_EQ(outcome.sha256, digest_in_pieces("abc" + std::string(4096, '\0'), 100));
  ASSERT_EQ(outcome.unreadable.size(), 1u) << "the missing tail joins the zeros before it";
  EXPECT_EQ(outcome.unreadable[0].length, 1000000u - 3);
  EXPECT_EQ(undeleted_line(outcome),
            "Undeleted " + dir.path() +
                "/a.bin with 4,096 of 1,000,000 bytes unreadable "
                "(written as zeros) and 995,901 missing (the file ends after 4,099 bytes).");
  RecoveryOutcome complete = outcome;
  complete.result = RecoveryResult::kComplete;
  EXPECT_EQ(undeleted_line(complete), "Undeleted " + dir.path() + "/a.bin successfully.");
}

TEST(RecoveredFileOutcome, NoDigestUnlessTheCommandAsks) {
  test::TempDir dir;
  const RecoveryCommand command;  // a window's Unerase: no report, so no digests
  RecoveredFile file;
  ASSERT_TRUE(file.Open(dir.path() + "/", "sparse.bin", nullptr));
  // A damaged record can claim a hole of many gigabytes: skipping it must cost nothing.
  ASSERT_TRUE(file.WriteZeros(uint64_t{1} << 33, nullptr));
  ASSERT_TRUE(file.Write("x", 1, nullptr));
  ASSERT_TRUE(file.Commit(nullptr, nullptr));
  const RecoveryOutcome outcome = file.Outcome((uint64_t{1} << 33) + 1);
  EXPECT_TRUE(outcome.complete());
  EXPECT_TRUE(outcome.sha256.empty());
}

}  // namespace
}  // namespace pyralis
