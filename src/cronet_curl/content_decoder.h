// Streaming decoder for HTTP content codings (gzip, deflate, br, zstd and
// chains of them). Pure: no libcurl, no threads. Output comes in pieces no
// larger than the caller's buffer, so a small input never expands at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace cronet_curl {

class DecodeStage;

class ContentDecoder {
 public:
  enum class Status { kOk, kCorrupt, kNoMemory };
  struct Result {
    size_t consumed = 0;
    size_t produced = 0;
    Status status = Status::kOk;
  };
  enum class Plan { kPassThrough, kDecode, kRefuse };

  // Reads a Content-Encoding value (copies joined with ","). kPassThrough for
  // no coding, only identity, or any coding not known (then the whole body
  // passes undecoded); kRefuse for an absurdly long chain.
  static Plan for_encoding(std::string_view content_encoding, std::unique_ptr<ContentDecoder>* out);

  ~ContentDecoder();

  // Takes input and writes at most out_cap bytes. Nothing consumed and
  // nothing produced means: give more input (or the stream is over). Output
  // still held inside is given by calls with no input.
  Result decode(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_cap);

  // Some input was seen, and every coding reached the end of its stream.
  bool started() const { return started_; }
  bool finished() const;

 private:
  ContentDecoder() = default;
  Status pull(size_t stage, const uint8_t** in, size_t* in_len, uint8_t** out, size_t* out_len);

  struct Between;                                     // output of one stage waiting for the next
  std::vector<std::unique_ptr<DecodeStage>> stages_;  // [0] sees the wire bytes
  std::vector<Between> between_;
  bool started_ = false;
  bool failed_ = false;
};

}  // namespace cronet_curl
