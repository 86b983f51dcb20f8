// Content decoding with zlib, the Brotli decoder and zstd.
#include "content_decoder.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "ascii.h"

namespace cronet_curl {

using Status = ContentDecoder::Status;

// One coding. Run advances in/out over what it took and wrote.
class DecodeStage {
 public:
  virtual ~DecodeStage() = default;
  virtual Status run(const uint8_t** in, size_t* in_len, uint8_t** out, size_t* out_len) = 0;
  virtual bool finished() const = 0;
};

namespace {

constexpr size_t kBetweenSize = 64 << 10;
// Longer chains are no real server's doing and would cost a decoder each.
constexpr size_t kMaxCodings = 8;
// 8 MiB: the window HTTP senders of zstd keep to; larger frames are refused.
constexpr int kZstdWindowLogMax = 23;

// Runs inflate over what is given. Z_STREAM_END sets *ended.
Status inflate_step(z_stream* z, const uint8_t** in, size_t* in_len, uint8_t** out, size_t* out_len,
                    bool* ended) {
  // zlib counts in uInt: feed at most 1 GiB per call.
  uInt in_n = static_cast<uInt>(std::min<size_t>(*in_len, 1u << 30));
  uInt out_n = static_cast<uInt>(std::min<size_t>(*out_len, 1u << 30));
  z->next_in = const_cast<Bytef*>(*in);
  z->avail_in = in_n;
  z->next_out = *out;
  z->avail_out = out_n;
  int rc = inflate(z, Z_NO_FLUSH);
  size_t took = in_n - z->avail_in, wrote = out_n - z->avail_out;
  *in += took;
  *in_len -= took;
  *out += wrote;
  *out_len -= wrote;
  switch (rc) {
    case Z_STREAM_END: *ended = true; return Status::kOk;
    case Z_OK:
    case Z_BUF_ERROR:  // no progress possible now: not an error in a stream
      return Status::kOk;
    case Z_MEM_ERROR: return Status::kNoMemory;
    default: return Status::kCorrupt;
  }
}

// gzip members (RFC 1952) over raw inflate, so that a member whose compressed
// data is whole but whose 8-byte trailer is missing still counts as ended, as
// browsers accept. A trailer that is there must match. A further member that
// follows is decoded too (as gzip -d does); other bytes after a member are
// ignored.
class GzipStage : public DecodeStage {
 public:
  ~GzipStage() override {
    if (inited_) inflateEnd(&z_);
  }
  Status run(const uint8_t** in, size_t* in_len, uint8_t** out, size_t* out_len) override {
    while (true) {
      switch (state_) {
        case State::kHeader: {
          if (*in_len == 0) return Status::kOk;
          bool ok = parse_header(in, in_len);
          if (!ok) {
            if (members_ == 0) return Status::kCorrupt;
            state_ = State::kIgnore;  // not another member: trailing bytes
            break;
          }
          if (hstate_ != H::kDone) return Status::kOk;
          if (!inited_) {
            std::memset(&z_, 0, sizeof z_);
            int rc = inflateInit2(&z_, -MAX_WBITS);
            if (rc == Z_MEM_ERROR) return Status::kNoMemory;
            if (rc != Z_OK) return Status::kCorrupt;
            inited_ = true;
          } else {
            inflateReset(&z_);
          }
          crc_ = crc32(0, nullptr, 0);
          size_ = 0;
          state_ = State::kBody;
          break;
        }
        case State::kBody: {
          uint8_t* start = *out;
          bool ended = false;
          Status s = inflate_step(&z_, in, in_len, out, out_len, &ended);
          size_t wrote = static_cast<size_t>(*out - start);
          crc_ = crc32_z(crc_, start, wrote);
          size_ += wrote;
          if (s != Status::kOk) return s;
          if (!ended) return Status::kOk;
          state_ = State::kTrailer;
          trailer_len_ = 0;
          break;
        }
        case State::kTrailer: {
          while (*in_len > 0 && trailer_len_ < 8) {
            trailer_[trailer_len_++] = **in;
            ++*in;
            --*in_len;
          }
          if (trailer_len_ < 8) return Status::kOk;
          uint32_t crc = le32(trailer_), isize = le32(trailer_ + 4);
          if (crc != crc_ || isize != static_cast<uint32_t>(size_)) return Status::kCorrupt;
          ++members_;
          state_ = State::kHeader;
          hstate_ = H::kFixed;
          fixed_len_ = 0;
          if (*in_len == 0) return Status::kOk;
          if (**in != 0x1f) state_ = State::kIgnore;
          break;
        }
        case State::kIgnore:
          *in += *in_len;
          *in_len = 0;
          return Status::kOk;
      }
    }
  }
  // The compressed data of the last member ended (its trailer may be short).
  bool finished() const override {
    return state_ == State::kTrailer || state_ == State::kIgnore ||
           (state_ == State::kHeader && members_ > 0 && hstate_ == H::kFixed && fixed_len_ == 0);
  }

 private:
  enum class State { kHeader, kBody, kTrailer, kIgnore };
  enum class H { kFixed, kExtraLen, kExtra, kName, kComment, kHcrc, kDone };
  static uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
  }
  // The header state after `from`, given the flags.
  H after(H from) const {
    uint8_t flags = fixed_[3];
    if (from < H::kExtraLen && (flags & 4)) return H::kExtraLen;
    if (from < H::kName && (flags & 8)) return H::kName;
    if (from < H::kComment && (flags & 16)) return H::kComment;
    if (from < H::kHcrc && (flags & 2)) return H::kHcrc;
    return H::kDone;
  }
  void enter(H h) {
    hstate_ = h;
    count_ = 0;
  }
  bool parse_header(const uint8_t** in, size_t* in_len) {
    while (*in_len > 0 && hstate_ != H::kDone) {
      uint8_t c = **in;
      ++*in;
      --*in_len;
      switch (hstate_) {
        case H::kFixed:
          fixed_[fixed_len_++] = c;
          if ((fixed_len_ == 1 && c != 0x1f) || (fixed_len_ == 2 && c != 0x8b) ||
              (fixed_len_ == 3 && c != 8) || (fixed_len_ == 4 && (c & 0xe0)))
            return false;
          if (fixed_len_ == 10) enter(after(H::kFixed));
          break;
        case H::kExtraLen:
          extra_ = count_ == 0 ? c : extra_ | (c << 8);
          if (++count_ == 2) enter(extra_ ? H::kExtra : after(H::kExtra));
          break;
        case H::kExtra:
          if (--extra_ == 0) enter(after(H::kExtra));
          break;
        case H::kName:
        case H::kComment:
          if (c == 0) enter(after(hstate_));
          break;
        case H::kHcrc:
          if (++count_ == 2) enter(H::kDone);
          break;
        case H::kDone: break;
      }
    }
    return true;
  }

  State state_ = State::kHeader;
  H hstate_ = H::kFixed;
  uint8_t fixed_[10] = {0};
  size_t fixed_len_ = 0;
  int count_ = 0;
  uint32_t extra_ = 0;
  z_stream z_;
  bool inited_ = false;
  uLong crc_ = 0;
  uint64_t size_ = 0;
  uint8_t trailer_[8] = {0};
  size_t trailer_len_ = 0;
  int members_ = 0;
};

// "deflate" is the zlib format; a body that does not start with a zlib header
// is taken as raw deflate, as browsers do. Bytes after the end are ignored.
class DeflateStage : public DecodeStage {
 public:
  ~DeflateStage() override {
    if (inited_) inflateEnd(&z_);
  }
  Status run(const uint8_t** in, size_t* in_len, uint8_t** out, size_t* out_len) override {
    if (!inited_) {
      while (*in_len > 0 && held_len_ < 2) {
        held_[held_len_++] = **in;
        ++*in;
        --*in_len;
      }
      if (held_len_ < 2) return Status::kOk;
      bool zlib_header = (held_[0] & 0x0f) == Z_DEFLATED && (held_[0] >> 4) <= 7 &&
                         ((held_[0] << 8) | held_[1]) % 31 == 0;
      std::memset(&z_, 0, sizeof z_);
      int rc = inflateInit2(&z_, zlib_header ? MAX_WBITS : -MAX_WBITS);
      if (rc == Z_MEM_ERROR) return Status::kNoMemory;
      if (rc != Z_OK) return Status::kCorrupt;
      inited_ = true;
    }
    if (ended_) {
      *in += *in_len;
      *in_len = 0;
      return Status::kOk;
    }
    if (held_off_ < held_len_) {
      const uint8_t* h = held_ + held_off_;
      size_t h_len = held_len_ - held_off_;
      Status s = inflate_step(&z_, &h, &h_len, out, out_len, &ended_);
      held_off_ = held_len_ - h_len;
      if (s != Status::kOk || held_off_ < held_len_ || ended_) return s;
    }
    return inflate_step(&z_, in, in_len, out, out_len, &ended_);
  }
  bool finished() const override { return ended_; }

 private:
  z_stream z_;
  bool inited_ = false;
  bool ended_ = false;
  uint8_t held_[2] = {0};
  size_t held_len_ = 0;
  size_t held_off_ = 0;
};

class BrotliStage : public DecodeStage {
 public:
  ~BrotliStage() override {
    if (st_) BrotliDecoderDestroyInstance(st_);
  }
  Status run(const uint8_t** in, size_t* in_len, uint8_t** out, size_t* out_len) override {
    if (ended_) {
      *in += *in_len;
      *in_len = 0;
      return Status::kOk;
    }
    if (!st_) {
      st_ = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
      if (!st_) return Status::kNoMemory;
    }
    BrotliDecoderResult r = BrotliDecoderDecompressStream(st_, in_len, in, out_len, out, nullptr);
    if (r == BROTLI_DECODER_RESULT_SUCCESS) ended_ = true;
    if (r != BROTLI_DECODER_RESULT_ERROR) return Status::kOk;
    int code = BrotliDecoderGetErrorCode(st_);
    // The allocation errors are the codes -21 to -30.
    return code <= BROTLI_DECODER_ERROR_ALLOC_CONTEXT_MODES &&
                   code >= BROTLI_DECODER_ERROR_ALLOC_BLOCK_TYPE_TREES
               ? Status::kNoMemory
               : Status::kCorrupt;
  }
  bool finished() const override { return ended_; }

 private:
  BrotliDecoderState* st_ = nullptr;
  bool ended_ = false;
};

// zstd frames, one after another as the format allows.
class ZstdStage : public DecodeStage {
 public:
  ~ZstdStage() override { ZSTD_freeDCtx(dctx_); }
  Status run(const uint8_t** in, size_t* in_len, uint8_t** out, size_t* out_len) override {
    if (!dctx_) {
      dctx_ = ZSTD_createDCtx();
      if (!dctx_) return Status::kNoMemory;
      ZSTD_DCtx_setParameter(dctx_, ZSTD_d_windowLogMax, kZstdWindowLogMax);
    }
    ZSTD_inBuffer ib{*in, *in_len, 0};
    ZSTD_outBuffer ob{*out, *out_len, 0};
    size_t rc = ZSTD_decompressStream(dctx_, &ob, &ib);
    *in += ib.pos;
    *in_len -= ib.pos;
    *out += ob.pos;
    *out_len -= ob.pos;
    if (ZSTD_isError(rc))
      return ZSTD_getErrorCode(rc) == ZSTD_error_memory_allocation ? Status::kNoMemory
                                                                   : Status::kCorrupt;
    // A call that moved nothing says nothing about where the stream is.
    if (ib.pos > 0 || ob.pos > 0) ended_ = rc == 0;
    return Status::kOk;
  }
  bool finished() const override { return ended_; }

 private:
  ZSTD_DCtx* dctx_ = nullptr;
  bool ended_ = false;
};

}  // namespace

struct ContentDecoder::Between {
  std::unique_ptr<uint8_t[]> data;
  size_t begin = 0, end = 0;
};

ContentDecoder::~ContentDecoder() = default;

ContentDecoder::Plan ContentDecoder::for_encoding(std::string_view header,
                                                  std::unique_ptr<ContentDecoder>* out) {
  out->reset();
  std::vector<std::string> codings;
  while (true) {
    size_t comma = header.find(',');
    std::string_view item = header.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    std::string token;
    for (char c : item) token += ascii_lower(c);
    if (!token.empty() && token != "identity") {
      if (token == "x-gzip") token = "gzip";
      if (token != "gzip" && token != "deflate" && token != "br" && token != "zstd")
        return Plan::kPassThrough;
      codings.push_back(token);
    }
    if (comma == std::string_view::npos) break;
    header.remove_prefix(comma + 1);
  }
  if (codings.empty()) return Plan::kPassThrough;
  if (codings.size() > kMaxCodings) return Plan::kRefuse;
  std::unique_ptr<ContentDecoder> d(new ContentDecoder);
  // Codings are listed in the order they were applied: undo the last first.
  for (auto it = codings.rbegin(); it != codings.rend(); ++it) {
    if (*it == "gzip")
      d->stages_.push_back(std::make_unique<GzipStage>());
    else if (*it == "deflate")
      d->stages_.push_back(std::make_unique<DeflateStage>());
    else if (*it == "br")
      d->stages_.push_back(std::make_unique<BrotliStage>());
    else
      d->stages_.push_back(std::make_unique<ZstdStage>());
  }
  d->between_.resize(d->stages_.size() - 1);
  for (Between& b : d->between_) b.data.reset(new uint8_t[kBetweenSize]);
  *out = std::move(d);
  return Plan::kDecode;
}

bool ContentDecoder::finished() const {
  if (!started_ || failed_) return false;
  for (const auto& s : stages_)
    if (!s->finished()) return false;
  return true;
}

// Stage i writes into out, drawing its input from the stage before it (or
// from the caller's input for stage 0).
Status ContentDecoder::pull(size_t i, const uint8_t** in, size_t* in_len, uint8_t** out,
                            size_t* out_len) {
  if (i == 0) return stages_[0]->run(in, in_len, out, out_len);
  Between& b = between_[i - 1];
  while (*out_len > 0) {
    if (b.begin == b.end) {
      b.begin = b.end = 0;
      uint8_t* p = b.data.get();
      size_t room = kBetweenSize;
      Status s = pull(i - 1, in, in_len, &p, &room);
      b.end = kBetweenSize - room;
      if (s != Status::kOk) return s;
    }
    const uint8_t* p = b.data.get() + b.begin;
    size_t avail = b.end - b.begin;
    uint8_t* out_before = *out;
    Status s = stages_[i]->run(&p, &avail, out, out_len);
    size_t took = (b.end - b.begin) - avail;
    b.begin += took;
    if (s != Status::kOk) return s;
    if (took == 0 && *out == out_before) break;  // both sides need more input
  }
  return Status::kOk;
}

ContentDecoder::Result ContentDecoder::decode(const uint8_t* in, size_t in_len, uint8_t* out,
                                              size_t out_cap) {
  Result r;
  if (failed_) {
    r.status = Status::kCorrupt;
    return r;
  }
  if (in_len > 0) started_ = true;
  const uint8_t* ip = in;
  size_t il = in_len;
  uint8_t* op = out;
  size_t ol = out_cap;
  try {
    r.status = pull(stages_.size() - 1, &ip, &il, &op, &ol);
  } catch (const std::bad_alloc&) {
    r.status = Status::kNoMemory;
  }
  if (r.status != Status::kOk) failed_ = true;
  r.consumed = in_len - il;
  r.produced = out_cap - ol;
  return r;
}

}  // namespace cronet_curl
