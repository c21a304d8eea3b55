// SPDX-License-Identifier: GPL-3.0-or-later
#include "filetypes/walk.h"
namespace pyralis::filetypes {
bool mp3_frame_header(std::span<const uint8_t>) {
  return false;
}
}  // namespace pyralis::filetypes
namespace pyralis::filetypes::detail {
Result check_isobmff(Reader&) {
  return unknown(Kind::kIsoBmff);
}
Result check_riff(Reader&, Kind kind) {
  return unknown(kind);
}
Result check_matroska(Reader&) {
  return unknown(Kind::kMatroska);
}
Result check_mp3(Reader&) {
  return unknown(Kind::kMp3);
}
Result check_flac(Reader&) {
  return unknown(Kind::kFlac);
}
Result check_ogg(Reader&) {
  return unknown(Kind::kOgg);
}
Result check_pdf(Reader&) {
  return unknown(Kind::kPdf);
}
Result check_ole2(Reader&) {
  return unknown(Kind::kOle2);
}
Result check_sqlite(Reader&) {
  return unknown(Kind::kSqlite);
}
Result check_rtf(Reader&) {
  return unknown(Kind::kRtf);
}
Result check_7z(Reader&) {
  return unknown(Kind::kSevenZip);
}
Result check_rar(Reader&) {
  return unknown(Kind::kRar);
}
Result check_text(Reader&) {
  return unknown(Kind::kText);
}
}  // namespace pyralis::filetypes::detail
