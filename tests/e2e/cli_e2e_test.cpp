// SPDX-License-Identifier: GPL-3.0-or-later
// The built pyralis-cli on volumes generated with mkfs.fat and mtools, and on sample volumes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>

#include "tests/cli/json_checker.h"
#include "tests/e2e/cli_runner.h"

namespace pyralis::test {
namespace {

const char* const kTsvHeader = "Name\tPath\tStatus\tSize\tModified\tCreated\tSector\tInode";

std::vector<std::string> split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, separator)) fields.push_back(field);
  if (!line.empty() && line.back() == separator) fields.push_back("");
  return fields;
}

// RFC 4180 records (quoted fields may hold commas, quotes and line breaks).
std::vector<std::vector<std::string>> parse_csv(const std::string& text) {
  std::vector<std::vector<std::string>> records(1, std::vector<std::string>(1));
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
        records.back().back() += '"', ++i;
      else if (c == '"')
        quoted = false;
      else
        records.back().back() += c;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      records.back().emplace_back();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      records.emplace_back(1);
      ++i;
    } else {
      records.back().back() += c;
    }
  }
  if (records.back().size() == 1 && records.back()[0].empty()) records.pop_back();
  return records;
}

// Lines of a recovery that say a file was written completely. The sample files hold filler
// bytes after their signatures, so each also gets a line that its content is damaged.
size_t success_lines(const CliRun& run) {
  size_t n = 0;
  for (const std::string& line : run.out_lines()) n += line.ends_with(" successfully.");
  return n;
}

std::string expected_path(const VolumeFile& f) {
  return f.folder.empty() ? "C:" : "C:\\" + f.folder;
}

std::vector<VolumeFile> deleted_of(const std::vector<VolumeFile>& files) {
  std::vector<VolumeFile> deleted;
  for (const VolumeFile& f : files)
    if (f.deleted) deleted.push_back(f);
  return deleted;
}

class CliOnFatVolume : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    image_ = make_fat_volume(dir_, GetParam(), sample_files(), sample_deleted_folders());
    if (image_.empty()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  }
  TempDir dir_;
  std::string image_;
};

TEST_P(CliOnFatVolume, TsvListsEveryDeletedFileOnce) {
  const CliRun run = run_cli(shell_quote(image_) + " --format tsv", dir_);
  const CliRun scan = run_cli("scan " + shell_quote(image_) + " --format tsv", dir_);
  EXPECT_EQ(run.status, 2) << "a source without a command is refused";
  ASSERT_EQ(scan.status, 0) << scan.err;
  const auto lines = scan.out_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], kTsvHeader);
  const auto deleted = deleted_of(sample_files());
  ASSERT_EQ(lines.size(), deleted.size() + 1) << scan.out;
  for (const VolumeFile& f : deleted) {
    const auto row = std::find_if(lines.begin() + 1, lines.end(), [&](const std::string& line) {
      const auto fields = split(line, '\t');
      return fields.size() == 8 && fields[0] == f.name && fields[1] == expected_path(f);
    });
    ASSERT_NE(row, lines.end()) << f.name << " in " << expected_path(f) << "\n" << scan.out;
    const auto fields = split(*row, '\t');
    EXPECT_EQ(fields[3], std::to_string(f.content.size()));
    EXPECT_TRUE(fields[2] == "Bad" || fields[2] == "Middle" || fields[2] == "Good") << fields[2];
    EXPECT_EQ(fields[4].size(), 19u) << fields[4];  // YYYY-MM-DD hh:mm:ss
    EXPECT_EQ(fields[6], "00");                     // the FAT scan sets no sector
    EXPECT_GT(std::stoll(fields[7]), 1);            // first cluster
  }
  // The engine's log goes to standard error, between the opening and closing lines.
  const auto log = scan.err_lines();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log.front(), "Scan C:\\ ...");
  EXPECT_EQ(log.back(), "End scan");
}

TEST_P(CliOnFatVolume, RecoverAllWithPathsGivesBackTheDeletedBytes) {
  const uint64_t before = file_fingerprint(image_);
  const CliRun run =
      run_cli("recover " + shell_quote(image_) + " --all --with-paths --to out", dir_);
  // Every file is written whole; none of the filler files looks like a whole file of its
  // type, which the exit status says.
  ASSERT_EQ(run.status, 1) << run.err;
  const auto deleted = deleted_of(sample_files());
  EXPECT_EQ(success_lines(run), deleted.size()) << run.out;
  EXPECT_EQ(run.out_lines().size(), 2 * deleted.size()) << run.out;
  for (const VolumeFile& f : deleted) {
    const std::string written =
        dir_.file("out/" + (f.folder.empty() ? "" : f.folder + "/") + f.name);
    EXPECT_TRUE(read_file(written) == f.content) << written;
    EXPECT_NE(run.out.find("Undeleted " + std::string("out/") +
                           (f.folder.empty() ? "" : f.folder + "/") + f.name + " successfully."),
              std::string::npos)
        << run.out;
  }
  // Live files stay where they are; nothing else is written.
  EXPECT_FALSE(std::filesystem::exists(dir_.file("out/keep me.txt")));
  size_t files_written = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.file("out")))
    files_written += entry.is_regular_file();
  EXPECT_EQ(files_written, deleted.size());
  EXPECT_EQ(file_fingerprint(image_), before) << "the source must only be read";
}

INSTANTIATE_TEST_SUITE_P(FatTypes, CliOnFatVolume, testing::Values(12, 16, 32),
                         [](const auto& info) { return "FAT" + std::to_string(info.param); });

class CliOnFat16 : public testing::Test {
 protected:
  void SetUp() override {
    image_ = make_fat_volume(dir_, 16, sample_files(), sample_deleted_folders());
    if (image_.empty()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  }
  CliRun scan(const std::string& format) {
    return run_cli("scan " + shell_quote(image_) + " --format " + format, dir_);
  }
  TempDir dir_;
  std::string image_;
  const size_t deleted_ = deleted_of(sample_files()).size();
};

TEST_F(CliOnFat16, EveryFormatParses) {
  const CliRun json = scan("json");
  ASSERT_EQ(json.status, 0) << json.err;
  const JsonCheck check = check_json(json.out);
  EXPECT_TRUE(check.valid) << json.out;
  EXPECT_EQ(check.top_level_items, static_cast<int>(deleted_));

  const CliRun csv = scan("csv");
  ASSERT_EQ(csv.status, 0);
  const auto records = parse_csv(csv.out);
  ASSERT_EQ(records.size(), deleted_ + 1) << csv.out;
  for (const auto& record : records) EXPECT_EQ(record.size(), 8u);
  EXPECT_EQ(records[0][0], "Name");

  const CliRun table = scan("table");
  ASSERT_EQ(table.status, 0);
  const auto table_lines = table.out_lines();
  ASSERT_EQ(table_lines.size(), deleted_ + 1);
  EXPECT_NE(table_lines[0].find("Date modified"), std::string::npos);
  EXPECT_NE(table.out.find("68 Kb"), std::string::npos) << table.out;  // 70,000 bytes

  const CliRun body = scan("bodyfile");
  ASSERT_EQ(body.status, 0);
  const auto body_lines = body.out_lines();
  ASSERT_EQ(body_lines.size(), deleted_);
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  for (const std::string& line : body_lines) {
    const auto fields = split(line, '|');
    ASSERT_EQ(fields.size(), 11u) << line;
    EXPECT_EQ(fields[0], "0");
    EXPECT_TRUE(fields[1].starts_with("C:/")) << fields[1];
    EXPECT_TRUE(fields[1].ends_with(" (deleted)")) << fields[1];
    // mtools stamps the copies with the time they were made: within the last day.
    EXPECT_LT(std::llabs(std::stoll(fields[8]) - now), 86400) << line;
  }
}

TEST_F(CliOnFat16, AnIndependentReaderSeesTheSameDeletedFiles) {
  if (!have_program("fls")) GTEST_SKIP() << "fls missing";
  std::string fls;
  ASSERT_EQ(run_command("fls -r -d -p " + shell_quote(image_), &fls), 0);
  const CliRun tsv = scan("tsv");
  const auto lines = tsv.out_lines();
  for (size_t i = 1; i < lines.size(); ++i) {
    const auto fields = split(lines[i], '\t');
    std::string path = fields[1].size() > 2 ? fields[1].substr(3) + "/" : "";
    std::replace(path.begin(), path.end(), '\\', '/');
    EXPECT_NE(fls.find(":\t" + path + fields[0] + "\n"), std::string::npos)
        << path << fields[0] << "\n"
        << fls;
  }
}

TEST_F(CliOnFat16, InodeAndRowChooseTheFiles) {
  const auto lines = scan("tsv").out_lines();
  std::map<std::string, std::pair<size_t, std::string>> rows;  // name+path -> row, inode
  for (size_t i = 1; i < lines.size(); ++i) {
    const auto f = split(lines[i], '\t');
    rows[f[1] + "\\" + f[0]] = {i - 1, f[7]};
  }
  const auto zip = rows.at("C:\\Old stuff\\Archive one.zip");
  const auto pdf = rows.at("C:\\Quarterly report - final version.pdf");
  const CliRun by_inode =
      run_cli("recover " + shell_quote(image_) + " --to a --inode " + zip.second, dir_);
  EXPECT_EQ(success_lines(by_inode), 1u) << by_inode.out;
  EXPECT_EQ(read_file(dir_.file("a/Archive one.zip")), filler(4096, 7, "PK\x03\x04"));

  const CliRun by_row = run_cli(
      "recover " + shell_quote(image_) + " --to b --row " + std::to_string(pdf.first), dir_);
  EXPECT_EQ(success_lines(by_row), 1u) << by_row.out;
  EXPECT_EQ(read_file(dir_.file("b/Quarterly report - final version.pdf")),
            filler(12345, 1, "%PDF-1.4\n"));

  // Numbers that name nothing: the rest is still written, the status says not everything was.
  const CliRun no_row = run_cli("recover " + shell_quote(image_) + " --to c --row 0 99", dir_);
  EXPECT_EQ(no_row.status, 1);
  EXPECT_NE(no_row.err.find("row 99 does not exist"), std::string::npos) << no_row.err;
  EXPECT_EQ(success_lines(no_row), 1u) << no_row.out;
  const CliRun no_inode =
      run_cli("recover " + shell_quote(image_) + " --to c --inode " + zip.second + ",999999", dir_);
  EXPECT_EQ(no_inode.status, 1);
  EXPECT_NE(no_inode.err.find("no deleted file with inode 999999"), std::string::npos);
  EXPECT_EQ(success_lines(no_inode), 1u) << no_inode.out;
}

TEST_F(CliOnFat16, DriveTableNamesTheImages) {
  const std::string copy = dir_.file("second copy.img");
  std::filesystem::copy_file(image_, copy);
  const CliRun run =
      run_cli("drives " + shell_quote(image_) + " " + shell_quote(copy) + " --format tsv", dir_);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = run.out_lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Drive\tType\tFileSystem\tLabel\tSerial\tSize\tSource\tOffset\tProblem");
  const auto c = split(lines[1], '\t'), d = split(lines[2], '\t');
  EXPECT_EQ(c[0], "C:");
  EXPECT_EQ(c[2], "FAT");
  EXPECT_EQ(c[5], std::to_string(std::filesystem::file_size(image_)));
  EXPECT_EQ(c[6], image_);
  EXPECT_EQ(d[0], "D:");
  EXPECT_EQ(d[6], copy);
  EXPECT_TRUE(
      check_json(run_cli("drives " + shell_quote(image_) + " --format json", dir_).out).valid);
}

// A readable source that holds no volume is a drive to search by content, not a fault; a
// source that cannot be opened still is one.
TEST(CliProgram, DriveTableListsAVolumelessSourceAsOneToCarve) {
  TempDir dir;
  std::string noise(1 << 20, '\0');
  uint32_t x = 7;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  write_file(dir.file("noise.img"), noise);
  const CliRun run = run_cli("drives noise.img --format tsv", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto c = split(run.out_lines().at(1), '\t');
  EXPECT_EQ(c[2], "unknown");
  EXPECT_TRUE(c[8].ends_with("; scan --carve searches it by content")) << c[8];
  EXPECT_EQ(run_cli("drives noise.img missing.img --format tsv", dir).status, 2);
}

// Each mistake: status 2, one line on standard error naming the problem, nothing on standard
// output, nothing written.
struct Mistake {
  std::string arguments;
  std::string mentions;
};

TEST_F(CliOnFat16, MistakesGiveOneLineAndWriteNothing) {
  write_file(dir_.file("plain file"), "x");
  write_file(dir_.file("zeros.img"), std::string(1 << 20, '\0'));
  const std::string img = shell_quote(image_);
  const std::vector<Mistake> mistakes = {
      {"", "no command"},
      {"scna " + img, "scna"},
      {"scan " + img + " --format xml", "xml"},
      {"scan " + img + " --drive B", "--drive"},
      {"scan missing.img", "missing.img"},
      {"recover missing.img --to out --all", "missing.img"},
      {"scan zeros.img", "zeros.img"},
      {"scan " + img + " --drive Q", "Q:"},
      {"recover " + img + " --all", "--to"},
      {"recover " + img + " --to out", "--all"},
      {"recover " + img + " --to 'plain file/sub' --all", "plain file/sub"},
      {"recover " + img + " --to 'plain file' --all", "plain file"},
  };
  const uint64_t before = file_fingerprint(image_);
  for (const Mistake& m : mistakes) {
    const CliRun run = run_cli(m.arguments, dir_);
    EXPECT_EQ(run.status, 2) << m.arguments << "\n" << run.err;
    EXPECT_EQ(run.out, "") << m.arguments;
    const auto errors = run.err_lines();
    EXPECT_EQ(errors.size(), 1u) << m.arguments << "\n" << run.err;
    EXPECT_NE(run.err.find(m.mentions), std::string::npos) << m.arguments << "\n" << run.err;
    EXPECT_TRUE(run.err.starts_with("pyralis-cli: ")) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.file("out")));
  EXPECT_EQ(file_fingerprint(image_), before);
}

TEST(CliProgram, HelpAndVersion) {
  TempDir dir;
  const CliRun version = run_cli("--version", dir);
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.out.starts_with("pyralis-cli 1.1.5.10\n")) << version.out;
  EXPECT_NE(version.out.find("Licence GPL-3.0-or-later"), std::string::npos) << version.out;
  const CliRun help = run_cli("scan --help", dir);
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: pyralis-cli")) << help.out;
  EXPECT_EQ(help.err, "");
}

TEST(CliProgram, NtfsSampleVolumesScanCleanly) {
  TempDir dir;
  const std::string bare = gunzip_fixture("gpl3-samples/ntfs3.raw.gz", dir);
  const CliRun json = run_cli("scan " + shell_quote(bare) + " --format json", dir);
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_TRUE(check_json(json.out).valid) << json.out;
  EXPECT_NE(json.err.find("End scan"), std::string::npos) << json.err;

  // A whole disk: the NTFS partition at sector 128 becomes drive C.
  const std::string disk = gunzip_fixture("cc0-ntfs-samples/ntfs-lastaccess.raw.gz", dir);
  const CliRun drives = run_cli("drives " + shell_quote(disk) + " --format tsv", dir);
  ASSERT_EQ(drives.status, 0) << drives.err;
  const auto c = split(drives.out_lines().at(1), '\t');
  EXPECT_EQ(c[0], "C:");
  EXPECT_EQ(c[2], "NTFS");
  EXPECT_EQ(c[7], "65536");
  const uint64_t before = file_fingerprint(disk);
  const CliRun recover = run_cli("recover " + shell_quote(disk) + " --to out --all", dir);
  EXPECT_EQ(recover.status, 0) << recover.err;
  EXPECT_EQ(file_fingerprint(disk), before);
}

}  // namespace
}  // namespace pyralis::test

namespace pyralis::test {
namespace {

// The content verdict on the command line: scan --check, and recover's check of what it
// wrote (its own line, the report's fields, the exit status).
TEST(CliContent, ScanCheckAndRecoverTellWholeFilesFromBrokenOnes) {
  TempDir dir;
  const std::string photo = read_file(fixture_path("filetypes/photo.jpg"));
  std::string broken = photo;
  for (size_t i = broken.size() / 2; i < broken.size() / 2 + 600 && i + 2 < broken.size(); ++i)
    broken[i] = static_cast<char>(i * 7);
  const std::vector<VolumeFile> files = {
      {"", "Whole photo.jpg", photo, true},
      {"", "Broken photo.jpg", broken, true},
      {"", "Some notes.txt", std::string(900, 'n') + "\n", true},
  };
  const std::string image = make_fat_volume(dir, 16, files, {});
  ASSERT_FALSE(image.empty());

  const CliRun tsv = run_cli("scan " + shell_quote(image) + " --check --format tsv", dir);
  ASSERT_EQ(tsv.status, 0) << tsv.err;
  const auto lines = tsv.out_lines();
  ASSERT_EQ(lines.size(), 4u) << tsv.out;
  EXPECT_EQ(lines[0], std::string(kTsvHeader) + "\tContent");
  std::map<std::string, std::string> content;
  std::map<std::string, size_t> row;
  for (size_t i = 1; i < lines.size(); ++i) {
    const auto f = split(lines[i], '\t');
    ASSERT_EQ(f.size(), 9u) << lines[i];
    content[f[0]] = f[8];
    row[f[0]] = i - 1;
  }
  EXPECT_EQ(content["Whole photo.jpg"], "Intact");
  EXPECT_TRUE(content["Broken photo.jpg"].starts_with("Damaged (at "))
      << content["Broken photo.jpg"];
  EXPECT_EQ(content["Some notes.txt"], "Plausible");  // any text would pass
  // Without --check there is no such column; JSON gives it and the candidates.
  EXPECT_EQ(run_cli("scan " + shell_quote(image) + " --format tsv", dir).out_lines()[0],
            kTsvHeader);
  const CliRun json = run_cli("scan " + shell_quote(image) + " --check --format json", dir);
  EXPECT_TRUE(check_json(json.out).valid) << json.out;
  EXPECT_NE(json.out.find("\"Content\": \"Intact\", \"Candidates\": []"), std::string::npos)
      << json.out;

  const CliRun all =
      run_cli("recover " + shell_quote(image) + " --all --to out --report report.json", dir);
  EXPECT_EQ(all.status, 1) << all.err;
  EXPECT_EQ(read_file(dir.file("out/Broken photo.jpg")), broken);
  const std::string prefix = "Undeleted out/Broken photo.jpg, but its content is damaged at byte ";
  const auto out = all.out_lines();
  const auto line = std::find_if(out.begin(), out.end(),
                                 [&](const std::string& l) { return l.starts_with(prefix); });
  ASSERT_NE(line, out.end()) << all.out;
  EXPECT_TRUE(line->ends_with(" (it does not look like a whole JPEG).")) << *line;
  EXPECT_EQ(out.size(), 4u) << all.out;  // three written, one of them damaged
  const std::string report = read_file(dir.file("report.json"));
  EXPECT_TRUE(check_json(report).valid) << report;
  EXPECT_NE(report.find("\"estimate\": {\"status\": \"Good\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"content\": \"Intact\", \"damaged_at\": null"), std::string::npos)
      << report;
  EXPECT_NE(report.find("\"content\": \"Plausible\", \"damaged_at\": null"), std::string::npos)
      << report;
  EXPECT_NE(report.find("\"content\": \"Damaged (at "), std::string::npos) << report;

  // A whole photo alone: complete and intact, status 0.
  const CliRun whole = run_cli("recover " + shell_quote(image) + " --row " +
                                   std::to_string(row["Whole photo.jpg"]) + " --to whole",
                               dir);
  EXPECT_EQ(whole.status, 0) << whole.err << whole.out;
}

}  // namespace
}  // namespace pyralis::test
