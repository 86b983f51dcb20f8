// Cronet_UrlRequest on libcurl: content decoding of the response body on the
// network thread, between libcurl's write callback and the body queue.
//
// The decoder writes into the queue in pieces and stops when the queue is at
// its high-water mark. Compressed bytes libcurl already handed over are then
// held here (libcurl cannot take them back) and decoded as the application
// reads, before libcurl is let go on.
#include <new>

#include "ascii.h"
#include "core.h"
#include "net_errors.h"

namespace cronet_curl {
namespace {

constexpr size_t kPiece = BodyQueue::kBlockSize;  // decoded bytes per step at most

}  // namespace

bool RequestCore::set_up_decoding() {
  net_.dec.decoder.reset();
  net_.dec.blocked = false;
  std::string().swap(net_.dec.in);
  net_.dec.in_off = 0;
  net_.dec.error = 0;
  net_.dec.end_pending = false;
  std::string codings = content_codings(net_.head.headers());
  if (ContentDecoder::for_encoding(codings, &net_.dec.decoder) == ContentDecoder::Plan::kRefuse) {
    fail_with(kErrContentDecodingFailed);
    return false;
  }
  return true;
}

// Decodes until the input is used up and the decoder holds nothing more, the
// queue is full (dec.blocked), or decoding fails (dec.error). Returns the
// input bytes taken.
size_t RequestCore::run_decoder(const uint8_t* in, size_t len) {
  size_t taken = 0;
  net_.dec.blocked = false;
  try {
    while (true) {
      Cronet_Buffer* direct = nullptr;
      if (net_.body.pause_if_full()) {
        net_.dec.blocked = true;  // the application's reads bring decoding back
        return taken;
      }
      if (net_.read_buf && net_.body.empty()) direct = net_.read_buf;
      uint8_t* out;
      size_t cap;
      if (direct) {
        // A read is waiting: straight into the application's buffer.
        out = static_cast<uint8_t*>(direct->data);
        cap = static_cast<size_t>(direct->size);
      } else {
        if (!net_.dec.block) net_.dec.block = net_.body.take_block(engine_->blocks());
        out = reinterpret_cast<uint8_t*>(net_.dec.block.get());
        cap = kPiece;
      }
      ContentDecoder::Result r = net_.dec.decoder->decode(in + taken, len - taken, out, cap);
      taken += r.consumed;
      if (r.status != ContentDecoder::Status::kOk) {
        net_.dec.error = r.status == ContentDecoder::Status::kNoMemory ? kErrOutOfMemory
                                                                       : kErrContentDecodingFailed;
        return taken;
      }
      if (r.produced > 0 && direct) {
        net_.read_buf = nullptr;
        post_read_completed(direct, r.produced);
      } else if (r.produced > 0) {
        net_.body.push(std::move(net_.dec.block), r.produced, engine_->blocks());
      }
      if (r.consumed == 0 && r.produced == 0) return taken;
    }
  } catch (const std::bad_alloc&) {
    net_.dec.error = kErrOutOfMemory;
  }
  return taken;
}

// From libcurl's write callback.
size_t RequestCore::on_encoded_body(const char* data, size_t len) {
  if (net_.dec.error) return 0;  // ends the transfer; net_transfer_done reports dec.error
  if (net_.dec.blocked) return CURL_WRITEFUNC_PAUSE;  // not taken: libcurl keeps it
  const uint8_t* in = reinterpret_cast<const uint8_t*>(data);
  size_t taken = run_decoder(in, len);
  if (net_.dec.error) return 0;
  if (net_.dec.blocked) {
    try {
      net_.dec.in.assign(data + taken, len - taken);
    } catch (const std::bad_alloc&) {
      net_.dec.error = kErrOutOfMemory;
      return 0;
    }
    net_.dec.in_off = 0;
  }
  return len;
}

// Decodes held input once the application has read. True when nothing is
// held any more, so libcurl may go on.
bool RequestCore::resume_decoding() {
  if (!net_.dec.blocked) return true;
  const uint8_t* in = reinterpret_cast<const uint8_t*>(net_.dec.in.data()) + net_.dec.in_off;
  net_.dec.in_off += run_decoder(in, net_.dec.in.size() - net_.dec.in_off);
  if (net_.dec.error) {
    remove_transfer_now();  // stop receiving what can no longer be decoded
    end_body(0);
    return false;
  }
  if (net_.dec.blocked) return false;
  std::string().swap(net_.dec.in);
  net_.dec.in_off = 0;
  if (net_.dec.end_pending) {
    net_.dec.end_pending = false;
    end_body(net_.dec.end_error);
    return false;
  }
  return true;
}

// The body is over as far as libcurl goes: the end (net_error 0) or a failure
// comes to the application after the data before it. A decoder that did not
// reach the end of its stream makes a body that libcurl found whole a failure.
void RequestCore::end_body(int32_t net_error) {
  if (net_.dec.decoder) {
    if (net_.dec.error) {
      net_error = net_.dec.error;
    } else if (net_.dec.blocked) {
      net_.dec.end_pending = true;  // ends once the held input is decoded
      net_.dec.end_error = net_error;
      return;
    } else if (net_error == 0 && net_.dec.decoder->started() && !net_.dec.decoder->finished()) {
      net_error = kErrContentDecodingFailed;
    }
  }
  net_.body_complete = true;
  net_.body_error = net_error;
  if (net_error == 0) net_.body.mark_end();
  try_serve_read();
}

}  // namespace cronet_curl
