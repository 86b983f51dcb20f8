// The request body as Cronet's upload data provider sees it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "byte_buffer.h"
#include "cronet_c.h"

namespace tarnwick {

// Client context of one upload provider. The bytes are either owned (`owned`)
// or lent by the caller, who keeps them alive and unchanged for as long as the
// request may read them; `data` points at whichever it is. Close frees owned
// bytes; the record itself has two holders, the provider until its close and
// the request until its release, since Cronet may skip close for a request
// that never finished.
struct UploadBody {
  ByteBuffer owned;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t position = 0;  // bytes handed out since the start or the last rewind
  std::atomic<int> holders{2};

  explicit UploadBody(ByteBuffer b) noexcept
      : owned(std::move(b)), data(owned.data()), size(owned.size()) {}
  explicit UploadBody(std::span<const std::uint8_t> lent) noexcept
      : data(lent.data()), size(lent.size()) {}

  std::int64_t length() const noexcept { return static_cast<std::int64_t>(size); }

  // Copies the next bytes into dst; 0 once the body is exhausted.
  std::size_t read_into(void* dst, std::size_t capacity) noexcept {
    std::size_t n = size - position;
    if (n > capacity) n = capacity;
    if (n > 0) {
      std::memcpy(dst, data + position, n);
      position += n;
    }
    return n;
  }

  void rewind() noexcept { position = 0; }

  // After close nothing reads the bytes any more.
  void drop_bytes() noexcept {
    owned.clear();
    data = nullptr;
    size = position = 0;
  }
};

// The provider functions, registered in this order.
std::int64_t upload_get_length(Cronet_UploadDataProviderPtr provider);
void upload_read(Cronet_UploadDataProviderPtr provider, Cronet_UploadDataSinkPtr sink,
                 Cronet_BufferPtr buffer);
void upload_rewind(Cronet_UploadDataProviderPtr provider, Cronet_UploadDataSinkPtr sink);
void upload_close(Cronet_UploadDataProviderPtr provider);

// Drops one holder; the last one frees the record.
void release_upload_body(UploadBody* body) noexcept;

// A provider whose context holds `body` (moved in, never copied); `out` gets
// the request's hold on the record.
Cronet_UploadDataProviderPtr make_upload_provider(ByteBuffer body, UploadBody*& out);
// The same for lent bytes, read in place.
Cronet_UploadDataProviderPtr make_upload_provider(std::span<const std::uint8_t> lent,
                                                  UploadBody*& out);

}  // namespace tarnwick
