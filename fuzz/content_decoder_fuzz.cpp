// The content decoder on arbitrary bytes: no crash, no output beyond the
// buffer it is given, no progress without end, and a failed decoder stays
// failed. The first byte picks the codings and the piece sizes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "content_decoder.h"

using cronet_curl::ContentDecoder;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kCodings[] = {"gzip",     "deflate",       "br",       "zstd",
                                         "gzip, br", "deflate, zstd", "br, gzip", "zstd, deflate"};
  if (size < 1) return 0;
  const char* coding = kCodings[data[0] & 7];
  size_t in_step = 1 + ((data[0] >> 3) & 3) * 300;   // 1 .. 901 bytes of input per call
  size_t out_cap = 1 + ((data[0] >> 5) & 7) * 1000;  // 1 .. 7001 bytes of output per call
  ++data;
  --size;
  std::unique_ptr<ContentDecoder> d;
  if (ContentDecoder::for_encoding(coding, &d) != ContentDecoder::Plan::kDecode) std::abort();
  static uint8_t out[8192];
  size_t pos = 0, total = 0;
  // Bombs are fine; what counts is the bounded pieces, so stop after 64 MiB.
  while (total < (size_t{64} << 20)) {
    size_t n = size - pos < in_step ? size - pos : in_step;
    ContentDecoder::Result r = d->decode(data + pos, n, out, out_cap);
    if (r.produced > out_cap || r.consumed > n) std::abort();
    pos += r.consumed;
    total += r.produced;
    if (r.status != ContentDecoder::Status::kOk) {
      if (d->finished()) std::abort();
      if (d->decode(data, size, out, out_cap).status == ContentDecoder::Status::kOk) std::abort();
      break;
    }
    if (r.consumed == 0 && r.produced == 0) {
      if (pos != size) std::abort();  // stuck with input left
      break;
    }
  }
  return 0;
}
