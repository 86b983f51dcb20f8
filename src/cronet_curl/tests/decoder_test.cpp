// The content decoder: each coding whole, cut short, cut by its trailer,
// corrupt, empty, chained and unknown; and bounded output on a bomb.
#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <string>
#include <tuple>

#include "content_decoder.h"

using namespace cronet_curl;

namespace {

enum class Codec { kGzip, kGzipTwoMembers, kDeflate, kRawDeflate, kBrotli, kZstd };
enum class Case { kWhole, kCutShort, kCutTrailer, kCorrupt, kEmpty, kChained, kUnknown };

std::string text(size_t n) {
  static const char* const kWords[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta "};
  std::string s;
  uint32_t x = 12345;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    s += kWords[(x >> 16) % 6];
  }
  s.resize(n);
  return s;
}

std::string zlib(const std::string& in, int window_bits) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, in.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string brotli(const std::string& in) {
  size_t n = BrotliEncoderMaxCompressedSize(in.size()) + 16;
  std::string out(n, '\0');
  EXPECT_TRUE(BrotliEncoderCompress(5, 22, BROTLI_MODE_GENERIC, in.size(),
                                    reinterpret_cast<const uint8_t*>(in.data()), &n,
                                    reinterpret_cast<uint8_t*>(out.data())));
  out.resize(n);
  return out;
}

std::string zstd(const std::string& in) {
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
  std::string out(ZSTD_compressBound(in.size()), '\0');
  size_t n = ZSTD_compress2(c, out.data(), out.size(), in.data(), in.size());
  EXPECT_FALSE(ZSTD_isError(n));
  out.resize(n);
  ZSTD_freeCCtx(c);
  return out;
}

const char* name(Codec c) {
  switch (c) {
    case Codec::kGzip:
    case Codec::kGzipTwoMembers: return "gzip";
    case Codec::kDeflate:
    case Codec::kRawDeflate: return "deflate";
    case Codec::kBrotli: return "br";
    case Codec::kZstd: return "zstd";
  }
  return "";
}

// The body as sent, and what decoding it gives.
std::string encode(Codec c, const std::string& in) {
  switch (c) {
    case Codec::kGzip: return zlib(in, 31);
    case Codec::kGzipTwoMembers: {
      size_t half = in.size() / 2;
      return zlib(in.substr(0, half), 31) + zlib(in.substr(half), 31);
    }
    case Codec::kDeflate: return zlib(in, 15);
    case Codec::kRawDeflate: return zlib(in, -15);
    case Codec::kBrotli: return brotli(in);
    case Codec::kZstd: return zstd(in);
  }
  return "";
}

struct Outcome {
  std::string out;
  bool error = false;
  bool finished = false;
  bool started = false;
};

// Feeds the input in small slices and takes output in small pieces.
Outcome decode_all(ContentDecoder* d, const std::string& in) {
  Outcome o;
  uint8_t buf[3000];
  size_t pos = 0;
  while (true) {
    size_t slice = std::min<size_t>(in.size() - pos, 1000);
    auto r = d->decode(reinterpret_cast<const uint8_t*>(in.data()) + pos, slice, buf, sizeof buf);
    EXPECT_LE(r.produced, sizeof buf);
    pos += r.consumed;
    o.out.append(reinterpret_cast<char*>(buf), r.produced);
    if (r.status != ContentDecoder::Status::kOk) {
      o.error = true;
      break;
    }
    if (r.consumed == 0 && r.produced == 0) {
      EXPECT_EQ(pos, in.size());
      break;
    }
  }
  o.finished = d->finished();
  o.started = d->started();
  return o;
}

class Decoding : public testing::TestWithParam<std::tuple<Codec, Case>> {};

TEST_P(Decoding, Table) {
  auto [codec, kase] = GetParam();
  const std::string plain = text(200000);
  std::string header = name(codec);
  std::string body = encode(codec, plain);
  std::string want = plain;
  enum { kGood, kUnfinished, kError, kPassThrough } expect = kGood;
  switch (kase) {
    case Case::kWhole: break;
    case Case::kCutShort:
      body.resize(body.size() / 2);
      expect = kUnfinished;
      break;
    case Case::kCutTrailer: {
      // gzip keeps an 8-byte trailer, zlib 4; the others end in data.
      bool gzip = codec == Codec::kGzip || codec == Codec::kGzipTwoMembers;
      body.resize(body.size() - (gzip ? 8 : 4));
      expect = gzip ? kGood : kUnfinished;
      break;
    }
    case Case::kCorrupt: {
      // Raw deflate and Brotli carry no checksum: damage in the middle may
      // decode to other bytes unnoticed, damage at the start may not.
      bool checked = codec != Codec::kRawDeflate && codec != Codec::kBrotli;
      size_t at = checked ? body.size() / 3 : 0;
      for (size_t i = at; i < at + 64; ++i) body[i] = '\xff';
      expect = kError;
      break;
    }
    case Case::kEmpty:
      want.clear();
      body = encode(codec, want);
      break;
    case Case::kChained:
      header = "gzip, identity, " + header;  // applied in this order
      body = encode(codec, zlib(plain, 31));
      break;
    case Case::kUnknown:
      header += ", compress";
      expect = kPassThrough;
      break;
  }
  std::unique_ptr<ContentDecoder> d;
  ContentDecoder::Plan plan = ContentDecoder::for_encoding(header, &d);
  if (expect == kPassThrough) {
    EXPECT_EQ(plan, ContentDecoder::Plan::kPassThrough);
    EXPECT_EQ(d, nullptr);
    return;
  }
  ASSERT_EQ(plan, ContentDecoder::Plan::kDecode);
  Outcome o = decode_all(d.get(), body);
  EXPECT_EQ(o.error, expect == kError);
  EXPECT_EQ(o.finished, expect == kGood);
  EXPECT_TRUE(o.started);
  if (expect == kGood) {
    EXPECT_EQ(o.out, want);
  } else if (expect == kUnfinished) {
    EXPECT_LE(o.out.size(), want.size());
    EXPECT_TRUE(o.out == want.substr(0, o.out.size()));  // what came out is right
  }
  if (kase == Case::kChained) {  // the chain cut short
    ContentDecoder::for_encoding(header, &d);
    Outcome cut = decode_all(d.get(), body.substr(0, body.size() / 2));
    EXPECT_FALSE(cut.finished);
    EXPECT_FALSE(cut.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, Decoding,
    testing::Combine(testing::Values(Codec::kGzip, Codec::kGzipTwoMembers, Codec::kDeflate,
                                     Codec::kRawDeflate, Codec::kBrotli, Codec::kZstd),
                     testing::Values(Case::kWhole, Case::kCutShort, Case::kCutTrailer,
                                     Case::kCorrupt, Case::kEmpty, Case::kChained,
                                     Case::kUnknown)));

TEST(DecoderPlans, FromContentEncoding) {
  struct Row {
    const char* header;
    ContentDecoder::Plan plan;
  } rows[] = {
      {"", ContentDecoder::Plan::kPassThrough},
      {"identity", ContentDecoder::Plan::kPassThrough},
      {" , identity ,", ContentDecoder::Plan::kPassThrough},
      {"compress", ContentDecoder::Plan::kPassThrough},
      {"gzip, foo", ContentDecoder::Plan::kPassThrough},
      {"foo, gzip", ContentDecoder::Plan::kPassThrough},
      {"GZip", ContentDecoder::Plan::kDecode},
      {"x-gzip", ContentDecoder::Plan::kDecode},
      {"br,zstd,deflate", ContentDecoder::Plan::kDecode},
      {"gzip,gzip,gzip,gzip,gzip,gzip,gzip,gzip", ContentDecoder::Plan::kDecode},
      {"gzip,gzip,gzip,gzip,gzip,gzip,gzip,gzip,gzip", ContentDecoder::Plan::kRefuse},
  };
  for (const Row& r : rows) {
    std::unique_ptr<ContentDecoder> d;
    EXPECT_EQ(ContentDecoder::for_encoding(r.header, &d), r.plan) << r.header;
    EXPECT_EQ(d != nullptr, r.plan == ContentDecoder::Plan::kDecode) << r.header;
  }
  // Nothing at all is no stream: the caller decides (empty bodies are fine).
  std::unique_ptr<ContentDecoder> d;
  ContentDecoder::for_encoding("br", &d);
  Outcome o = decode_all(d.get(), "");
  EXPECT_FALSE(o.started);
  EXPECT_FALSE(o.finished);
}

TEST(DecoderGzip, TrailerAndTrailingBytes) {
  const std::string plain = text(50000);
  std::string gz = zlib(plain, 31);
  struct Row {
    std::string body;
    bool error, finished;
    size_t out;
  } rows[] = {
      {gz + "garbage after the member", false, true, plain.size()},
      {gz + std::string("\x1f", 1), false, false, plain.size()},  // a member just begun
      {gz.substr(0, gz.size() - 3), false, true, plain.size()},   // part of the trailer
  };
  std::string bad_crc = gz;
  bad_crc[bad_crc.size() - 8] ^= 1;
  for (const Row& r : rows) {
    std::unique_ptr<ContentDecoder> d;
    ContentDecoder::for_encoding("gzip", &d);
    Outcome o = decode_all(d.get(), r.body);
    EXPECT_EQ(o.error, r.error);
    EXPECT_EQ(o.finished, r.finished);
    EXPECT_EQ(o.out.size(), r.out);
  }
  std::unique_ptr<ContentDecoder> d;
  ContentDecoder::for_encoding("gzip", &d);
  EXPECT_TRUE(decode_all(d.get(), bad_crc).error);
}

// Compresses `total` zero bytes with a streaming encoder.
std::string make_bomb(Codec c, size_t total) {
  const std::string zeros(1 << 20, '\0');
  std::string out;
  if (c == Codec::kGzip || c == Codec::kDeflate) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, c == Codec::kGzip ? 31 : 15, 9, Z_DEFAULT_STRATEGY);
    char buf[1 << 16];
    for (size_t done = 0; done <= total; done += zeros.size()) {
      bool last = done + zeros.size() > total;
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
      z.avail_in = last ? 0 : static_cast<uInt>(zeros.size());
      do {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
      } while (z.avail_out == 0);
    }
    deflateEnd(&z);
  } else if (c == Codec::kBrotli) {
    BrotliEncoderState* s = BrotliEncoderCreateInstance(nullptr, nullptr, nullptr);
    BrotliEncoderSetParameter(s, BROTLI_PARAM_QUALITY, 1);
    for (size_t done = 0; done <= total; done += zeros.size()) {
      bool last = done + zeros.size() > total;
      size_t in_n = last ? 0 : zeros.size();
      const uint8_t* in = reinterpret_cast<const uint8_t*>(zeros.data());
      do {
        uint8_t buf[1 << 16];
        uint8_t* o = buf;
        size_t room = sizeof buf;
        BrotliEncoderCompressStream(s, last ? BROTLI_OPERATION_FINISH : BROTLI_OPERATION_PROCESS,
                                    &in_n, &in, &room, &o, nullptr);
        out.append(reinterpret_cast<char*>(buf), sizeof buf - room);
      } while (in_n > 0 || BrotliEncoderHasMoreOutput(s) || (last && !BrotliEncoderIsFinished(s)));
    }
    BrotliEncoderDestroyInstance(s);
  } else {
    ZSTD_CCtx* z = ZSTD_createCCtx();
    for (size_t done = 0; done <= total; done += zeros.size()) {
      bool last = done + zeros.size() > total;
      ZSTD_inBuffer in{zeros.data(), last ? 0 : zeros.size(), 0};
      size_t left;
      do {
        char buf[1 << 16];
        ZSTD_outBuffer o{buf, sizeof buf, 0};
        left = ZSTD_compressStream2(z, &o, &in, last ? ZSTD_e_end : ZSTD_e_continue);
        out.append(buf, o.pos);
      } while (in.pos < in.size || (last && left != 0));
    }
    ZSTD_freeCCtx(z);
  }
  return out;
}

class Bombs : public testing::TestWithParam<Codec> {};

TEST_P(Bombs, OutputComesInBoundedPieces) {
  constexpr size_t kTotal = size_t{128} << 20;
  std::string bomb = make_bomb(GetParam(), kTotal);
  ASSERT_LT(bomb.size(), kTotal / 500);
  std::unique_ptr<ContentDecoder> d;
  ContentDecoder::for_encoding(name(GetParam()), &d);
  const uint8_t* in = reinterpret_cast<const uint8_t*>(bomb.data());
  static uint8_t out[64 << 10];
  // All input at once still gives at most one buffer per call; the decoder
  // keeps the rest until asked again.
  size_t pos = 0, total = 0, calls = 0;
  while (true) {
    auto r = d->decode(in + pos, bomb.size() - pos, out, sizeof out);
    ASSERT_EQ(r.status, ContentDecoder::Status::kOk);
    ASSERT_LE(r.produced, sizeof out);
    if (calls++ == 0) {
      EXPECT_LT(r.consumed, bomb.size());
    }
    for (size_t i = 0; i < r.produced; i += 4096) {
      ASSERT_EQ(out[i], 0);
    }
    pos += r.consumed;
    total += r.produced;
    if (r.consumed == 0 && r.produced == 0) break;
  }
  EXPECT_EQ(pos, bomb.size());
  EXPECT_EQ(total, kTotal);
  EXPECT_TRUE(d->finished());
}

INSTANTIATE_TEST_SUITE_P(Codecs, Bombs,
                         testing::Values(Codec::kGzip, Codec::kDeflate, Codec::kBrotli,
                                         Codec::kZstd));

}  // namespace
