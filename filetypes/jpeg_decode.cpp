// SPDX-License-Identifier: GPL-3.0-or-later
// JPEG decoded with libjpeg-turbo at an eighth of its size: every scan's Huffman data is
// decoded, so that foreign bytes that happen to contain no marker show as a bad Huffman
// code, a scan that runs short or data left over. The marker walk runs first and gives the file's
// end.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jerror.h>
#include <jpeglib.h>

#include "filetypes/walk.h"

namespace pyralis::filetypes::detail {

namespace {

struct Decoder {
  jpeg_decompress_struct info;
  jpeg_error_mgr errors;
  jpeg_source_mgr source;
  std::jmp_buf jump;
  Reader* reader = nullptr;
  uint64_t next = 0;  // the next offset to give the decoder
  uint64_t end = 0;   // the file's end by its markers
  std::vector<uint8_t> buffer;
  std::vector<JSAMPLE> row;
  jpeg_progress_mgr progress;
  bool gave_up = false;  // too big or too many scans to decode: no verdict from decoding
  bool warned = false;
  uint64_t trouble_at = 0;  // where the decoder was when it first complained
  char message[JMSG_LENGTH_MAX] = {};

  uint64_t consumed() const { return next - source.bytes_in_buffer; }
};

Decoder* of(j_common_ptr info) {
  return static_cast<Decoder*>(info->client_data);
}
Decoder* of(j_decompress_ptr info) {
  return of(reinterpret_cast<j_common_ptr>(info));
}

constexpr long kMaxMemory = 256L << 20;
constexpr int kMaxScans = 1000;

void fail(j_common_ptr info) {
  Decoder* d = of(info);
  const int code = info->err->msg_code;
  if (code == JERR_OUT_OF_MEMORY || code == JERR_NO_BACKING_STORE || code == JERR_WIDTH_OVERFLOW) {
    d->gave_up = true;
  } else if (!d->warned) {
    d->trouble_at = d->consumed();
    (*info->err->format_message)(info, d->message);
  }
  std::longjmp(d->jump, 1);
}

void emit(j_common_ptr info, int level) {
  if (level >= 0) return;  // trace messages
  Decoder* d = of(info);
  if (!d->warned) {
    d->warned = true;
    d->trouble_at = d->consumed();
    (*info->err->format_message)(info, d->message);
  }
}

// Progressive files may hold many scans over a large image; past a bound the decoding stops.
void progress(j_common_ptr info) {
  auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
  if (decompress->input_scan_number > kMaxScans) {
    of(info)->gave_up = true;
    std::longjmp(of(info)->jump, 1);
  }
}

void init_source(j_decompress_ptr) {}
void term_source(j_decompress_ptr) {}

boolean fill(j_decompress_ptr info) {
  Decoder* d = of(info);
  const auto bytes = d->next < d->end
                         ? d->reader->view(d->next, static_cast<size_t>(std::min<uint64_t>(
                                                        d->buffer.size(), d->end - d->next)))
                         : std::span<const uint8_t>();
  if (bytes.empty()) {
    // Past the end: an EOI, as libjpeg's own sources do, after a warning.
    static const JOCTET kEnd[2] = {0xFF, JPEG_EOI};
    WARNMS(info, JWRN_JPEG_EOF);
    d->source.next_input_byte = kEnd;
    d->source.bytes_in_buffer = 2;
    return TRUE;
  }
  std::copy(bytes.begin(), bytes.end(), d->buffer.begin());
  d->source.next_input_byte = d->buffer.data();
  d->source.bytes_in_buffer = bytes.size();
  d->next += bytes.size();
  return TRUE;
}

void skip(j_decompress_ptr info, long count) {
  if (count <= 0) return;
  Decoder* d = of(info);
  auto n = static_cast<uint64_t>(count);
  if (n <= d->source.bytes_in_buffer) {
    d->source.next_input_byte += n;
    d->source.bytes_in_buffer -= n;
    return;
  }
  n -= d->source.bytes_in_buffer;
  d->source.bytes_in_buffer = 0;
  d->next = std::min(d->end, d->next + n);
}

// Runs the decoder; false when it failed (d->message says why). Only plain values live in
// this frame, since a failure leaves it by longjmp.
bool decode(Decoder* d) {
  if (setjmp(d->jump) != 0) return false;
  jpeg_read_header(&d->info, TRUE);
  // An eighth of the size: every coefficient is still Huffman-decoded, but the inverse DCT
  // is a single term and the rows are short.
  d->info.scale_num = 1;
  d->info.scale_denom = 8;
  d->info.dct_method = JDCT_IFAST;
  d->info.do_fancy_upsampling = FALSE;
  d->info.do_block_smoothing = FALSE;
  d->info.out_color_space = JCS_GRAYSCALE;
  jpeg_start_decompress(&d->info);
  const size_t row = size_t{d->info.output_width} * d->info.output_components;
  if (row > d->row.size()) d->row.resize(row);
  JSAMPROW rows[1] = {d->row.data()};
  while (d->info.output_scanline < d->info.output_height) {
    if (jpeg_read_scanlines(&d->info, rows, 1) != 1) break;
  }
  jpeg_finish_decompress(&d->info);
  return true;
}

}  // namespace

Result decode_jpeg(Reader& reader, const Result& walked) {
  if (walked.state != State::kIntact) return walked;
  auto d = std::make_unique<Decoder>();
  d->reader = &reader;
  d->end = walked.implied_length;
  d->buffer.resize(Reader::kWindow);
  d->info.err = jpeg_std_error(&d->errors);
  d->errors.error_exit = fail;
  d->errors.emit_message = emit;
  volatile bool ok = false;
  if (setjmp(d->jump) == 0) {
    jpeg_create_decompress(&d->info);
    d->info.client_data = d.get();
    d->info.mem->max_memory_to_use = kMaxMemory;
    d->progress.progress_monitor = progress;
    d->info.progress = &d->progress;
    d->source.init_source = init_source;
    d->source.fill_input_buffer = fill;
    d->source.skip_input_data = skip;
    d->source.resync_to_restart = jpeg_resync_to_restart;
    d->source.term_source = term_source;
    d->source.bytes_in_buffer = 0;
    d->source.next_input_byte = nullptr;
    d->info.src = &d->source;
    ok = decode(d.get());
  }
  jpeg_destroy_decompress(&d->info);
  if (d->gave_up) return walked;
  if (ok && !d->warned) {
    // Every byte up to the end is checked when the decoder read it all; a Multi-Picture
    // file's further pictures were only walked.
    Result r = walked;
    r.payload_verified = d->consumed() >= walked.implied_length;
    return r;
  }
  Result r =
      damaged(Kind::kJpeg, std::min(d->trouble_at, walked.implied_length),
              std::string("the image data does not decode: ") + d->message, walked.implied_length);
  r.width = walked.width;
  r.height = walked.height;
  r.date_taken = walked.date_taken;
  return r;
}

}  // namespace pyralis::filetypes::detail
